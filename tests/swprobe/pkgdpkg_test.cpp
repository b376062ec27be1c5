// The package functions over a dpkg status database made in a temporary
// folder.
#include "pkgdb.h"
#include "support.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace
{

std::string text_or_null(const char *text)
{
    return text != nullptr ? "\"" + std::string(text) + "\"" : "null";
}

std::string view_or_null(const std::optional<std::string_view> &view)
{
    return view ? "\"" + std::string(*view) + "\"" : "null";
}

std::string describe(const adm::StatusEntry &entry)
{
    return std::string(entry.name) + " status=" + std::to_string(entry.status) +
           " arch=" + view_or_null(entry.arch) + " version=" + view_or_null(entry.version) +
           " section=" + view_or_null(entry.section) + " synopsis=" + view_or_null(entry.synopsis) +
           " desc=\"" + std::string(entry.description) + "\"";
}

std::vector<std::string> parsed(const std::string &text)
{
    std::vector<std::string> entries;
    for (const adm::StatusEntry &entry : adm::parse_status_file(text))
        if (entry.listed)
            entries.push_back(describe(entry));
    return entries;
}

// A database folder that does not exist, so the dpkg root is served.
adm::Roots dpkg_only(const TempDir &dir)
{
    return {dir / "no-such-folder", dir.path()};
}

std::string stanza(const std::string &name, const std::string &arch, const std::string &status,
                   const std::string &more = "")
{
    return "Package: " + name + "\nStatus: " + status + "\nArchitecture: " + arch +
           "\nVersion: 1.0\nSection: libs\n" + more + "Description: " + name + " synopsis\n\n";
}

// Every step of one enumeration as "instance status" or "-1 errno N".
std::vector<std::string> enumerate(const adm::Roots &roots)
{
    std::vector<std::string> steps;
    for (;;) {
        struct pkginfo info = {};
        errno = 0;
        if (adm::next_package(roots, &info) != 0) {
            steps.push_back("-1 errno " + std::to_string(errno));
            break;
        }
        steps.push_back(std::string(info.pkginst) + " " + std::to_string(info.status));
    }
    adm::end_enumeration(nullptr);
    return steps;
}

void set_mtime(const std::string &path, time_t when)
{
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Installation times are local times: the checks run in UTC.
class InUtc
{
  public:
    InUtc()
    {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        (void)setenv("TZ", "UTC", 1);
        tzset();
    }
    ~InUtc()
    {
        if (had_)
            (void)setenv("TZ", old_.c_str(), 1);
        else
            (void)unsetenv("TZ");
        tzset();
    }

  private:
    bool had_;
    std::string old_;
};

const std::string esrch = "-1 errno " + std::to_string(ESRCH);

} // namespace

TEST(StatusFile, Parsing)
{
    struct {
        const char *name;
        std::string text;
        std::vector<std::string> expected;
    } cases[] = {
        {"one package",
         "Package: zlib1g\nStatus: install ok installed\nPriority: optional\nSection: libs\n"
         "Architecture: amd64\nVersion: 1:1.2.13\nDescription: compression library\n"
         " zlib is a library.\n .\n More.\n",
         {"zlib1g status=0 arch=\"amd64\" version=\"1:1.2.13\" section=\"libs\" "
          "synopsis=\"compression library\" desc=\" zlib is a library.\n .\n More.\""}},
        {"no line feed at the end",
         "Package: a\nStatus: install ok installed",
         {"a status=0 arch=null version=null section=null synopsis=null desc=\"\""}},
        {"several blank lines and blank-only separators",
         "\n\nPackage: a\nStatus: install ok installed\n\n\n \t\nPackage: b\n"
         "Status: install ok unpacked\n \n",
         {"a status=0 arch=null version=null section=null synopsis=null desc=\"\"",
          "b status=1 arch=null version=null section=null synopsis=null desc=\"\""}},
        {"carriage returns end lines too",
         "Package: a\r\nStatus: install ok installed\r\nDescription: s\r\n one\r\n two\r\n\r\n"
         "Package: b\r\nStatus: install ok installed\r\n",
         {"a status=0 arch=null version=null section=null synopsis=\"s\" desc=\" one\r\n two\r\"",
          "b status=0 arch=null version=null section=null synopsis=null desc=\"\""}},
        {"field names in any case, blanks around values",
         "PACKAGE:a\nstatus:\tinstall  ok\tinstalled \nsEcTiOn:   net  \n",
         {"a status=0 arch=null version=null section=\"net\" synopsis=null desc=\"\""}},
        {"the first of repeated fields wins, with its continuation lines",
         "Package: a\nStatus: install ok installed\nDescription: first\n kept\n"
         "Section: x\nDescription: second\n dropped\nPackage: b\nSection: y\n",
         {"a status=0 arch=null version=null section=\"x\" synopsis=\"first\" desc=\" kept\""}},
        {"continuation lines of other fields are not the description",
         "Package: a\nStatus: install ok installed\nConffiles:\n /etc/a 0123\n"
         "Description: s\nDepends: b\n not this\n",
         {"a status=0 arch=null version=null section=null synopsis=\"s\" desc=\"\""}},
        {"lines without a colon and a leading continuation ignored",
         " stray\nPackage: a\nno colon here\nStatus: install ok installed\n",
         {"a status=0 arch=null version=null section=null synopsis=null desc=\"\""}},
        {"blank before the colon makes another field",
         "Package : a\nStatus: install ok installed\n",
         {}},
        {"without a name or a status",
         "Package: \nStatus: install ok installed\n\nPackage: b\n\n",
         {}},
        {"empty description",
         "Package: a\nStatus: install ok installed\nDescription:\n .\n",
         {"a status=0 arch=null version=null section=null synopsis=\"\" desc=\" .\""}},
        {"empty file", "", {}},
    };
    for (auto &c : cases)
        EXPECT_EQ(parsed(c.text), c.expected) << c.name;
}

TEST(StatusFile, StatesKeptAndSkipped)
{
    struct {
        const char *status;
        const char *expected; // nullptr: skipped
    } cases[] = {
        {"install ok installed", "0"},
        {"hold ok installed", "0"},
        {"deinstall ok installed", "0"},
        {"install ok half-installed", "1"},
        {"install reinstreq half-installed", "1"},
        {"install ok unpacked", "1"},
        {"install ok half-configured", "1"},
        {"install ok triggers-awaited", "1"},
        {"install ok triggers-pending", "1"},
        {"deinstall ok config-files", nullptr},
        {"purge ok not-installed", nullptr},
        {"install ok", nullptr},
        {"installed", nullptr},
        {"install ok Installed", nullptr},
        {"install ok installed-ish", nullptr},
        {"", nullptr},
    };
    for (auto &c : cases) {
        std::vector<adm::StatusEntry> entries =
            adm::parse_status_file("Package: p\nStatus: " + std::string(c.status) + "\n");
        std::string got =
            entries.empty() || !entries[0].listed ? "skipped" : std::to_string(entries[0].status);
        EXPECT_EQ(got, c.expected ? c.expected : "skipped") << c.status;
    }
}

TEST(StatusFile, DescriptionAndAddress)
{
    struct {
        const char *continuation;
        const char *expected;
    } descriptions[] = {
        {" one\n two", "one\n two"},
        {" one\n .\n two", "one\n .\n two"},
        {"  verbatim\n\tby tab", " verbatim\n\tby tab"},
        {" one\r\n two\r", "one\n two"},
        {" first\n Depends: a\n *x: y", "first\n Depends: a\n *x: y"},
    };
    for (auto &c : descriptions)
        EXPECT_EQ(adm::join_description(c.continuation), c.expected) << c.continuation;

    struct {
        const char *maintainer;
        std::optional<std::string_view> expected;
    } addresses[] = {
        {"Jane Roe <jane@example.org>", "jane@example.org"},
        {"<only@example.org>", "only@example.org"},
        {"Two <a@example.org>, <b@example.org>", "a@example.org"},
        {"Empty <>", ""},
        {"No address", std::nullopt},
        {"Unclosed <a@example.org", std::nullopt},
        {"Reversed > a <", std::nullopt},
    };
    for (auto &c : addresses)
        EXPECT_EQ(adm::maintainer_address(c.maintainer), c.expected) << c.maintainer;
}

TEST(DpkgDatabase, InstancesInByteOrderArchitectureOnlyWhereNeeded)
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
    EXPECT_EQ(enumerate(dpkg_only(db)),
              (std::vector<std::string>{"libbar 0", "libfoo-dev 1", "libfoo0 0", "libfoo:amd64 1",
                                        "libfoo:i386 0", "zsh 0", esrch}));
}

TEST(DpkgDatabase, RecordAndParameters)
{
    InUtc utc;
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
    set_mtime(db / "info/libfoo.list", 0);
    write_file(db / "info/old.list", "/.\n"); // named as for a single architecture
    set_mtime(db / "info/old.list", 946684800);
    write_file(db / "info/plain.list", "/.\n");
    set_mtime(db / "info/plain.list", 1893456000);
    adm::Roots roots = dpkg_only(db);

    struct pkginfo info = {};
    ASSERT_EQ(adm::next_package(roots, &info), 0);
    EXPECT_STREQ(info.pkginst, "bare");
    EXPECT_EQ(info.name, nullptr);
    EXPECT_EQ(info.arch, nullptr);
    EXPECT_EQ(info.version, nullptr);
    EXPECT_EQ(info.vendor, nullptr);
    EXPECT_STREQ(info.basedir, "/");
    EXPECT_EQ(info.catg, nullptr);

    ASSERT_EQ(adm::next_package(roots, &info), 0);
    EXPECT_STREQ(info.pkginst, "libfoo:amd64");
    EXPECT_STREQ(info.name, "foo runtime library");
    EXPECT_STREQ(info.arch, "amd64");
    EXPECT_STREQ(info.version, "2:1.4-3");
    EXPECT_STREQ(info.vendor, "Jane Roe <jane@example.org>");
    EXPECT_STREQ(info.basedir, "/");
    EXPECT_STREQ(info.catg, "libs");
    EXPECT_EQ(info.status, 0);

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
        {"libfoo:amd64", "VSTOCK", nullptr},
        {"libfoo:amd64", "SERIALNUM", nullptr},
        {"libfoo:amd64", "ORLO_PATCHID", nullptr},
        {"libfoo:amd64", "PATCHLIST", nullptr},
        {"libfoo:amd64", "Package", nullptr},
        {"libfoo:i386", "DESC", nullptr},
        {"libfoo:i386", "INSTDATE", nullptr},
        {"libfoo:i386", "EMAIL", nullptr},
        {"libfoo:i386", "VERSION", "1.0"},
        {"libfoo", "VERSION", nullptr},
        {"old", "INSTDATE", nullptr},
        {"plain", "INSTDATE", "Jan 01 2030 00:00"},
        {"bare", "INSTDATE", nullptr},
        {"bare", "BASEDIR", "/"},
        {"missing", "BASEDIR", nullptr},
    };
    for (auto &c : cases)
        EXPECT_EQ(text_or_null(adm::find_param(roots, c.instance, c.param)),
                  text_or_null(c.expected))
            << c.instance << " " << c.param;
    adm::end_lookups();
    adm::end_enumeration(&info);

    // Outside an enumeration a lookup reads the database itself.
    EXPECT_EQ(text_or_null(adm::find_param(roots, "libfoo:i386", "CATEGORY")), "\"libs\"");
    adm::end_lookups();
}

TEST(DpkgDatabase, StatusFileReadOncePerEnumeration)
{
    TempDir db;
    adm::Roots roots = dpkg_only(db);
    write_file(db / "status", stanza("a", "all", "install ok installed") +
                                  stanza("b", "all", "install ok installed"));
    struct pkginfo info = {};
    ASSERT_EQ(adm::next_package(roots, &info), 0);
    EXPECT_STREQ(info.pkginst, "a");
    write_file(db / "status", stanza("c", "all", "install ok installed"));
    ASSERT_EQ(adm::next_package(roots, &info), 0);
    EXPECT_STREQ(info.pkginst, "b");
    EXPECT_EQ(adm::next_package(roots, &info), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(pkginfo(&info, nullptr), 0);
    EXPECT_EQ(info.pkginst, nullptr);
    EXPECT_EQ(enumerate(roots), (std::vector<std::string>{"c 0", esrch}));
}

TEST(DpkgDatabase, ServedOnlyWhereTheDatabaseFolderIsMissing)
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
        std::vector<std::string> expected;
    } cases[] = {
        {"folder present", {dir / "sadm/pkg", dir / "dpkg"}, {"ORLOa 0", esrch}},
        {"empty folder present", {dir / "empty", dir / "dpkg"}, {esrch}},
        {"folder missing", {dir / "sadm/none", dir / "dpkg"}, {"deb 0", esrch}},
        {"folder is a file", {dir / "file", dir / "dpkg"}, {"-1 errno " + std::to_string(ENOTDIR)}},
        {"neither", {dir / "sadm/none", dir / "none"}, {"-1 errno " + std::to_string(ENOENT)}},
        {"status is a folder",
         {dir / "sadm/none", dir / "dpkg-folder-status"},
         {"-1 errno " + std::to_string(EISDIR)}},
    };
    for (auto &c : cases)
        EXPECT_EQ(enumerate(c.roots), c.expected) << c.name;
}

TEST(DpkgDatabase, JournalStanzasStandForThoseOfTheStatusFile)
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
    EXPECT_EQ(enumerate(roots),
              (std::vector<std::string>{"a 0", "c:amd64 0", "c:i386 0", "d 1", esrch}));
    EXPECT_EQ(text_or_null(adm::find_param(roots, "a", "VERSION")), "\"10\"");
    adm::end_lookups();

    make_dir(db / "updates/0011");
    EXPECT_EQ(enumerate(roots), (std::vector<std::string>{"-1 errno " + std::to_string(EISDIR)}));
}
