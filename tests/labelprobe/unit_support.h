// Helpers for the tests that call labelprobe's functions in this process.
#ifndef PROBES_TESTS_LABELPROBE_UNIT_SUPPORT_H
#define PROBES_TESTS_LABELPROBE_UNIT_SUPPORT_H

#include <climits>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

// The working directory now, or "" when it cannot be read.
inline std::string working_directory()
{
    char buffer[PATH_MAX * 2];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

// Enters a folder for the life of the guard and goes back afterwards, so a
// test that fails halfway leaves the next one where it started.
class WorkingDirectory
{
  public:
    explicit WorkingDirectory(const std::string &path) : saved_(working_directory())
    {
        EXPECT_EQ(chdir(path.c_str()), 0) << path;
    }
    ~WorkingDirectory()
    {
        EXPECT_EQ(chdir(saved_.c_str()), 0) << saved_;
    }
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;

  private:
    std::string saved_;
};

// Runs body with standard output going to a scratch file and returns what
// it printed there.
template <typename Body> std::string captured_stdout(Body body)
{
    (void)fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE *scratch = tmpfile();
    EXPECT_NE(scratch, nullptr);
    EXPECT_EQ(dup2(fileno(scratch), STDOUT_FILENO), STDOUT_FILENO);
    body();
    (void)fflush(stdout);
    (void)dup2(saved, STDOUT_FILENO);
    (void)close(saved);
    std::string text;
    rewind(scratch);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, scratch)) > 0)
        text.append(buffer, n);
    (void)fclose(scratch);
    return text;
}

#endif
