// The collector frame in-process: each case runs in a forked child, since
// the frame ends the process for -V and for a bad command line.
#include "collector.h"
#include "support.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

const char collector_name[] = "testprobe";
const int collector_output_failure_status = 7;

namespace
{

char arg0[] = "testprobe";

void parse(std::vector<std::string> words)
{
    optind = 0;
    std::vector<char *> argv{arg0};
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    parse_command_line(static_cast<int>(argv.size() - 1), argv.data());
}

} // namespace

TEST(Frame, CommandLines)
{
    const std::string work = "work\n", version = "testprobe\t1.1\n",
                      invalid = error_record("Invalid command line argument", 5022, 22),
                      unknown = "testprobe: invalid option -- 'x'\n";
    struct {
        std::vector<std::string> words;
        std::string out, err;
        int status;
    } cases[] = {
        {{}, work, "", 0},
        {{"word", "-x"}, work, "", 0}, // an option after an operand is an operand
        {{"word", "-V"}, work, "", 0},
        {{"--", "-x"}, work, "", 0},
        {{"-V"}, version, "", 0},
        {{"-V", "word", "-x"}, version, "", 0},
        {{"-V", "-V"}, invalid, "", 1},
        {{"-VVV"}, invalid, "", 1},
        {{"-x"}, invalid, unknown, 1},
        {{"-Vx"}, invalid, unknown, 1},
        {{"-x", "-V"}, invalid, unknown, 1},
    };
    for (auto &c : cases) {
        ChildOutcome o = in_child([&] {
            parse(c.words);
            (void)fputs("work\n", stdout);
        });
        SCOPED_TRACE(testing::PrintToString(c.words));
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.status, c.status);
    }
}

TEST(Frame, ErrorRecordsAndValuesStayOnTheirLines)
{
    struct {
        std::function<void()> body;
        std::string out;
    } cases[] = {
        {[] { display_error("no such thing", -5, INT32_MIN); },
         "*Node: nivex-error\nid: -5\nmessage: no such thing\nnumber: -2147483648\n"},
        {[] { display_error("line\nnumber: 1", 1, 2); }, error_record("line\\nnumber: 1", 1, 2)},
        {[] { display_errorf(5203, 0, "Error in %s", std::string(300, 'n').c_str()); },
         error_record("Error in " + std::string(246, 'n'), 5203, 0)},
        {[] { display_errorf(5002, 2, "short %d", 42); }, error_record("short 42", 5002, 2)},
        {[] { put_one_line("plain \\ text", SIZE_MAX, true); }, "plain \\ text"},
        {[] { put_one_line("a\n*node: forged\r", SIZE_MAX, false); }, "a\\n*node: forged\\r"},
        {[] { put_one_line("\t\x1b\x7f\xc3\xa9", SIZE_MAX, false); }, "\t\x1b\x7f\xc3\xa9"},
        {[] { put_one_line("\t\x1b\x7f\xc3\xa9", SIZE_MAX, true); }, "\\x09\\x1b\\x7f\xc3\xa9"},
        {[] { put_one_line("bounded\nmore", 8, false); }, "bounded\\n"},
    };
    for (auto &c : cases)
        EXPECT_EQ(in_child(c.body).out, c.out);
}

TEST(Frame, LostOutputTurnsSuccessIntoTheProgramsFailureStatus)
{
    TempDir dir;
    write_file(dir / "opened-later", "");
    struct {
        const char *device; // standard output's, or nullptr to close it
        std::function<void()> body;
        int status;
    } cases[] = {
        {"/dev/full", [] { parse({}), (void)puts("record"); }, 7},
        {"/dev/full", [] { parse({"-V"}); }, 7},
        // A failure status already says the run failed; it stands.
        {"/dev/full", [] { parse({"-q"}); }, 1},
        {"/dev/full", [] { parse({}), (void)puts("x"), exit(3); }, 3},
        {"/dev/null", [] { parse({}), (void)puts("x"); }, 0},
        {nullptr, [] { parse({}); }, 7},
        // Descriptor 1 must not go to the next file the program opens.
        {nullptr, [&] { parse({}), open((dir / "opened-later").c_str(), O_WRONLY), puts("x"); }, 7},
    };
    for (auto &c : cases) {
        ChildOutcome o = in_child([&] {
            (void)close(STDOUT_FILENO);
            if (c.device != nullptr)
                (void)open(c.device, O_WRONLY);
            c.body();
        });
        EXPECT_EQ(o.status, c.status) << (c.device ? c.device : "closed");
    }
    EXPECT_EQ(read_file(dir / "opened-later"), "");
}
