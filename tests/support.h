// Small helpers shared by the tests: throwaway folders, files and links,
// and runs of the installed programs.
#ifndef PROBES_TESTS_SUPPORT_H
#define PROBES_TESTS_SUPPORT_H

#include "records.h"
#include "sandbox.h"

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// A folder under $TMPDIR that is removed, with all it holds, when it goes.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const
    {
        return path_;
    }
    // path() + "/" + relative
    std::string operator/(const std::string &relative) const
    {
        return path_ + "/" + relative;
    }

  private:
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

// One case of a case file. "== NAME" starts a case; each further line
// "K TEXT" adds TEXT to the case's lines of kind K. Lines starting with "#",
// lines of other forms and lines before the first case are comments. In TEXT, "\n",
// "\r", "\t" and "\\" stand for a line feed, a carriage return, a tab and a
// backslash.
struct TestCase {
    std::string name;
    std::map<char, std::vector<std::string>> lines;
    // The lines of kind K; none where the case has none.
    std::vector<std::string> of(char kind) const;
    // The same, each ended by a line feed, in one string.
    std::string text(char kind) const;
};
std::vector<TestCase> read_cases(const std::string &path);

// The install tree that CTest staged before the tests ran.
std::string stage_dir();

// A run of an installed program as the parent collector makes it, with a
// plain environment; adjust the fields before running.
SandboxRun installed(const std::string &program, std::vector<std::string> args = {});

// End-to-end tests need a sandbox. Where one cannot be made they skip and
// say why, except under CI, where a skipped end-to-end test hides breakage.
#define REQUIRE_SANDBOX()                                                                          \
    do {                                                                                           \
        std::string why_not = sandbox_unavailable_reason();                                        \
        if (!why_not.empty()) {                                                                    \
            if (std::getenv("CI") != nullptr)                                                      \
                FAIL() << why_not;                                                                 \
            GTEST_SKIP() << why_not;                                                               \
        }                                                                                          \
    } while (0)

// Runs in the sandbox and fails the test when the sandbox itself failed.
SandboxResult run_checked(const SandboxRun &run);

// What a body run in a forked child wrote, and how the child ended. A body
// that returns ends the child with exit(0), as a returning main would; code
// under test that ends the process through exit() ends the child the same way.
struct ChildOutcome {
    std::string out;
    std::string err;
    int status; // exit status, or 128 + signal number
};
ChildOutcome in_child(const std::function<void()> &body);

#endif
