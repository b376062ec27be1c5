// The package database readers of the administration library, over package
// folders and dpkg status databases made in temporary folders.
#include "pkgdb.h"
#include "support.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The database folder alone: no other database stands in where it is
// missing.
adm::Roots folder_only(const std::string &folder)
{
    return {folder, folder + ".no-dpkg"};
}

// A database folder that does not exist, so the dpkg root is served.
adm::Roots dpkg_only(const TempDir &dir)
{
    return {dir / "no-such-folder", dir.path()};
}

// One step of the enumeration: "errno N", or "instance|status" and with
// fields the other fields, "-" for a null one.
std::string step(const adm::Roots &roots, bool fields = false)
{
    struct pkginfo info = {};
    errno = 0;
    if (adm::next_package(roots, &info) != 0)
        return "errno " + std::to_string(errno);
    std::string text = std::string(info.pkginst) + "|" + std::to_string(info.status);
    if (fields)
        for (const char *field :
             {info.name, info.arch, info.version, info.vendor, info.basedir, info.catg})
            text += std::string("|") + (field != nullptr ? field : "-");
    return text;
}

// Every step of a fresh enumeration up to ESRCH (3), going on past failed
// instances; a database that cannot be opened fails the first step and ends
// it there. The enumeration stays open.
std::string enumerate(const adm::Roots &roots, bool fields = false)
{
    adm::end_enumeration(nullptr);
    std::string last = step(roots, fields), steps = last;
    if (last.starts_with("errno"))
        return steps;
    while (last != "errno 3")
        steps += "; " + (last = step(roots, fields));
    return steps;
}

// Root ignores file permissions: these enumerations run as uid 65534.
std::string enumerate_as_nobody(const std::string &root)
{
    ChildOutcome child = in_child([&root] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            exit(125);
        (void)fputs(enumerate(folder_only(root), true).c_str(), stdout);
    });
    EXPECT_EQ(child.status, 0);
    return child.out;
}

const char complete[] = "NAME=Sample\nARCH=nivex64\nVERSION=1.0\nCATEGORY=system\n";
const std::string sample = "|Sample|nivex64|1.0|-|-|system";

// A complete file of exactly size bytes, its fields at the very end.
std::string padded(size_t size)
{
    std::string tail = complete;
    return "#" + std::string(size - tail.size() - 2, 'x') + "\n" + tail;
}

std::string stanza(const std::string &name, const std::string &arch, const std::string &status,
                   const std::string &more = "")
{
    return "Package: " + name + "\nStatus: " + status + "\nArchitecture: " + arch +
           "\nVersion: 1.0\nSection: libs\n" + more + "Description: " + name + " synopsis\n\n";
}

// The entries of a status file that are listed, with some fields.
std::string parsed(const std::string &text)
{
    std::string shown;
    for (const adm::StatusEntry &e : adm::parse_status_file(text)) {
        if (!e.listed)
            continue;
        shown += (shown.empty() ? "" : "; ") + std::string(e.name) + " " + std::to_string(e.status);
        if (e.section)
            shown += " section=" + std::string(*e.section);
        if (e.synopsis)
            shown += " synopsis=" + std::string(*e.synopsis);
        if (!e.description.empty())
            shown += " desc=" + std::string(e.description);
    }
    return shown;
}

void set_mtime(const std::string &path, time_t when)
{
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The readers keep their enumeration and lookups in the library's state.
class Database : public testing::Test
{
  protected:
    void TearDown() override
    {
        adm::end_lookups();
        adm::end_enumeration(nullptr);
    }
};

} // namespace

TEST(PkginfoFile, Parsing)
{
    struct {
        const char *name;
        std::string text;
        const char *param;
        const char *expected; // nullptr: no such parameter
    } cases[] = {
        {"comment ignored", "#NAME=old\nNAME=new\n", "NAME", "new"},
        {"only a leading # comments", " #NAME=x\nNAME=y\n", " #NAME", "x"},
        {"equals inside the value", "DESC=a=b=c\n", "DESC", "a=b=c"},
        {"first line wins", "NAME=first\nNAME=second\n", "NAME", "first"},
        {"line without equals ignored", "NAME\nNAME=x\n", "NAME", "x"},
        {"last line without line feed", "ARCH=i386\nNAME=tail", "NAME", "tail"},
        {"empty value", "VENDOR=\n", "VENDOR", ""},
        {"carriage return and blanks kept", "NAME= x \r\n", "NAME", " x \r"},
        {"blank before equals is part of the name", "NAME =x\n", "NAME", nullptr},
        {"NUL inside a name", std::string("NA\0ME=x\n", 8), "NA", nullptr},
    };
    for (auto &c : cases) {
        adm::Package package("ORLOp");
        adm::parse_pkginfo_file(c.text, package);
        EXPECT_STREQ(package.find(c.param), c.expected) << c.name;
    }
}

TEST_F(Database, FolderInstancesInByteOrderSkippingWhatIsNoInstance)
{
    TempDir db;
    write_file(db / "ORLOb/pkginfo", complete);
    write_file(db / "ORLOb/!I-Lock!", "");
    write_file(db / "ORLOa/pkginfo",
               "# written by the installer\nPKG=ORLOa\nNAME=Alpha tools\nARCH=i386\n"
               "VERSION=2.1,REV=7\nVENDOR=Orlo Systems\nBASEDIR=/opt\nCATEGORY=application\n");
    write_file(db / "ORLO-z/pkginfo", "NAME=Dash\n");
    // Files of the read buffer's size and beyond it.
    write_file(db / "Zeta/pkginfo", padded(4096));
    write_file(db / "Zeta/!R-Lock!", "");
    write_file(db / "alpha/pkginfo", padded(9000));
    write_file(db / "alpha/!X-Lock!", "");
    write_file(db / "\xc3\xa9t\xc3\xa9/pkginfo", complete);
    write_file(db / ".hidden/pkginfo", complete);
    write_file(db / "README", "not a package\n");
    make_dir(db / "empty");
    make_dir(db / "folder/pkginfo");
    make_link(db / "dangling", db / "gone");

    adm::Roots roots = folder_only(db.path());
    EXPECT_EQ(enumerate(roots, true),
              "ORLO-z|0|Dash|-|-|-|-|-; ORLOa|0|Alpha tools|i386|2.1,REV=7|Orlo Systems|/opt|"
              "application; ORLOb|1" +
                  sample + "; Zeta|1" + sample + "; alpha|0" + sample + "; \xc3\xa9t\xc3\xa9|0" +
                  sample + "; errno 3");
    // Exhausted, it says so until released; released, it starts over.
    EXPECT_EQ(step(roots), "errno 3");
    struct pkginfo info = {};
    EXPECT_EQ(pkginfo(&info, nullptr), 0);
    EXPECT_EQ(step(roots), "ORLO-z|0");
}

TEST_F(Database, FolderFailuresCarryTheErrnoOfTheFailedCall)
{
    TempDir dir;
    EXPECT_EQ(enumerate(folder_only(dir / "missing")), "errno 2");
    write_file(dir / "file", "");
    EXPECT_EQ(enumerate(folder_only(dir / "file")), "errno 20");

    make_dir(dir / "closed", 0700);
    write_file(dir / "closed/ORLOa/pkginfo", complete);
    EXPECT_EQ(enumerate_as_nobody(dir / "closed"), "errno 13");

    write_file(dir / "db/ORLOa/pkginfo", complete);
    write_file(dir / "db/ORLOb/pkginfo", complete, 0000);
    write_file(dir / "db/ORLOc/pkginfo", complete);
    make_dir(dir / "db/ORLOd", 0700);
    write_file(dir / "db/ORLOd/pkginfo", complete);
    // A failed instance is passed over: asking again goes on after it.
    EXPECT_EQ(enumerate_as_nobody(dir / "db"),
              "ORLOa|0" + sample + "; errno 13; ORLOc|0" + sample + "; errno 13; errno 3");
}

TEST_F(Database, FolderLookups)
{
    TempDir db;
    write_file(db / "ORLOa/pkginfo", std::string(complete) + "DESC=as delivered\nEMAIL=\n");
    write_file(db / "ORLOb/pkginfo", std::string(complete) + "DESC=b\n");
    write_file(db / ".hidden/pkginfo", "DESC=hidden\n");
    write_file(db / "pkginfo", "DESC=outside\n");
    adm::Roots roots = folder_only(db.path());
    struct {
        const char *instance;
        const char *param;
        const char *expected;
    } cases[] = {
        {"ORLOa", "DESC", "as delivered"},
        {"ORLOa", "EMAIL", ""},
        {"ORLOa", "HOTLINE", nullptr},
        {"ORLOb", "DESC", "b"},
        {"ORLOz", "DESC", nullptr},
        {".hidden", "DESC", nullptr},
        {"", "DESC", nullptr},
        {"ORLOa/..", "DESC", nullptr},
        {nullptr, "DESC", nullptr},
        {"ORLOa", nullptr, nullptr},
    };
    for (auto &c : cases)
        EXPECT_STREQ(adm::find_param(roots, c.instance, c.param), c.expected)
            << (c.instance ? c.instance : "NULL") << " " << (c.param ? c.param : "NULL");

    // The package just delivered is not read again. Parameter strings outlive
    // the next step and record strings the lookups: the sanitizer build
    // checks that they are still there.
    struct pkginfo info = {};
    ASSERT_EQ(adm::next_package(roots, &info), 0);
    write_file(db / "ORLOa/pkginfo", std::string(complete) + "DESC=changed since\n");
    EXPECT_STREQ(adm::find_param(roots, "ORLOb", "DESC"), "b");
    EXPECT_STREQ(info.name, "Sample");
    const char *desc = adm::find_param(roots, "ORLOa", "DESC");
    ASSERT_EQ(adm::next_package(roots, &info), 0);
    EXPECT_STREQ(desc, "as delivered");
    adm::end_lookups();
    adm::end_enumeration(&info);
    EXPECT_EQ(info.pkginst, nullptr);
    // Outside an enumeration a lookup reads the file as it is now.
    EXPECT_STREQ(adm::find_param(roots, "ORLOa", "DESC"), "changed since");
}

TEST(PackageFunctions, RefuseASelection)
{
    struct pkginfo info = {};
    char all[] = "all", one[] = "ORLOa", nivex64[] = "nivex64";
    auto refused = [](int result) { return result == -1 && errno == EINVAL; };
    EXPECT_TRUE(refused(pkginfo(&info, one, nullptr, nullptr)));
    EXPECT_TRUE(refused(pkginfo(&info, all, nivex64, nullptr)));
    EXPECT_TRUE(refused(pkginfo(&info, all, nullptr, nivex64)));
    EXPECT_TRUE(refused(pkginfo(nullptr, all, nullptr, nullptr)));
}

TEST(StatusFile, Parsing)
{
    struct {
        const char *name;
        std::string text;
        const char *expected;
    } cases[] = {
        {"no line feed at the end", "Package: a\nStatus: install ok installed", "a 0"},
        {"several blank lines and blank-only separators",
         "\n\nPackage: a\nStatus: install ok installed\n\n\n \t\nPackage: b\n"
         "Status: install ok unpacked\n \n",
         "a 0; b 1"},
        {"carriage returns end lines too",
         "Package: a\r\nStatus: install ok installed\r\nDescription: s\r\n one\r\n two\r\n\r\n"
         "Package: b\r\nStatus: install ok installed\r\n",
         "a 0 synopsis=s desc= one\r\n two\r; b 0"},
        {"field names in any case, blanks around values",
         "PACKAGE:a\nstatus:\tinstall  ok\tinstalled \nsEcTiOn:   net  \n", "a 0 section=net"},
        {"the first of repeated fields wins, with its continuation lines",
         "Package: a\nStatus: install ok installed\nDescription: first\n kept\n"
         "Section: x\nDescription: second\n dropped\nPackage: b\nSection: y\n",
         "a 0 section=x synopsis=first desc= kept"},
        {"continuation lines of other fields are not the description",
         "Package: a\nStatus: install ok installed\nConffiles:\n /etc/a 0123\n"
         "Description: s\nDepends: b\n not this\n",
         "a 0 synopsis=s"},
        {"lines without a colon and a leading continuation ignored",
         " stray\nPackage: a\nno colon here\nStatus: install ok installed\n", "a 0"},
        {"blank before the colon makes another field",
         "Package : a\nStatus: install ok installed\n", ""},
        {"without a name or a status", "Package: \nStatus: install ok installed\n\nPackage: b\n\n",
         ""},
        {"empty description", "Package: a\nStatus: install ok installed\nDescription:\n .\n",
         "a 0 synopsis= desc= ."},
    };
    for (auto &c : cases)
        EXPECT_EQ(parsed(c.text), c.expected) << c.name;

    // Only the third word, the state, counts.
    struct {
        const char *status;
        const char *expected;
    } states[] = {
        {"install ok installed", "p 0"},        {"hold ok installed", "p 0"},
        {"install ok half-installed", "p 1"},   {"install ok unpacked", "p 1"},
        {"install ok half-configured", "p 1"},  {"install ok triggers-awaited", "p 1"},
        {"install ok triggers-pending", "p 1"}, {"deinstall ok config-files", ""},
        {"purge ok not-installed", ""},         {"install ok", ""},
        {"install ok Installed", ""},           {"install ok installed-ish", ""},
    };
    for (auto &s : states)
        EXPECT_EQ(parsed("Package: p\nStatus: " + std::string(s.status) + "\n"), s.expected)
            << s.status;
}

TEST(StatusFile, DescriptionAndAddress)
{
    struct {
        const char *continuation;
        const char *expected;
    } descriptions[] = {
        // Every line but the first keeps its blank, so none reads as a record line.
        {" one\n Depends: a\n *x: y", "one\n Depends: a\n *x: y"},
        {"  verbatim\n\tby tab", " verbatim\n\tby tab"},
        {" one\r\n two\r\r", "one\n two\r"},
    };
    for (auto &c : descriptions)
        EXPECT_EQ(adm::join_description(c.continuation), c.expected) << c.continuation;

    struct {
        const char *maintainer;
        std::optional<std::string_view> expected;
    } addresses[] = {
        {"Two <a@example.org>, <b@example.org>", "a@example.org"},
        {"Empty <>", ""},
        {"No address", std::nullopt},
        {"Unclosed <a@example.org", std::nullopt},
        {"Reversed > a <", std::nullopt},
    };
    for (auto &c : addresses)
        EXPECT_EQ(adm::maintainer_address(c.maintainer), c.expected) << c.maintainer;
}

TEST_F(Database, DpkgInstancesInByteOrderArchitectureOnlyWhereNeeded)
{
    TempDir db;
    write_file(db / "status",
               stanza("libfoo", "i386", "install ok installed", "Multi-Arch: same\n") +
                   stanza("zsh", "amd64", "install ok installed") +
                   stanza("libfoo", "amd64", "install ok unpacked", "Multi-Arch: same\n") +
                   stanza("libfoo0", "amd64", "install ok installed") +
                   stanza("libbar", "i386", "deinstall ok config-files") +
                   stanza("libbar", "amd64", "install ok installed") +
                   stanza("gone", "amd64", "purge ok not-installed") +
                   stanza("libfoo-dev", "amd64", "install ok half-configured"));
    EXPECT_EQ(enumerate(dpkg_only(db)), "libbar|0; libfoo-dev|1; libfoo0|0; libfoo:amd64|1; "
                                        "libfoo:i386|0; zsh|0; errno 3");
}

TEST_F(Database, DpkgRecordAndParameters)
{
    // Installation times are local times.
    (void)setenv("TZ", "UTC", 1);
    tzset();
    TempDir db;
    write_file(db / "status",
               "Package: libfoo\nStatus: install ok installed\nPriority: optional\nSection: libs\n"
               "Maintainer: Jane Roe <jane@example.org>\nArchitecture: amd64\n"
               "Multi-Arch: same\nVersion: 2:1.4-3\nHomepage: https://foo.example.org\n"
               "Description: foo runtime library\n Foo does things.\n .\n   * verbatim\n\n" +
                   stanza("libfoo", "i386", "install ok installed", "Multi-Arch: same\n") +
                   "Package: bare\nStatus: install ok installed\n\n" +
                   stanza("old", "all", "install ok installed", "Multi-Arch: same\n") +
                   stanza("plain", "all", "install ok installed"));
    write_file(db / "info/libfoo:amd64.list", "/.\n");
    set_mtime(db / "info/libfoo:amd64.list", 1709296496); // Mar 01 2024 12:34:56 UTC
    write_file(db / "info/libfoo.list", "/.\n");          // neither instance's
    write_file(db / "info/old.list", "/.\n");             // named as for a single architecture
    write_file(db / "info/plain.list", "/.\n");
    set_mtime(db / "info/plain.list", 1893456000);
    adm::Roots roots = dpkg_only(db);

    EXPECT_EQ(step(roots, true), "bare|0|-|-|-|-|/|-");
    EXPECT_EQ(step(roots, true), "libfoo:amd64|0|foo runtime library|amd64|2:1.4-3|"
                                 "Jane Roe <jane@example.org>|/|libs");
    struct {
        const char *instance;
        const char *param;
        const char *expected;
    } cases[] = {
        {"libfoo:amd64", "DESC", "Foo does things.\n .\n   * verbatim"},
        {"libfoo:amd64", "INSTDATE", "Mar 01 2024 12:34"},
        {"libfoo:amd64", "EMAIL", "jane@example.org"},
        {"libfoo:amd64", "HOTLINE", "https://foo.example.org"},
        {"libfoo:amd64", "PSTAMP", nullptr},
        {"libfoo:amd64", "Package", nullptr},
        {"libfoo:i386", "DESC", nullptr},
        {"libfoo:i386", "INSTDATE", nullptr},
        {"libfoo:i386", "VERSION", "1.0"},
        {"libfoo", "VERSION", nullptr},
        {"old", "INSTDATE", nullptr},
        {"plain", "INSTDATE", "Jan 01 2030 00:00"},
        {"missing", "BASEDIR", nullptr},
    };
    for (auto &c : cases)
        EXPECT_STREQ(adm::find_param(roots, c.instance, c.param), c.expected)
            << c.instance << " " << c.param;
    adm::end_lookups();
    adm::end_enumeration(nullptr);
    // Outside an enumeration a lookup reads the database itself.
    EXPECT_STREQ(adm::find_param(roots, "libfoo:i386", "CATEGORY"), "libs");
}

TEST_F(Database, DpkgStatusFileReadOncePerEnumeration)
{
    TempDir db;
    adm::Roots roots = dpkg_only(db);
    write_file(db / "status", stanza("a", "all", "install ok installed") +
                                  stanza("b", "all", "install ok installed"));
    EXPECT_EQ(step(roots), "a|0");
    write_file(db / "status", stanza("c", "all", "install ok installed"));
    EXPECT_EQ(step(roots), "b|0");
    EXPECT_EQ(step(roots), "errno 3");
    EXPECT_EQ(enumerate(roots), "c|0; errno 3");
}

TEST_F(Database, DpkgServedOnlyWhereTheDatabaseFolderIsMissing)
{
    TempDir dir;
    write_file(dir / "dpkg/status", stanza("deb", "all", "install ok installed"));
    write_file(dir / "sadm/pkg/ORLOa/pkginfo", "NAME=a\n");
    make_dir(dir / "empty");
    make_dir(dir / "dpkg-folder-status/status");
    write_file(dir / "file", "");
    struct {
        const char *name;
        adm::Roots roots;
        const char *expected;
    } cases[] = {
        {"folder present", {dir / "sadm/pkg", dir / "dpkg"}, "ORLOa|0; errno 3"},
        {"empty folder present", {dir / "empty", dir / "dpkg"}, "errno 3"},
        {"folder missing", {dir / "sadm/none", dir / "dpkg"}, "deb|0; errno 3"},
        {"folder is a file", {dir / "file", dir / "dpkg"}, "errno 20"},
        {"neither", {dir / "sadm/none", dir / "none"}, "errno 2"},
        {"status is a folder", {dir / "sadm/none", dir / "dpkg-folder-status"}, "errno 21"},
    };
    for (auto &c : cases)
        EXPECT_EQ(enumerate(c.roots), c.expected) << c.name;
}

TEST_F(Database, DpkgJournalStanzasStandForThoseOfTheStatusFile)
{
    TempDir db;
    write_file(db / "status", stanza("a", "all", "install ok installed") +
                                  stanza("b", "all", "install ok installed") +
                                  stanza("c", "amd64", "install ok unpacked") +
                                  stanza("c", "i386", "install ok installed"));
    write_file(db / "updates/0000", stanza("b", "all", "deinstall ok config-files"));
    write_file(db / "updates/0001", stanza("c", "amd64", "install ok installed") +
                                        stanza("d", "all", "install ok half-installed"));
    write_file(db / "updates/9",
               "Package: a\nStatus: install ok installed\nArchitecture: all\nVersion: 9\n");
    write_file(db / "updates/0010",
               "Package: a\nStatus: install ok installed\nArchitecture: all\nVersion: 10\n");
    write_file(db / "updates/tmp.i", stanza("e", "all", "install ok installed"));
    adm::Roots roots = dpkg_only(db);
    EXPECT_EQ(enumerate(roots), "a|0; c:amd64|0; c:i386|0; d|1; errno 3");
    EXPECT_STREQ(adm::find_param(roots, "a", "VERSION"), "10");

    make_dir(db / "updates/0011");
    EXPECT_EQ(enumerate(roots), "errno 21");
}
