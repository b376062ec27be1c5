// swprobe's loop and record writer against a scripted pkginfo()/pkgparam().
// Each run is a child process, so the exit with status 2 can be watched like
// any other end.
#include "support.h"
#include "swprobe.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>

namespace
{

// What each pkginfo(info, "all", NULL, NULL) answers, one entry a call:
// "INST|NAME|CATEGORY|ARCH|VERSION|VENDOR|BASEDIR|STATUS|PARAM=VALUE|...",
// where "~" leaves the field as the caller left it; "!N" fails with errno N,
// "+" returns 1. pkgparam(NULL, NULL) and the end of the list are told on
// standard error as "." and "|".
std::vector<std::string> script;
size_t next_answer;
std::vector<std::string> fields; // of the last answer
std::deque<std::string> strings; // handed out, alive until the run ends

char *hand_out(const std::string &text)
{
    return strings.emplace_back(text).data();
}

} // namespace

extern "C" int pkginfo(struct pkginfo *info, char *pkginst, ...)
{
    if (pkginst == nullptr) {
        (void)fputs("|", stderr);
        return 0;
    }
    va_list selectors;
    va_start(selectors, pkginst);
    bool selected = va_arg(selectors, const char *) != nullptr;
    selected = va_arg(selectors, const char *) != nullptr || selected;
    va_end(selectors);
    errno = selected || strcmp(pkginst, "all") != 0 ? EINVAL : ESRCH;
    if (errno == EINVAL || next_answer == script.size())
        return -1;
    const std::string &answer = script[next_answer++];
    if (answer[0] == '!' || answer == "+") {
        errno = answer == "+" ? ESRCH : std::stoi(answer.substr(1));
        return answer == "+" ? 1 : -1;
    }
    fields.clear();
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1)
        fields.push_back(answer.substr(start, (end = answer.find('|', start)) - start));
    char **slots[] = {&info->pkginst, &info->name,   &info->catg,   &info->arch,
                      &info->version, &info->vendor, &info->basedir};
    for (size_t i = 0; i < 7; i++)
        if (fields[i] != "~")
            *slots[i] = hand_out(fields[i]);
    info->status = static_cast<char>(std::stoi(fields[7]));
    return 0;
}

extern "C" char *pkgparam(char *pkginst, char *param)
{
    if (pkginst == nullptr && param == nullptr)
        (void)fputs(".", stderr);
    for (size_t i = 8; pkginst != nullptr && param != nullptr && i < fields.size(); i++)
        if (fields[0] == pkginst && fields[i].starts_with(std::string(param) + "="))
            return hand_out(fields[i].substr(strlen(param) + 1));
    return nullptr;
}

// The runs of scripts.txt (tests/README.md): "< ANSWER" is one answer of
// the script above, "! CALLS" what the run told on standard error.
class ListPackages : public testing::TestWithParam<TestCase>
{
};

TEST_P(ListPackages, Runs)
{
    const TestCase &c = GetParam();
    script = c.of('<');
    next_answer = 0;
    ChildOutcome outcome = in_child([] { exit(list_packages()); });
    EXPECT_EQ(outcome.out, c.text('>'));
    EXPECT_EQ(outcome.err, c.first('!'));
    EXPECT_EQ(std::to_string(outcome.status), c.first('?', "0"));
}
CASE_TESTS(ListPackages, SWPROBE_SCRIPTS);
