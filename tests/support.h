// Helpers shared by the tests: throwaway folders, files and links, and runs
// of the installed programs.
#ifndef PROBES_TESTS_SUPPORT_H
#define PROBES_TESTS_SUPPORT_H

#include "parsed_records.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>

// A folder under $TMPDIR, removed with all it holds when it goes.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    const std::string &path() const
    {
        return path_;
    }
    std::string operator/(const std::string &relative) const
    {
        return path_ + "/" + relative;
    }
    std::string path_;
};

// Each creates the folders above what it makes; a failure fails the test.
void make_dir(const std::string &path, mode_t mode = 0755);
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
void make_link(const std::string &path, const std::string &target);
std::string read_file(const std::string &path);
// Lays out entries under root, each "PATH=TEXT" (a file holding TEXT),
// "PATH>TARGET" (a symbolic link), "PATH|" (a FIFO), "PATH#SIZE" (a file of
// SIZE bytes, all holes), "PATH/" (a folder) or "PATH@MODE" (octal, for an
// entry made before).
void make_tree(const std::string &root, const std::vector<std::string> &entries);

// A case file (tests/README.md): "== NAME" starts a case, "K TEXT" adds
// TEXT to its lines of kind K, anything else is a comment. "\n", "\r", "\t"
// and "\\" in TEXT stand for a line feed, a carriage return, a tab and a
// backslash. Each case is a test of its own, named by its id.
struct TestCase {
    std::string name;
    std::string id; // the name in letters, digits and '_', unique in its file
    std::map<char, std::vector<std::string>> lines;
    std::vector<std::string> of(char kind) const; // its lines of kind K, maybe none
    std::string text(char kind) const;            // the same, each ended by a line feed
    // Its first line of kind K, or otherwise where it has none.
    std::string first(char kind, const std::string &otherwise = "") const;
    // The VALUE of its "% KEY VALUE" setting, or "".
    std::string setting(const std::string &key) const;
};
std::vector<TestCase> read_cases(const std::string &path);
// The names without extension of the files in folder that end in extension,
// sorted; file_id names a test after one.
std::vector<std::string> files_in(const std::string &folder, const std::string &extension);
std::string file_id(const testing::TestParamInfo<std::string> &info);
// A test's name from the case it runs, for INSTANTIATE_TEST_SUITE_P.
std::string case_id(const testing::TestParamInfo<TestCase> &info);
// A name of letters, digits and '_' from any text, unique among taken.
std::string unique_id(const std::string &text, std::set<std::string> &taken);
// Cases of a file, one test each: CASE_TESTS(Suite, path) after TEST_P(Suite, ...).
#define CASE_TESTS(suite, path)                                                                    \
    INSTANTIATE_TEST_SUITE_P(, suite, testing::ValuesIn(read_cases(path)), case_id)
// So that a failure names the case.
inline void PrintTo(const TestCase &c, std::ostream *out)
{
    *out << c.name;
}

std::string stage_dir(); // the install tree CTest staged before the tests
// An installed program's run, in a plain environment as the parent makes it.
SandboxRun installed(const std::string &program, std::vector<std::string> args = {});

// Skips the test, or fails it under CI, where a skip would hide breakage.
[[noreturn]] void end_test(const std::string &why);
#define REQUIRE_SANDBOX()                                                                          \
    (sandbox_unavailable_reason().empty() ? void() : end_test(sandbox_unavailable_reason()))

// False, naming the case as skipped (a failure under CI), where the run needs
// uid 65534 and only root could switch to it; a table goes on with its rows.
bool within_reach(const SandboxRun &run, const std::string &name);
// Fails the test when the sandbox failed; ends it where uid 65534 is out of reach.
SandboxResult run_checked(const SandboxRun &run);
#endif
