#include "support.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

TempDir::TempDir()
{
    const char *tmpdir = std::getenv("TMPDIR");
    path_ = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/probe-test.XXXXXX";
    EXPECT_NE(mkdtemp(path_.data()), nullptr) << strerror(errno);
    (void)chmod(path_.c_str(), 0755); // images are read by uid 65534 too
}

TempDir::~TempDir()
{
    std::error_code error;
    fs::remove_all(path_, error);
}

static void make_parents(const std::string &path)
{
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    EXPECT_FALSE(error) << "mkdir above " << path << ": " << error.message();
}

void make_dir(const std::string &path, mode_t mode)
{
    make_parents(path);
    EXPECT_TRUE(mkdir(path.c_str(), mode) == 0 || errno == EEXIST) << path << strerror(errno);
    (void)chmod(path.c_str(), mode);
}

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    make_parents(path);
    EXPECT_TRUE(std::ofstream(path, std::ios::binary) << content << std::flush) << path;
    (void)chmod(path.c_str(), mode);
}

void make_link(const std::string &path, const std::string &target)
{
    make_parents(path);
    EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
}

std::string read_file(const std::string &path)
{
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

void make_tree(const std::string &root, const std::vector<std::string> &entries)
{
    for (const std::string &entry : entries) {
        size_t at = entry.find_first_of("=>|#@");
        std::string path = root + "/" + entry.substr(0, at);
        std::string rest = at == std::string::npos ? "" : entry.substr(at + 1);
        char kind = at == std::string::npos ? '/' : entry[at];
        if (kind == '/')
            make_dir(path);
        else if (kind == '=')
            write_file(path, rest);
        else if (kind == '>')
            make_link(path, rest);
        else if (kind == '@')
            (void)chmod(path.c_str(), static_cast<mode_t>(std::stoul(rest, nullptr, 8)));
        else {
            write_file(path, "");
            if (kind == '|' && (unlink(path.c_str()) != 0 || mkfifo(path.c_str(), 0644) != 0))
                ADD_FAILURE() << "mkfifo " << path << ": " << strerror(errno);
            if (kind == '#' && truncate(path.c_str(), std::stoll(rest)) != 0)
                ADD_FAILURE() << "truncate " << path << ": " << strerror(errno);
        }
    }
}

static std::string unescaped(std::string_view text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size())
            c = text[++i] == 'n' ? '\n' : text[i] == 'r' ? '\r' : text[i] == 't' ? '\t' : text[i];
        plain.push_back(c);
    }
    return plain;
}

std::vector<std::string> TestCase::of(char kind) const
{
    auto found = lines.find(kind);
    return found != lines.end() ? found->second : std::vector<std::string>{};
}

std::string TestCase::text(char kind) const
{
    std::string joined;
    for (const std::string &line : of(kind))
        joined += line + "\n";
    return joined;
}

std::vector<TestCase> read_cases(const std::string &path)
{
    std::vector<TestCase> cases;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("== "))
            cases.push_back({line.substr(3), {}});
        else if (!cases.empty() && line.size() >= 2 && line[0] != '#' && line[1] == ' ')
            cases.back().lines[line[0]].push_back(unescaped(std::string_view(line).substr(2)));
    }
    if (cases.empty())
        ADD_FAILURE() << "no cases in " << path;
    return cases;
}

std::string stage_dir()
{
    return PROBES_STAGE_DIR;
}

SandboxRun installed(const std::string &program, std::vector<std::string> args)
{
    return {.program = std::string(sandbox_install_dir) + "/bin/" + program,
            .args = std::move(args),
            .install = stage_dir(),
            .env = {"PATH=/usr/bin:/bin", "LANG=C"}};
}

void end_test(const std::string &why)
{
    if (std::getenv("CI") != nullptr)
        ADD_FAILURE() << why;
    else
        [&] { GTEST_SKIP() << why; }();
    // The test runner takes this for an outcome already reported.
    throw testing::AssertionException(
        testing::TestPartResult(testing::TestPartResult::kSkip, "", 0, ""));
}

SandboxResult run_checked(const SandboxRun &run)
{
    SandboxResult result = run_in_sandbox(run);
    if (run.as_user && geteuid() != 0)
        end_test(result.setup_error);
    EXPECT_EQ(result.setup_error, "") << "sandbox for " << run.program;
    return result;
}

ChildOutcome in_child(const std::function<void()> &body)
{
    // Files, not pipes: a child that writes much cannot block on a reader.
    FILE *files[2] = {tmpfile(), tmpfile()};
    if (files[0] == nullptr || files[1] == nullptr)
        return {"", std::string("tmpfile: ") + strerror(errno), -1};
    (void)fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        (void)dup2(fileno(files[0]), STDOUT_FILENO);
        (void)dup2(fileno(files[1]), STDERR_FILENO);
        body();
        exit(0);
    }
    int status = 0;
    (void)waitpid(pid, &status, 0);
    std::string texts[2];
    for (int i = 0; i < 2; i++) {
        char buffer[65536];
        rewind(files[i]);
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, files[i])) > 0;)
            texts[i].append(buffer, n);
        (void)fclose(files[i]);
    }
    return {texts[0], texts[1], WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}
