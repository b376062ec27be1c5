// swprobe's loop and record writer against a scripted pkginfo()/pkgparam()
// that logs every call on standard error. Each run is a child process, so the
// exit with status 2 can be watched like any other end, with its calls.
#include "support.h"
#include "swprobe.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

namespace
{

// What one pkginfo(info, "all", NULL, NULL) call answers. Fields left null
// are not touched, so a record the caller did not clear shows through.
struct Answer {
    int result = 0;
    int error = 0;
    const char *pkginst = nullptr, *name = nullptr, *arch = nullptr, *version = nullptr;
    const char *vendor = nullptr, *basedir = nullptr, *catg = nullptr;
    int status = 0;
    std::map<std::string, std::string> params;
};

std::vector<Answer> script;
size_t next_answer;
std::deque<std::string> strings; // keeps what the double hands out alive

char *hand_out(const char *text)
{
    if (text == nullptr)
        return nullptr;
    return strings.emplace_back(text).data();
}

const char *shown(const char *text)
{
    return text != nullptr ? text : "NULL";
}

} // namespace

extern "C" int pkginfo(struct pkginfo *info, char *pkginst, ...)
{
    if (pkginst == nullptr) {
        (void)fprintf(stderr, "pkginfo(NULL)\n");
        return 0;
    }
    va_list selectors;
    va_start(selectors, pkginst);
    const char *arch = va_arg(selectors, const char *);
    const char *version = va_arg(selectors, const char *);
    va_end(selectors);
    bool cleared = info->pkginst == nullptr && info->name == nullptr && info->arch == nullptr &&
                   info->version == nullptr && info->vendor == nullptr &&
                   info->basedir == nullptr && info->catg == nullptr && info->status == 0;
    (void)fprintf(stderr, "pkginfo(%s,%s,%s)%s\n", pkginst, shown(arch), shown(version),
                  cleared ? "" : " on a stale record");

    if (next_answer == script.size()) {
        errno = ESRCH;
        return -1;
    }
    const Answer &answer = script[next_answer++];
    if (answer.result != 0) {
        errno = answer.error;
        return answer.result;
    }
    for (auto [field, value] : {std::pair{&info->pkginst, answer.pkginst},
                                {&info->name, answer.name},
                                {&info->arch, answer.arch},
                                {&info->version, answer.version},
                                {&info->vendor, answer.vendor},
                                {&info->basedir, answer.basedir},
                                {&info->catg, answer.catg}})
        if (value != nullptr)
            *field = hand_out(value);
    info->status = static_cast<char>(answer.status);
    return 0;
}

extern "C" char *pkgparam(char *pkginst, char *param)
{
    (void)fprintf(stderr, "pkgparam(%s,%s)\n", shown(pkginst), shown(param));
    for (const Answer &answer : script) {
        if (pkginst == nullptr || param == nullptr || answer.pkginst == nullptr ||
            strcmp(answer.pkginst, pkginst) != 0)
            continue;
        auto found = answer.params.find(param);
        return found == answer.params.end() ? nullptr : hand_out(found->second.c_str());
    }
    return nullptr;
}

namespace
{

ChildOutcome list_with(std::vector<Answer> answers)
{
    script = std::move(answers);
    next_answer = 0;
    return in_child([] { exit(list_packages()); });
}

Answer package(const char *instance)
{
    Answer answer;
    answer.pkginst = instance;
    answer.name = "Sample package";
    answer.arch = "nivex64";
    answer.version = "1.0";
    answer.vendor = "Orlo Systems";
    answer.basedir = "/opt";
    answer.catg = "application";
    answer.params = {{"DESC", "A sample"}};
    return answer;
}

std::string head(const std::string &instance, const std::string &vendor = "Orlo Systems",
                 const std::string &basedir = "/opt")
{
    return "*PKGINST: " + instance +
           "\nNAME: Sample package\nCATEGORY: application\nARCH: nivex64\nVERSION: 1.0\nVENDOR: " +
           vendor + "\nBASEDIR: " + basedir + "\n";
}

std::string record_of(const std::string &instance)
{
    return head(instance) + "STATUS: installed\nDESC: A sample\n";
}

std::string lookups_of(const std::string &instance)
{
    std::string calls;
    for (const char *param : {"DESC", "PSTAMP", "INSTDATE", "VSTOCK", "SERIALNUM", "HOTLINE",
                              "EMAIL", "ORLO_PATCHID", "PATCHLIST"})
        calls += "pkgparam(" + instance + "," + param + ")\n";
    return calls + "pkgparam(NULL,NULL)\n";
}

Answer failure(int result, int error)
{
    Answer answer;
    answer.result = result;
    answer.error = error;
    return answer;
}

const std::string ask = "pkginfo(all,NULL,NULL)\n";
const std::string end = "pkginfo(NULL)\n";

void expect_run(const char *name, const std::vector<Answer> &answers, const std::string &out,
                const std::string &calls, int status)
{
    SCOPED_TRACE(name);
    ChildOutcome outcome = list_with(answers);
    EXPECT_EQ(outcome.out, out);
    EXPECT_EQ(outcome.err, calls);
    EXPECT_EQ(outcome.status, status);
}

} // namespace

TEST(ListPackages, OnePackageRecords)
{
    Answer full = package("ORLOa");
    full.params = {{"DESC", "Full"},       {"PSTAMP", "b42"},        {"INSTDATE", "Mar 01 2024"},
                   {"VSTOCK", "VS-1"},     {"SERIALNUM", "77"},      {"HOTLINE", "555-0100"},
                   {"EMAIL", "h@orlo.ex"}, {"ORLO_PATCHID", "1-01"}, {"PATCHLIST", "1-01 2-03"}};
    Answer nulls = package("ORLOa");
    nulls.vendor = nulls.basedir = nullptr;
    nulls.params = {{"PATCHLIST", "9-99"}, {"DESC", "Two"}};
    Answer empties = package("ORLOa");
    empties.vendor = empties.basedir = "";
    empties.params = {{"DESC", ""}, {"EMAIL", "e@orlo.ex"}};
    Answer pre_svr4 = package("ORLOa");
    pre_svr4.status = 2;
    // Instance, vendor and base directory are not required of a package.
    Answer bare = nulls;
    bare.pkginst = nullptr;

    const std::string once = ask + lookups_of("ORLOa") + ask + end;
    expect_run("every parameter, in table order", {full},
               head("ORLOa") + "STATUS: installed\nDESC: Full\nPSTAMP: b42\nINSTDATE: Mar 01 "
                               "2024\nVSTOCK: VS-1\nSERIALNUM: 77\nHOTLINE: 555-0100\nEMAIL: "
                               "h@orlo.ex\nORLO_PATCHID: 1-01\nPATCHLIST: 1-01 2-03\n",
               once, 0);
    expect_run("null vendor and base directory, two parameters", {nulls},
               head("ORLOa", "<not specified>", "<not specified>") +
                   "STATUS: installed\nDESC: Two\nPATCHLIST: 9-99\n",
               once, 0);
    expect_run("empty strings", {empties},
               head("ORLOa", "", "") + "STATUS: installed\nEMAIL: e@orlo.ex\n", once, 0);
    expect_run("pre-SVR4 looks nothing up", {pre_svr4}, head("ORLOa") + "STATUS: pre-SVR4\n",
               ask + ask + end, 0);
    expect_run("null instance", {bare},
               head("<not specified>", "<not specified>", "<not specified>") +
                   "STATUS: installed\n",
               ask + lookups_of("NULL") + ask + end, 0);

    // Every status but pre-SVR4 has its parameters looked up.
    struct {
        int status;
        const char *word;
    } words[] = {{0, "installed"},       {1, "partially installed"}, {3, "unknown"},
                 {4, "spooled"},         {5, "<not specified>"},     {9, "<not specified>"},
                 {-1, "<not specified>"}};
    for (auto &w : words) {
        Answer answer = package("ORLOa");
        answer.status = w.status;
        expect_run(w.word, {answer}, head("ORLOa") + "STATUS: " + w.word + "\nDESC: A sample\n",
                   once, 0);
    }
}

TEST(ListPackages, Ends)
{
    const std::string incomplete = error_record("Incomplete information from pkginfo.", 5061, 0);
    const std::string denied = error_record("Error from pkginfo: Permission denied", 5013, 13);
    const std::string two = record_of("ORLOa") + record_of("ORLOb");
    const std::string two_calls = ask + lookups_of("ORLOa") + ask + lookups_of("ORLOb") + ask;
    auto lacking = [](const char *Answer::*field, const char *value) {
        Answer answer = package("ORLOc");
        answer.*field = value;
        return answer;
    };
    Answer a = package("ORLOa"), b = package("ORLOb"), d = package("ORLOd");

    expect_run("no packages", {}, "", ask + end, 0);
    expect_run("two packages", {a, b}, two, two_calls + end, 0);
    expect_run("denied on the first call", {failure(-1, EACCES)}, denied, ask + end, 0);
    expect_run("denied on the third call", {a, b, failure(-1, EACCES), d}, two + denied,
               two_calls + end, 0);
    expect_run("a positive result ends the run too", {a, failure(1, ESRCH), b}, record_of("ORLOa"),
               ask + lookups_of("ORLOa") + ask + end, 0);
    expect_run("the third of five has an empty version",
               {a, b, lacking(&Answer::version, ""), d, package("ORLOe")}, two + incomplete,
               two_calls, 2);
    expect_run("no name", {lacking(&Answer::name, nullptr)}, incomplete, ask, 2);
    expect_run("empty architecture", {lacking(&Answer::arch, "")}, incomplete, ask, 2);
    expect_run("no category", {lacking(&Answer::catg, nullptr)}, incomplete, ask, 2);
}
