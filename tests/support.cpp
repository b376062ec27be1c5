#include "support.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir()
{
    const char *tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/probe-test.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = name.data();
    // Images are read by uid 65534 too.
    (void)chmod(path_.c_str(), 0755);
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    (void)remove(path);
    return 0;
}

TempDir::~TempDir()
{
    (void)nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

static void make_parents(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == 0 || slash == std::string::npos)
        return;
    std::string parent = path.substr(0, slash);
    struct stat st;
    if (lstat(parent.c_str(), &st) == 0)
        return;
    make_parents(parent);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir " << parent << ": " << strerror(errno);
}

void make_dir(const std::string &path, mode_t mode)
{
    make_parents(path);
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir " << path << ": " << strerror(errno);
    (void)chmod(path.c_str(), mode);
}

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    make_parents(path);
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << content;
        if (!file)
            ADD_FAILURE() << "cannot write " << path;
    }
    (void)chmod(path.c_str(), mode);
}

void make_link(const std::string &path, const std::string &target)
{
    make_parents(path);
    if (symlink(target.c_str(), path.c_str()) != 0)
        ADD_FAILURE() << "symlink " << path << ": " << strerror(errno);
}

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
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
    SandboxRun run;
    run.program = std::string(sandbox_install_dir) + "/bin/" + program;
    run.args = std::move(args);
    run.install = stage_dir();
    run.env = {"PATH=/usr/bin:/bin", "LANG=C"};
    return run;
}

SandboxResult run_checked(const SandboxRun &run)
{
    SandboxResult result = run_in_sandbox(run);
    EXPECT_EQ(result.setup_error, "") << "sandbox for " << run.program;
    return result;
}

static std::string drain(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    (void)close(fd);
    return text;
}

ChildOutcome in_child(const std::function<void()> &body)
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return {"", std::string("pipe: ") + strerror(errno), -1};
    (void)fflush(stdout);
    (void)fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        (void)dup2(out[1], STDOUT_FILENO);
        (void)dup2(err[1], STDERR_FILENO);
        (void)close(out[0]);
        (void)close(err[0]);
        body();
        exit(0);
    }
    (void)close(out[1]);
    (void)close(err[1]);
    ChildOutcome outcome;
    // Standard error stays small: reading it after standard output cannot
    // leave the child blocked.
    outcome.out = drain(out[0]);
    outcome.err = drain(err[0]);
    int status = 0;
    (void)waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}
