#include "support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
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

// path, once the folders above it exist.
static const char *under_parents(const std::string &path)
{
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    EXPECT_FALSE(error) << "mkdir above " << path << ": " << error.message();
    return path.c_str();
}

void make_dir(const std::string &path, mode_t mode)
{
    EXPECT_TRUE(mkdir(under_parents(path), mode) == 0 || errno == EEXIST)
        << path << strerror(errno);
    (void)chmod(path.c_str(), mode);
}

void write_file(const std::string &path, const std::string &content, mode_t mode)
{
    EXPECT_TRUE(std::ofstream(under_parents(path), std::ios::binary) << content << std::flush)
        << path;
    (void)chmod(path.c_str(), mode);
}

void make_link(const std::string &path, const std::string &target)
{
    EXPECT_EQ(symlink(target.c_str(), under_parents(path)), 0) << path << ": " << strerror(errno);
}

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
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

std::string TestCase::first(char kind, const std::string &otherwise) const
{
    auto found = lines.find(kind);
    return found != lines.end() ? found->second.front() : otherwise;
}

std::string TestCase::setting(const std::string &key) const
{
    for (const std::string &line : of('%'))
        if (line.starts_with(key + " "))
            return line.substr(key.size() + 1);
    return "";
}

std::string unique_id(const std::string &text, std::set<std::string> &taken)
{
    std::string id;
    for (unsigned char c : text)
        if (std::isalnum(c))
            id += static_cast<char>(c);
        else if (!id.empty() && id.back() != '_')
            id += '_';
    while (id.ends_with('_'))
        id.pop_back();
    std::string unique = id.empty() ? "case" : id;
    for (int n = 2; !taken.insert(unique).second; n++)
        unique = (id.empty() ? "case" : id) + "_" + std::to_string(n);
    return unique;
}

// Read when the tests are registered: a file that is gone or holds no case
// registers none, which the test runner reports as a failure of its own.
std::vector<TestCase> read_cases(const std::string &path)
{
    std::vector<TestCase> cases;
    std::set<std::string> ids;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("== "))
            cases.push_back({line.substr(3), unique_id(line.substr(3), ids), {}});
        else if (!cases.empty() && line.size() >= 2 && line[0] != '#' && line[1] == ' ')
            cases.back().lines[line[0]].push_back(unescaped(std::string_view(line).substr(2)));
    }
    return cases;
}

std::vector<std::string> files_in(const std::string &folder, const std::string &extension)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder, error))
        if (entry.path().extension() == extension)
            names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string file_id(const testing::TestParamInfo<std::string> &info)
{
    std::set<std::string> taken;
    return unique_id(info.param, taken);
}

std::string case_id(const testing::TestParamInfo<TestCase> &info)
{
    return info.param.id;
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
    if (std::getenv("CI") != nullptr) {
        ADD_FAILURE() << why;
    } else {
        // The line tests/skipped-cases collects for make check's last lines.
        std::printf("case skipped, %s\n", why.c_str());
        [&] { GTEST_SKIP() << why; }();
    }
    // The test runner takes this for an outcome already reported.
    throw testing::AssertionException(
        testing::TestPartResult(testing::TestPartResult::kSkip, "", 0, ""));
}

bool within_reach(const SandboxRun &run, const std::string &name)
{
    if (!run.as_user || geteuid() == 0)
        return true;
    std::string why = name + ": only root can run a program as uid 65534";
    if (std::getenv("CI") != nullptr)
        ADD_FAILURE() << why;
    else
        std::printf("case skipped, %s\n", why.c_str());
    return false;
}

SandboxResult run_checked(const SandboxRun &run)
{
    SandboxResult result = run_in_sandbox(run);
    if (run.as_user && geteuid() != 0)
        end_test(result.setup_error);
    EXPECT_EQ(result.setup_error, "") << "sandbox for " << run.program;
    return result;
}
