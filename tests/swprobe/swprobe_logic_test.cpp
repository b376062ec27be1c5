// swprobe's loop and record writer against a scripted pkginfo()/pkgparam()
// that logs every call. Each run is a child process, so the exit with status
// 2 can be watched like any other end, with its output and calls.
#include "support.h"
#include "swprobe.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// What one pkginfo(info, "all", NULL, NULL) call answers. Fields left null
// are not touched, so a record the caller did not clear shows through.
struct Answer {
    int result = 0;
    int error = 0;
    const char *pkginst = nullptr;
    const char *name = nullptr;
    const char *arch = nullptr;
    const char *version = nullptr;
    const char *vendor = nullptr;
    const char *basedir = nullptr;
    const char *catg = nullptr;
    int status = 0;
    std::map<std::string, std::string> params;
};

std::vector<Answer> script;
size_t next_answer;
std::deque<std::string> strings; // keeps what the double hands out alive
int call_log = -1;

void log_call(const std::string &call)
{
    std::string line = call + "\n";
    EXPECT_EQ(write(call_log, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

char *hand_out(const char *text)
{
    if (text == nullptr)
        return nullptr;
    strings.emplace_back(text);
    return strings.back().data();
}

std::string shown(const char *text)
{
    return text != nullptr ? text : "NULL";
}

bool is_cleared(const struct pkginfo *info)
{
    return info->pkginst == nullptr && info->name == nullptr && info->arch == nullptr &&
           info->version == nullptr && info->vendor == nullptr && info->basedir == nullptr &&
           info->catg == nullptr && info->status == 0;
}

} // namespace

extern "C" int pkginfo(struct pkginfo *info, char *pkginst, ...)
{
    if (pkginst == nullptr) {
        log_call("pkginfo(NULL)");
        return 0;
    }
    va_list selectors;
    va_start(selectors, pkginst);
    const char *arch = va_arg(selectors, const char *);
    const char *version = va_arg(selectors, const char *);
    va_end(selectors);
    log_call("pkginfo(" + std::string(pkginst) + "," + shown(arch) + "," + shown(version) + ")" +
             (is_cleared(info) ? "" : " on a stale record"));

    if (next_answer == script.size()) {
        errno = ESRCH;
        return -1;
    }
    const Answer &answer = script[next_answer++];
    if (answer.result != 0) {
        errno = answer.error;
        return answer.result;
    }
    auto fill = [](char *&field, const char *value) {
        if (value != nullptr)
            field = hand_out(value);
    };
    fill(info->pkginst, answer.pkginst);
    fill(info->name, answer.name);
    fill(info->arch, answer.arch);
    fill(info->version, answer.version);
    fill(info->vendor, answer.vendor);
    fill(info->basedir, answer.basedir);
    fill(info->catg, answer.catg);
    info->status = static_cast<char>(answer.status);
    return 0;
}

extern "C" char *pkgparam(char *pkginst, char *param)
{
    log_call("pkgparam(" + shown(pkginst) + "," + shown(param) + ")");
    if (pkginst == nullptr || param == nullptr)
        return nullptr;
    for (const Answer &answer : script) {
        if (answer.pkginst == nullptr || strcmp(answer.pkginst, pkginst) != 0)
            continue;
        auto found = answer.params.find(param);
        return found == answer.params.end() ? nullptr : hand_out(found->second.c_str());
    }
    return nullptr;
}

namespace
{

struct Outcome {
    std::string out;
    std::string calls;
    int status = -1;
};

Outcome run_child(const std::function<int()> &body)
{
    TempDir dir;
    Outcome outcome;
    (void)fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        call_log = open((dir / "calls").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || call_log < 0 || dup2(out, STDOUT_FILENO) < 0)
            _exit(125);
        exit(body());
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "wait status " << status;
    outcome.status = WEXITSTATUS(status);
    outcome.out = read_file(dir / "out");
    outcome.calls = read_file(dir / "calls");
    return outcome;
}

Outcome list_with(std::vector<Answer> answers)
{
    script = std::move(answers);
    next_answer = 0;
    return run_child(list_packages);
}

Outcome display_with(const Answer &answer)
{
    script = {answer};
    struct pkginfo info = {};
    info.pkginst = hand_out(answer.pkginst);
    info.name = hand_out(answer.name);
    info.arch = hand_out(answer.arch);
    info.version = hand_out(answer.version);
    info.vendor = hand_out(answer.vendor);
    info.basedir = hand_out(answer.basedir);
    info.catg = hand_out(answer.catg);
    info.status = static_cast<char>(answer.status);
    return run_child([&info] {
        display_node(&info);
        return 0;
    });
}

const char *const all_params[] = {"DESC",    "PSTAMP", "INSTDATE",     "VSTOCK",   "SERIALNUM",
                                  "HOTLINE", "EMAIL",  "ORLO_PATCHID", "PATCHLIST"};

std::string lookups_of(const std::string &instance)
{
    std::string calls;
    for (const char *param : all_params)
        calls += "pkgparam(" + instance + "," + param + ")\n";
    return calls + "pkgparam(NULL,NULL)\n";
}

Answer package(const std::string &instance)
{
    Answer answer;
    strings.push_back(instance);
    answer.pkginst = strings.back().c_str();
    answer.name = "Sample package";
    answer.arch = "sparc";
    answer.version = "1.0";
    answer.vendor = "Orlo Systems";
    answer.basedir = "/opt";
    answer.catg = "application";
    answer.params = {{"DESC", "A sample"}};
    return answer;
}

std::string record_of(const std::string &instance)
{
    return "*PKGINST: " + instance +
           "\nNAME: Sample package\nCATEGORY: application\nARCH: sparc\nVERSION: 1.0\n"
           "VENDOR: Orlo Systems\nBASEDIR: /opt\nSTATUS: installed\nDESC: A sample\n";
}

Answer failure(int error)
{
    Answer answer;
    answer.result = -1;
    answer.error = error;
    return answer;
}

const std::string ask = "pkginfo(all,NULL,NULL)\n";
const std::string end = "pkginfo(NULL)\n";

} // namespace

TEST(DisplayNode, Records)
{
    Answer full = package("ORLOfull");
    full.params = {{"DESC", "Full"},
                   {"PSTAMP", "build42"},
                   {"INSTDATE", "Mar 01 2024"},
                   {"VSTOCK", "VS-1"},
                   {"SERIALNUM", "77"},
                   {"HOTLINE", "555-0100"},
                   {"EMAIL", "help@orlo.example"},
                   {"ORLO_PATCHID", "1-01"},
                   {"PATCHLIST", "1-01 2-03"}};
    const std::string full_head = "*PKGINST: ORLOfull\nNAME: Sample package\nCATEGORY: "
                                  "application\nARCH: sparc\nVERSION: 1.0\nVENDOR: Orlo "
                                  "Systems\nBASEDIR: /opt\n";

    Answer nulls = full;
    nulls.vendor = nullptr;
    nulls.basedir = nullptr;
    nulls.params = {};

    Answer empties = full;
    empties.vendor = "";
    empties.basedir = "";
    empties.params = {{"DESC", ""}, {"EMAIL", "e@orlo.example"}};

    Answer pre_svr4 = full;
    pre_svr4.status = 2;

    Answer two_params = full;
    two_params.params = {{"PATCHLIST", "9-99"}, {"DESC", "Two"}};

    Answer no_instance = full;
    no_instance.pkginst = nullptr;

    Answer line_feed = full;
    line_feed.params = {{"DESC", "first\nsecond"}};

    struct {
        const char *name;
        Answer answer;
        std::string out;
        std::string calls;
    } cases[] = {
        {"every parameter", full,
         full_head + "STATUS: installed\nDESC: Full\nPSTAMP: build42\nINSTDATE: Mar 01 2024\n"
                     "VSTOCK: VS-1\nSERIALNUM: 77\nHOTLINE: 555-0100\nEMAIL: "
                     "help@orlo.example\nORLO_PATCHID: 1-01\nPATCHLIST: 1-01 2-03\n",
         lookups_of("ORLOfull")},
        {"null vendor and base directory", nulls,
         "*PKGINST: ORLOfull\nNAME: Sample package\nCATEGORY: application\nARCH: sparc\n"
         "VERSION: 1.0\nVENDOR: <not specified>\nBASEDIR: <not specified>\nSTATUS: installed\n",
         lookups_of("ORLOfull")},
        {"empty strings", empties,
         "*PKGINST: ORLOfull\nNAME: Sample package\nCATEGORY: application\nARCH: sparc\n"
         "VERSION: 1.0\nVENDOR: \nBASEDIR: \nSTATUS: installed\nEMAIL: e@orlo.example\n",
         lookups_of("ORLOfull")},
        {"pre-SVR4 looks nothing up", pre_svr4, full_head + "STATUS: pre-SVR4\n", ""},
        {"two parameters in table order", two_params,
         full_head + "STATUS: installed\nDESC: Two\nPATCHLIST: 9-99\n", lookups_of("ORLOfull")},
        {"null instance", no_instance,
         "*PKGINST: <not specified>\nNAME: Sample package\nCATEGORY: application\nARCH: sparc\n"
         "VERSION: 1.0\nVENDOR: Orlo Systems\nBASEDIR: /opt\nSTATUS: installed\n",
         lookups_of("NULL")},
        {"line feed in a value", line_feed, full_head + "STATUS: installed\nDESC: first\nsecond\n",
         lookups_of("ORLOfull")},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = display_with(c.answer);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.calls, c.calls);
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST(DisplayNode, StatusWords)
{
    struct {
        int status;
        const char *word;
    } cases[] = {
        {0, "installed"},        {1, "partially installed"}, {3, "unknown"},
        {4, "spooled"},          {5, "<not specified>"},     {9, "<not specified>"},
        {-1, "<not specified>"}, {-128, "<not specified>"},  {127, "<not specified>"},
    };
    for (auto &c : cases) {
        Answer answer = package("ORLOs");
        answer.status = c.status;
        Outcome outcome = display_with(answer);
        std::string expected = record_of("ORLOs");
        expected.replace(expected.find("installed"), strlen("installed"), c.word);
        EXPECT_EQ(outcome.out, expected) << "status " << c.status;
        // Every status but pre-SVR4 has its parameters looked up.
        EXPECT_EQ(outcome.calls, lookups_of("ORLOs")) << "status " << c.status;
    }
}

TEST(ListPackages, Runs)
{
    const std::string incomplete = error_record("Incomplete information from pkginfo.", 5061, 0);
    const std::string denied = error_record("Error from pkginfo: Permission denied", 5013, 13);

    auto missing = [](const char *Answer::*field, const char *value) {
        Answer answer = package("ORLOc");
        answer.*field = value;
        return answer;
    };

    Answer bare = package("ORLObare");
    bare.pkginst = nullptr;
    bare.vendor = nullptr;
    bare.basedir = nullptr;
    bare.params = {};
    Answer positive_end = failure(ESRCH);
    positive_end.result = 1;

    struct {
        const char *name;
        std::vector<Answer> answers;
        std::string out;
        std::string calls;
        int status;
    } cases[] = {
        {"no packages", {}, "", ask + end, 0},
        {"two packages",
         {package("ORLOa"), package("ORLOb")},
         record_of("ORLOa") + record_of("ORLOb"),
         ask + lookups_of("ORLOa") + ask + lookups_of("ORLOb") + ask + end,
         0},
        {"denied on the first call", {failure(EACCES)}, denied, ask + end, 0},
        {"denied on the third call",
         {package("ORLOa"), package("ORLOb"), failure(EACCES), package("ORLOd")},
         record_of("ORLOa") + record_of("ORLOb") + denied,
         ask + lookups_of("ORLOa") + ask + lookups_of("ORLOb") + ask + end,
         0},
        {"an unknown error number",
         {failure(200)},
         error_record("Error from pkginfo: Unknown error 200", 5200, 200),
         ask + end,
         0},
        {"a positive result ends the run too",
         {package("ORLOa"), positive_end, package("ORLOb")},
         record_of("ORLOa"),
         ask + lookups_of("ORLOa") + ask + end,
         0},
        {"the third of five has an empty version",
         {package("ORLOa"), package("ORLOb"), missing(&Answer::version, ""), package("ORLOd"),
          package("ORLOe")},
         record_of("ORLOa") + record_of("ORLOb") + incomplete,
         ask + lookups_of("ORLOa") + ask + lookups_of("ORLOb") + ask,
         2},
        {"no name", {missing(&Answer::name, nullptr)}, incomplete, ask, 2},
        {"empty name", {missing(&Answer::name, "")}, incomplete, ask, 2},
        {"no architecture", {missing(&Answer::arch, nullptr)}, incomplete, ask, 2},
        {"empty architecture", {missing(&Answer::arch, "")}, incomplete, ask, 2},
        {"no version", {missing(&Answer::version, nullptr)}, incomplete, ask, 2},
        {"no category", {missing(&Answer::catg, nullptr)}, incomplete, ask, 2},
        {"empty category", {missing(&Answer::catg, "")}, incomplete, ask, 2},
        {"instance, vendor and base directory are not required",
         {bare},
         "*PKGINST: <not specified>\nNAME: Sample package\nCATEGORY: application\nARCH: sparc\n"
         "VERSION: 1.0\nVENDOR: <not specified>\nBASEDIR: <not specified>\nSTATUS: installed\n",
         ask + lookups_of("NULL") + ask + end,
         0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = list_with(c.answers);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.calls, c.calls);
        EXPECT_EQ(outcome.status, c.status);
    }
}
