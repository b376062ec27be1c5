// The collector frame in-process: each case runs in a forked child, since
// the frame ends the process for -V and for a bad command line.
#include "collector.h"
#include "support.h"

#include <fcntl.h>
#include <functional>
#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

const char collector_name[] = "testprobe";
const int collector_output_failure_status = 7;

namespace
{

ChildOutcome parse(std::vector<std::string> words)
{
    return in_child([&words] {
        optind = 0;
        std::vector<char *> argv{const_cast<char *>("testprobe")};
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        parse_command_line(static_cast<int>(argv.size() - 1), argv.data());
        (void)fputs("work\n", stdout);
    });
}

const std::string invalid = error_record("Invalid command line argument", 5022, 22);

} // namespace

TEST(CommandLine, GoesOnToWorkWithoutOptionsOrWithOperands)
{
    struct {
        std::vector<std::string> words;
    } cases[] = {
        {{}},
        {{"word"}},
        {{"word", "-x"}}, // an option after an operand is an operand
        {{"word", "-V"}},
        {{"--", "-x"}}, // nothing after the end-of-options marker is an option
        {{"--"}},
    };
    for (auto &c : cases) {
        ChildOutcome o = parse(c.words);
        EXPECT_EQ(o.out, "work\n") << testing::PrintToString(c.words);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 0);
    }
}

TEST(CommandLine, SingleVersionOptionWritesOnlyTheVersionLine)
{
    for (auto words : {std::vector<std::string>{"-V"}, {"-V", "word", "-x"}, {"-V", "--"}}) {
        ChildOutcome o = parse(words);
        EXPECT_EQ(o.out, "testprobe\t1.1\n");
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 0);
    }
}

TEST(CommandLine, RepeatedVersionOptionIsInvalid)
{
    for (auto words : {std::vector<std::string>{"-V", "-V"}, {"-VV"}, {"-VVV"}}) {
        ChildOutcome o = parse(words);
        EXPECT_EQ(o.out, invalid) << testing::PrintToString(words);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 1);
    }
}

TEST(CommandLine, UnknownOptionIsReportedOnBothStreams)
{
    for (auto words : {std::vector<std::string>{"-x"}, {"-V", "-x"}, {"-Vx"}, {"-x", "-V"}}) {
        ChildOutcome o = parse(words);
        EXPECT_EQ(o.out, invalid) << testing::PrintToString(words);
        EXPECT_NE(o.err.find("invalid option -- 'x'"), std::string::npos) << o.err;
        EXPECT_EQ(o.status, 1);
    }
}

TEST(ErrorRecord, HasItsFourLinesInOrder)
{
    ChildOutcome o = in_child([] { display_error("no such thing", -5, -2147483647 - 1); });
    EXPECT_EQ(o.out, "*Node: nivex-error\nid: -5\nmessage: no such thing\nnumber: -2147483648\n");
}

TEST(OneLine, NoValueStartsALineOfItsOwn)
{
    struct {
        std::string text;
        size_t max_length;
        bool every_control;
        std::string expected;
    } cases[] = {
        {"plain text \\ stays", SIZE_MAX, true, "plain text \\ stays"},
        {"a\n*node: forged\r", SIZE_MAX, false, "a\\n*node: forged\\r"},
        {"tab\t\x1b\x7f\xc3\xa9", SIZE_MAX, false, "tab\t\x1b\x7f\xc3\xa9"},
        {"tab\t\x1b\x7f\xc3\xa9", SIZE_MAX, true, "tab\\x09\\x1b\\x7f\xc3\xa9"},
        {"bounded\nmore", 8, false, "bounded\\n"},
        {"", SIZE_MAX, true, ""},
    };
    for (auto &c : cases) {
        ChildOutcome o =
            in_child([&] { put_one_line(c.text.c_str(), c.max_length, c.every_control); });
        EXPECT_EQ(o.out, c.expected) << c.text;
    }
    ChildOutcome o = in_child([] { display_error("line\nnumber: 1", 1, 2); });
    EXPECT_EQ(o.out, error_record("line\\nnumber: 1", 1, 2));
}

TEST(ErrorRecord, FormattedMessageIsCutAt255Characters)
{
    std::string long_name(300, 'n');
    ChildOutcome o = in_child([&] { display_errorf(5203, 0, "Error in %s", long_name.c_str()); });
    std::string expected = "Error in " + long_name;
    expected.resize(255);
    EXPECT_EQ(o.out, error_record(expected, 5203, 0));

    o = in_child([] { display_errorf(5002, 2, "short %d", 42); });
    EXPECT_EQ(o.out, error_record("short 42", 5002, 2));
}

TEST(LostOutput, TurnsSuccessIntoTheProgramsFailureStatus)
{
    // Redirected to /dev/full inside the child, after the capture is set up.
    auto to_full = [](const std::function<void()> &rest) {
        return in_child([&] {
            int fd = open("/dev/full", O_WRONLY);
            (void)dup2(fd, STDOUT_FILENO);
            rest();
        });
    };
    char arg0[] = "testprobe", version[] = "-V", bad[] = "-q";
    char *version_argv[] = {arg0, version, nullptr};
    char *plain_argv[] = {arg0, nullptr};
    char *bad_argv[] = {arg0, bad, nullptr};

    EXPECT_EQ(to_full([&] {
                  parse_command_line(1, plain_argv);
                  (void)puts("record");
              }).status,
              7);
    EXPECT_EQ(to_full([&] { parse_command_line(2, version_argv); }).status, 7);
    // A failure status already says the run failed; it stands.
    EXPECT_EQ(to_full([&] { parse_command_line(2, bad_argv); }).status, 1);
    EXPECT_EQ(to_full([&] {
                  parse_command_line(1, plain_argv);
                  (void)puts("x");
                  exit(3);
              }).status,
              3);
    // Output that did get through leaves success alone.
    EXPECT_EQ(in_child([&] {
                  parse_command_line(1, plain_argv);
                  (void)puts("x");
              }).status,
              0);
}

TEST(LostOutput, ClosedStandardOutputIsAFailedWriteAndIsNotReused)
{
    TempDir dir;
    std::string file = dir / "opened-later";
    write_file(file, "");
    ChildOutcome o = in_child([&] {
        char arg0[] = "testprobe";
        char *argv[] = {arg0, nullptr};
        (void)close(STDOUT_FILENO);
        parse_command_line(1, argv);
        // Descriptor 1 must not go to the next file the program opens.
        int fd = open(file.c_str(), O_WRONLY);
        (void)printf("record\n");
        (void)fflush(stdout);
        (void)close(fd);
    });
    EXPECT_EQ(o.status, 7);
    EXPECT_EQ(read_file(file), "");
}
