// The collector frame in-process: each case runs in a forked child, since
// the frame ends the process for -V and for a bad command line.
#include "collector.h"
#include "support.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

const char collector_name[] = "testprobe";
const int collector_output_failure_status = 7;

static void parse(std::vector<const char *> argv)
{
    argv.insert(argv.begin(), "testprobe");
    argv.push_back(nullptr);
    optind = 0;
    parse_command_line(static_cast<int>(argv.size() - 1), const_cast<char **>(argv.data()));
}

TEST(Frame, CommandLines)
{
    const std::string invalid = error_record("Invalid command line argument", 5022, 22);
    struct {
        std::vector<const char *> words;
        std::string expected; // standard output, standard error, then the exit status
    } cases[] = {
        {{}, "work\n0"},
        {{"word", "-x", "-V"}, "work\n0"}, // an option after an operand is an operand
        {{"-V"}, "testprobe\t" PROBES_VERSION "\n0"},
        {{"-V", "-V"}, invalid + "1"},
        {{"-Vx"}, invalid + "testprobe: invalid option -- 'x'\n1"},
    };
    for (auto &c : cases) {
        ChildOutcome o = in_child([&] {
            parse(c.words);
            (void)fputs("work\n", stdout);
        });
        EXPECT_EQ(o.out + o.err + std::to_string(o.status), c.expected)
            << testing::PrintToString(c.words);
    }
}

TEST(Frame, ErrorRecordsAndValuesStayOnTheirLines)
{
    ChildOutcome o = in_child([] {
        display_error("no such thing", -5, INT32_MIN);
        display_error("line\nnumber: 1", 1, 2);
        display_errorf(5203, 0, "Error in %s", std::string(300, 'n').c_str());
        put_one_line("a\n*node: forged\r|", SIZE_MAX, false);
        put_one_line("\t\x1b\x7f\xc3\xa9\\|", SIZE_MAX, false);
        put_one_line("\t\x1b\x1f\x7f\xc3\xa9\\|", SIZE_MAX, true);
        put_one_line("bounded\nmore", 8, false);
    });
    EXPECT_EQ(o.out, "*Node: nivex-error\nid: -5\nmessage: no such thing\nnumber: -2147483648\n" +
                         error_record("line\\nnumber: 1", 1, 2) +
                         error_record("Error in " + std::string(246, 'n'), 5203, 0) +
                         "a\\n*node: forged\\r|\t\x1b\x7f\xc3\xa9\\|"
                         "\\x09\\x1b\\x1f\\x7f\xc3\xa9\\|bounded\\n");
}

TEST(Frame, LostOutputTurnsSuccessIntoTheProgramsFailureStatus)
{
    TempDir dir;
    const std::string later = dir / "opened-later";
    write_file(later, "");
    struct {
        const char *device; // standard output's, or nullptr to close it
        const char *record;
        int own_status, status; // a failure status already says the run failed; it stands
    } cases[] = {
        {"/dev/full", "record", 0, 7}, {"/dev/full", "x", 3, 3}, {"/dev/null", "x", 0, 0},
        {nullptr, "", 0, 7},           {nullptr, "x", 0, 7},
    };
    for (auto &c : cases) {
        ChildOutcome o = in_child([&] {
            (void)close(STDOUT_FILENO);
            if (c.device != nullptr)
                (void)open(c.device, O_WRONLY);
            parse({});
            // Descriptor 1 must not go to the next file the program opens.
            (void)open(later.c_str(), O_WRONLY);
            (void)fputs(c.record, stdout);
            exit(finish_output(c.own_status));
        });
        EXPECT_EQ(o.status, c.status) << (c.device ? c.device : "closed") << c.record;
    }
    EXPECT_EQ(read_file(later), "");
    // -V ends the run inside the frame, by the same way out.
    ChildOutcome version = in_child([] {
        (void)dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
        parse({"-V"});
    });
    EXPECT_EQ(version.status, 7);
}
