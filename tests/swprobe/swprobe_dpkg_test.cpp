// swprobe on a host without /var/sadm/pkg: the installed program in the
// sandbox over dpkg status databases, a made one and this machine's own.
#include "support.h"

#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>

namespace
{

SandboxRun swprobe_over(const std::string &image)
{
    SandboxRun run = installed("swprobe");
    run.image = image;
    run.env.push_back("TZ=UTC");
    return run;
}

void set_mtime(const std::string &path, time_t when)
{
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

const char library_stanzas[] =
    "Package: libfoo\nStatus: install ok installed\nSection: libs\n"
    "Maintainer: Jane Roe <jane@example.org>\nArchitecture: i386\nMulti-Arch: same\n"
    "Version: 1.4-3\nHomepage: https://foo.example.org\nDescription: foo runtime library\n"
    " Foo does things.\n .\n It does them well.\n\n"
    "Package: libfoo\nStatus: install ok installed\nSection: libs\n"
    "Maintainer: Jane Roe <jane@example.org>\nArchitecture: amd64\nMulti-Arch: same\n"
    "Version: 1.4-3\nDescription: foo runtime library\n\n";

// The instances of this machine's database that swprobe should list: those
// installed, wholly or in part, by dpkg-query's own reading.
long expected_instances()
{
    FILE *query = popen("dpkg-query -W -f '${db:Status-Abbrev}\\n' 2>/dev/null", "r");
    if (query == nullptr)
        return -1;
    long count = 0;
    char line[64];
    while (fgets(line, sizeof line, query) != nullptr) {
        // The second letter is the state: installed, half-installed,
        // unpacked, half-configured, triggers-awaited, triggers-pending.
        if (line[0] != '\0' && line[1] != '\0' &&
            std::string_view("iHUFWt").find(line[1]) != std::string_view::npos)
            count++;
    }
    return pclose(query) == 0 ? count : -1;
}

} // namespace

TEST(SwprobeDpkg, WritesEveryInstalledPackageByteForByte)
{
    REQUIRE_SANDBOX();
    TempDir image;
    write_file(image / "var/lib/dpkg/status",
               std::string(library_stanzas) +
                   "Package: tool\nStatus: install ok unpacked\nSection: utils\nArchitecture: all\n"
                   "Version: 2\nMaintainer: Team\nDescription: a tool\n\n"
                   "Package: old\nStatus: deinstall ok config-files\nSection: utils\n"
                   "Architecture: all\nConfig-Version: 1\nDescription: removed\n");
    write_file(image / "var/lib/dpkg/info/libfoo:i386.list", "/.\n");
    set_mtime(image / "var/lib/dpkg/info/libfoo:i386.list", 1709296496);
    write_file(image / "var/lib/dpkg/info/tool.list", "/.\n");
    set_mtime(image / "var/lib/dpkg/info/tool.list", 1893456000);

    SandboxResult r = run_checked(swprobe_over(image.path()));
    EXPECT_EQ(r.out, "*PKGINST: libfoo:amd64\nNAME: foo runtime library\nCATEGORY: libs\n"
                     "ARCH: amd64\nVERSION: 1.4-3\nVENDOR: Jane Roe <jane@example.org>\n"
                     "BASEDIR: /\nSTATUS: installed\nEMAIL: jane@example.org\n"
                     "*PKGINST: libfoo:i386\nNAME: foo runtime library\nCATEGORY: libs\n"
                     "ARCH: i386\nVERSION: 1.4-3\nVENDOR: Jane Roe <jane@example.org>\n"
                     "BASEDIR: /\nSTATUS: installed\n"
                     "DESC: Foo does things.\n .\n It does them well.\n"
                     "INSTDATE: Mar 01 2024 12:34\nHOTLINE: https://foo.example.org\n"
                     "EMAIL: jane@example.org\n"
                     "*PKGINST: tool\nNAME: a tool\nCATEGORY: utils\nARCH: all\nVERSION: 2\n"
                     "VENDOR: Team\nBASEDIR: /\nSTATUS: partially installed\n"
                     "INSTDATE: Jan 01 2030 00:00\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(SwprobeDpkg, ThisMachinesDatabase)
{
    REQUIRE_SANDBOX();
    struct stat st;
    if (stat("/var/lib/dpkg/status", &st) != 0)
        GTEST_SKIP() << "this machine has no /var/lib/dpkg/status";
    SandboxRun run = installed("swprobe");
    run.host_binds = {"/var/lib/dpkg"};

    // Packages may be installed meanwhile: the count must be the same before
    // and after the run for the run to be compared with it.
    long before = 0, after = 0;
    SandboxResult r;
    for (int attempt = 0; attempt < 3; attempt++) {
        before = expected_instances();
        r = run_checked(run);
        after = expected_instances();
        if (before == after)
            break;
    }
    ASSERT_GE(before, 0) << "dpkg-query failed";
    ASSERT_EQ(before, after) << "the database kept changing";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    ParsedOutput parsed = parse_records(r.out);
    EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
    EXPECT_EQ(static_cast<long>(parsed.records.size()), before);
    std::string previous;
    const std::set<std::string> statuses = {"installed", "partially installed"};
    for (const Record &record : parsed.records) {
        EXPECT_EQ(record.key, "PKGINST");
        EXPECT_LT(previous, record.value);
        previous = record.value;
        for (const char *key : {"NAME", "CATEGORY", "ARCH", "VERSION", "VENDOR"}) {
            const std::string *value = record.find(key);
            EXPECT_TRUE(value != nullptr && !value->empty()) << record.value << " " << key;
        }
        const std::string *basedir = record.find("BASEDIR");
        EXPECT_TRUE(basedir != nullptr && *basedir == "/") << record.value;
        const std::string *status = record.find("STATUS");
        EXPECT_TRUE(status != nullptr && statuses.count(*status) == 1) << record.value;
    }
}
