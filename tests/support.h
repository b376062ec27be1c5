// Helpers shared by the tests: throwaway folders, files and links, and runs
// of the installed programs.
#ifndef PROBES_TESTS_SUPPORT_H
#define PROBES_TESTS_SUPPORT_H

#include "records.h"
#include "sandbox.h"

#include <gtest/gtest.h>
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

std::string stage_dir(); // the install tree CTest staged before the tests
// An installed program's run, in a plain environment as the parent makes it.
SandboxRun installed(const std::string &program, std::vector<std::string> args = {});

// Ends the test: skipped for this reason, or failed under CI, where a
// skipped end-to-end test would hide breakage.
[[noreturn]] void end_test(const std::string &why);
#define REQUIRE_SANDBOX()                                                                          \
    (sandbox_unavailable_reason().empty() ? void() : end_test(sandbox_unavailable_reason()))

// Fails the test when the sandbox itself failed; a run as uid 65534 ends it
// where only root could switch.
SandboxResult run_checked(const SandboxRun &run);
#endif
