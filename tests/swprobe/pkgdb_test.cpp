// The package database reader of the administration library, over package
// folders made in a temporary folder.
#include "pkgdb.h"
#include "support.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The database folder alone: no other database stands in where it is
// missing.
adm::Roots folder_only(const std::string &folder)
{
    return {folder, folder + ".no-dpkg"};
}

std::string text_or_null(const char *text)
{
    return text != nullptr ? "\"" + std::string(text) + "\"" : "null";
}

// One step of the enumeration, as text: "-1 errno N" or the record.
std::string step(const std::string &root)
{
    struct pkginfo info = {};
    errno = 0;
    int result = adm::next_package(folder_only(root), &info);
    if (result != 0)
        return std::to_string(result) + " errno " + std::to_string(errno);
    return std::string(info.pkginst) + " name=" + text_or_null(info.name) +
           " arch=" + text_or_null(info.arch) + " version=" + text_or_null(info.version) +
           " vendor=" + text_or_null(info.vendor) + " basedir=" + text_or_null(info.basedir) +
           " catg=" + text_or_null(info.catg) + " status=" + std::to_string(info.status);
}

// Every step up to the end, going on past failed instances; a database that
// cannot be opened fails the first step and ends it there.
std::vector<std::string> enumerate(const std::string &root)
{
    const std::string esrch = "-1 errno " + std::to_string(ESRCH);
    std::vector<std::string> steps;
    do
        steps.push_back(step(root));
    while (steps.back() != esrch && !(steps.size() == 1 && steps[0][0] == '-'));
    adm::end_enumeration(nullptr);
    return steps;
}

std::string instance_of(const std::string &step)
{
    return step.substr(0, step.find(' '));
}

const char complete[] = "NAME=Sample\nARCH=sparc\nVERSION=1.0\nCATEGORY=system\n";

// Root ignores file permissions: the checks that need them run as uid
// 65534 in a child, which reports its steps on a pipe.
std::vector<std::string> enumerate_as_nobody(const std::string &root)
{
    if (geteuid() != 0)
        return enumerate(root);
    int pipe_ends[2];
    EXPECT_EQ(pipe(pipe_ends), 0);
    pid_t child = fork();
    if (child == 0) {
        (void)close(pipe_ends[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(125);
        std::string report;
        for (const std::string &s : enumerate(root))
            report += s + "\n";
        _exit(write(pipe_ends[1], report.data(), report.size()) ==
                      static_cast<ssize_t>(report.size())
                  ? 0
                  : 124);
    }
    (void)close(pipe_ends[1]);
    std::string report;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<size_t>(got));
    (void)close(pipe_ends[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    std::vector<std::string> steps;
    for (size_t start = 0, end; (end = report.find('\n', start)) != std::string::npos;
         start = end + 1)
        steps.push_back(report.substr(start, end - start));
    return steps;
}

} // namespace

TEST(PkginfoFile, Parsing)
{
    struct {
        const char *name;
        std::string text;
        const char *param;
        const char *expected; // nullptr: no such parameter
    } cases[] = {
        {"plain", "NAME=Base system\n", "NAME", "Base system"},
        {"comment ignored", "#NAME=old\nNAME=new\n", "NAME", "new"},
        {"only a leading # comments", " #NAME=x\nNAME=y\n", " #NAME", "x"},
        {"equals inside the value", "DESC=a=b=c\n", "DESC", "a=b=c"},
        {"first line wins", "NAME=first\nNAME=second\n", "NAME", "first"},
        {"line without equals ignored", "NAME\nNAME=x\n", "NAME", "x"},
        {"last line without line feed", "ARCH=i386\nNAME=tail", "NAME", "tail"},
        {"empty value", "VENDOR=\n", "VENDOR", ""},
        {"carriage return kept", "NAME=x\r\n", "NAME", "x\r"},
        {"quotes kept", "NAME=\"quoted\"\n", "NAME", "\"quoted\""},
        {"blanks kept", "NAME= spaced \n", "NAME", " spaced "},
        {"blank before equals is part of the name", "NAME =x\n", "NAME", nullptr},
        {"names are case-sensitive", "name=x\n", "NAME", nullptr},
        {"empty name", "=x\n", "", "x"},
        {"absent", "ARCH=sparc\n", "NAME", nullptr},
        {"empty file", "", "NAME", nullptr},
        {"NUL inside a name", std::string("NA\0ME=x\n", 8), "NA", nullptr},
        {"NUL inside a value", std::string("NAME=a\0b\n", 9), "NAME", "a"},
    };
    for (auto &c : cases) {
        adm::Package package("ORLOp");
        adm::parse_pkginfo_file(c.text, package);
        EXPECT_EQ(text_or_null(package.find(c.param)), text_or_null(c.expected)) << c.name;
    }
}

TEST(PackageFolder, RecordsInByteOrderSkippingWhatIsNoInstance)
{
    TempDir db;
    write_file(db / "ORLOb/pkginfo", complete);
    write_file(db / "ORLOa/pkginfo",
               "# written by the installer\nPKG=ORLOa\nNAME=Alpha tools\nARCH=i386\n"
               "VERSION=2.1,REV=7\nVENDOR=Orlo Systems\nBASEDIR=/opt\nCATEGORY=application\n");
    write_file(db / "ORLO-z/pkginfo", "NAME=Dash\n");
    write_file(db / "Zeta/pkginfo", complete);
    write_file(db / "alpha/pkginfo", complete);
    write_file(db / "\xc3\xa9t\xc3\xa9/pkginfo", complete);
    write_file(db / ".hidden/pkginfo", complete);
    write_file(db / "README", "not a package\n");
    make_dir(db / "empty");
    make_dir(db / "folder/pkginfo");
    make_link(db / "dangling", db / "gone");

    std::vector<std::string> steps = enumerate(db.path());
    std::vector<std::string> expected = {
        "ORLO-z name=\"Dash\" arch=null version=null vendor=null basedir=null catg=null status=0",
        "ORLOa name=\"Alpha tools\" arch=\"i386\" version=\"2.1,REV=7\" vendor=\"Orlo Systems\" "
        "basedir=\"/opt\" catg=\"application\" status=0",
        "ORLOb name=\"Sample\" arch=\"sparc\" version=\"1.0\" vendor=null basedir=null "
        "catg=\"system\" status=0",
        "Zeta name=\"Sample\" arch=\"sparc\" version=\"1.0\" vendor=null basedir=null "
        "catg=\"system\" status=0",
        "alpha name=\"Sample\" arch=\"sparc\" version=\"1.0\" vendor=null basedir=null "
        "catg=\"system\" status=0",
        "\xc3\xa9t\xc3\xa9 name=\"Sample\" arch=\"sparc\" version=\"1.0\" vendor=null "
        "basedir=null catg=\"system\" status=0",
        "-1 errno " + std::to_string(ESRCH),
    };
    EXPECT_EQ(steps, expected);
}

TEST(PackageFolder, EndsWithEsrchUntilReleasedThenStartsOver)
{
    TempDir db;
    write_file(db / "ORLOa/pkginfo", complete);
    write_file(db / "ORLOb/pkginfo", complete);
    const std::string esrch = "-1 errno " + std::to_string(ESRCH);
    EXPECT_EQ(instance_of(step(db.path())), "ORLOa");
    EXPECT_EQ(instance_of(step(db.path())), "ORLOb");
    EXPECT_EQ(step(db.path()), esrch);
    EXPECT_EQ(step(db.path()), esrch);
    struct pkginfo info = {};
    EXPECT_EQ(pkginfo(&info, nullptr), 0);
    EXPECT_EQ(instance_of(step(db.path())), "ORLOa");
    adm::end_enumeration(nullptr);
}

TEST(PackageFolder, LockFilesMeanPartiallyInstalled)
{
    TempDir db;
    for (const char *instance : {"ORLOa", "ORLOb", "ORLOc", "ORLOd"})
        write_file(db / (std::string(instance) + "/pkginfo"), complete);
    write_file(db / "ORLOb/!I-Lock!", "");
    write_file(db / "ORLOc/!R-Lock!", "");
    write_file(db / "ORLOd/!X-Lock!", "");
    std::vector<std::string> statuses;
    for (const std::string &s : enumerate(db.path()))
        statuses.push_back(s.substr(s.rfind(' ') + 1));
    EXPECT_EQ(statuses, (std::vector<std::string>{"status=0", "status=1", "status=1", "status=0",
                                                  std::to_string(ESRCH)}));
}

TEST(PackageFolder, FailuresCarryTheErrnoOfTheFailedCall)
{
    TempDir dir;
    EXPECT_EQ(enumerate(dir / "missing"), std::vector<std::string>{"-1 errno 2"});
    write_file(dir / "file", "");
    EXPECT_EQ(enumerate(dir / "file"), std::vector<std::string>{"-1 errno 20"});

    make_dir(dir / "closed", 0700);
    write_file(dir / "closed/ORLOa/pkginfo", complete);
    EXPECT_EQ(enumerate_as_nobody(dir / "closed"), std::vector<std::string>{"-1 errno 13"});

    write_file(dir / "db/ORLOa/pkginfo", complete);
    write_file(dir / "db/ORLOb/pkginfo", complete, 0000);
    write_file(dir / "db/ORLOc/pkginfo", complete);
    make_dir(dir / "db/ORLOd", 0700);
    write_file(dir / "db/ORLOd/pkginfo", complete);
    // A failed instance is passed over: asking again goes on after it.
    std::vector<std::string> steps = enumerate_as_nobody(dir / "db");
    for (std::string &s : steps)
        if (s[0] != '-')
            s = instance_of(s);
    EXPECT_EQ(steps, (std::vector<std::string>{"ORLOa", "-1 errno 13", "ORLOc", "-1 errno 13",
                                               "-1 errno " + std::to_string(ESRCH)}));
}

TEST(PackageParameters, Lookups)
{
    TempDir db;
    write_file(db / "ORLOa/pkginfo", std::string(complete) + "DESC=First=one\nEMAIL=\n");
    write_file(db / "ORLOb/pkginfo", std::string(complete) + "DESC=Second\n");
    write_file(db / ".hidden/pkginfo", "DESC=hidden\n");
    write_file(db / "pkginfo", "DESC=outside\n");
    struct {
        const char *instance;
        const char *param;
        const char *expected;
    } cases[] = {
        {"ORLOa", "DESC", "First=one"}, {"ORLOa", "EMAIL", ""},
        {"ORLOa", "HOTLINE", nullptr},  {"ORLOb", "DESC", "Second"},
        {"ORLOa", "NAME", "Sample"},    {"ORLOz", "DESC", nullptr},
        {".hidden", "DESC", nullptr},   {"", "DESC", nullptr},
        {".", "DESC", nullptr},         {"../", "DESC", nullptr},
        {"ORLOa/..", "DESC", nullptr},  {nullptr, "DESC", nullptr},
        {"ORLOa", nullptr, nullptr},
    };
    for (auto &c : cases) {
        const char *value = adm::find_param(folder_only(db.path()), c.instance, c.param);
        EXPECT_EQ(text_or_null(value), text_or_null(c.expected))
            << text_or_null(c.instance) << " " << text_or_null(c.param);
    }
    adm::end_lookups();
}

TEST(PackageParameters, TheDeliveredPackageIsNotReadAgain)
{
    TempDir db;
    write_file(db / "ORLOa/pkginfo", std::string(complete) + "DESC=as delivered\n");
    write_file(db / "ORLOb/pkginfo", std::string(complete) + "DESC=b\n");
    struct pkginfo info = {};
    ASSERT_EQ(adm::next_package(folder_only(db.path()), &info), 0);
    write_file(db / "ORLOa/pkginfo", std::string(complete) + "DESC=changed since\n");
    EXPECT_EQ(text_or_null(adm::find_param(folder_only(db.path()), "ORLOa", "DESC")),
              "\"as delivered\"");

    // Parameter strings outlive the next step; record strings outlive the
    // lookups. The sanitizer build checks that they are still there.
    const char *desc = adm::find_param(folder_only(db.path()), "ORLOa", "DESC");
    const char *name = info.name;
    EXPECT_EQ(text_or_null(adm::find_param(folder_only(db.path()), "ORLOb", "DESC")), "\"b\"");
    EXPECT_STREQ(name, "Sample");
    EXPECT_EQ(text_or_null(adm::find_param(folder_only(db.path()), "ORLOa", "DESC")),
              "\"as delivered\"");
    desc = adm::find_param(folder_only(db.path()), "ORLOa", "DESC");
    ASSERT_EQ(adm::next_package(folder_only(db.path()), &info), 0);
    EXPECT_STREQ(desc, "as delivered");
    adm::end_lookups();
    adm::end_enumeration(&info);
    EXPECT_EQ(info.pkginst, nullptr);

    // Outside an enumeration a lookup reads the file as it is now.
    EXPECT_EQ(text_or_null(adm::find_param(folder_only(db.path()), "ORLOa", "DESC")),
              "\"changed since\"");
    adm::end_lookups();
}

TEST(PackageFunctions, RefuseWhatTheyDoNotOffer)
{
    struct pkginfo info = {};
    char all[] = "all";
    char one[] = "ORLOa";
    char sparc[] = "sparc";
    struct {
        const char *name;
        int result;
    } cases[] = {
        {"one instance", pkginfo(&info, one, nullptr, nullptr)},
        {"an architecture", pkginfo(&info, all, sparc, nullptr)},
        {"a version", pkginfo(&info, all, nullptr, sparc)},
        {"no record", pkginfo(nullptr, all, nullptr, nullptr)},
    };
    for (auto &c : cases)
        EXPECT_EQ(c.result, -1) << c.name;
    errno = 0;
    EXPECT_EQ(pkginfo(&info, one, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(pkgparam(nullptr, nullptr), nullptr);
}
