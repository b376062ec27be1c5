// swprobe as the parent collector runs it: the installed program and library
// in the sandbox, over host images holding /var/sadm/pkg or a dpkg database,
// and over this machine's own dpkg database.
#include "support.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <sys/stat.h>

namespace
{

const char complete[] = "NAME=Sample\nARCH=nivex64\nVERSION=1.0\nCATEGORY=system\n";

// The instances of this machine's database that swprobe should list: those
// installed, wholly or in part, by dpkg-query's own reading.
long expected_instances()
{
    FILE *query = popen("dpkg-query -W -f '${db:Status-Abbrev}\\n' 2>/dev/null", "r");
    if (query == nullptr)
        return -1;
    long count = 0;
    char line[64];
    // The second letter is the state: installed, half-installed, unpacked,
    // half-configured, triggers-awaited, triggers-pending.
    while (fgets(line, sizeof line, query) != nullptr)
        if (line[0] != '\0' && line[1] != '\0' && strchr("iHUFWt", line[1]) != nullptr)
            count++;
    return pclose(query) == 0 ? count : -1;
}

// The value of a line of the record, or "(none)".
std::string line_of(const Record &record, const char *key)
{
    const std::string *value = record.find(key);
    return value != nullptr ? *value : "(none)";
}

// The records of a run that checks out as well-formed and in order, with
// the lines every record has.
std::vector<Record> checked_records(const SandboxResult &r)
{
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ParsedOutput parsed = parse_records(r.out);
    EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
    std::string previous;
    for (const Record &record : parsed.records) {
        EXPECT_EQ(record.key, "PKGINST");
        EXPECT_LT(previous, record.value);
        previous = record.value;
        for (const char *key :
             {"NAME", "CATEGORY", "ARCH", "VERSION", "VENDOR", "BASEDIR", "STATUS"})
            EXPECT_NE(line_of(record, key), "(none)") << record.value << " " << key;
    }
    return parsed.records;
}

} // namespace

TEST(SwprobeSandboxed, Runs)
{
    REQUIRE_SANDBOX();
    TempDir full;
    write_file(
        full / "var/sadm/pkg/ORLOcore/pkginfo",
        "# installed by the package tools\nPKG=ORLOcore\nNAME=Base system\nARCH=nivex64\n"
        "VERSION=11.2,REV=2024.03.01\nVENDOR=Orlo Systems\nBASEDIR=/\nCATEGORY=system\n"
        "PATCHLIST=100-01 101-02\nDESC=Core files=essential\nPSTAMP=\nHOTLINE=Call 555-0100\n"
        "ORLO_PATCHID=100-01\nDESC=second value ignored\n");
    write_file(full / "var/sadm/pkg/ORLObusy/pkginfo",
               "NAME=Half done\nARCH=all\nVERSION=2\nCATEGORY=application\nVENDOR=\n");
    write_file(full / "var/sadm/pkg/ORLObusy/!I-Lock!", "");
    write_file(full / "var/sadm/pkg/notes.txt", "not a package\n");
    make_dir(full / "var/sadm/pkg/ORLOgone");

    TempDir missing;
    make_dir(missing / "var/sadm");

    TempDir closed;
    make_dir(closed / "var/sadm/pkg", 0700);
    write_file(closed / "var/sadm/pkg/ORLOa/pkginfo", complete);

    TempDir incomplete;
    write_file(incomplete / "var/sadm/pkg/ORLOa/pkginfo", complete);
    write_file(incomplete / "var/sadm/pkg/ORLOb/pkginfo",
               "NAME=No version\nARCH=nivex64\nVERSION=\nCATEGORY=system\n");
    write_file(incomplete / "var/sadm/pkg/ORLOc/pkginfo", complete);

    // Without /var/sadm/pkg the dpkg database serves.
    TempDir dpkg_closed;
    write_file(dpkg_closed / "var/lib/dpkg/status",
               "Package: a\nStatus: install ok installed\nSection: x\n"
               "Architecture: all\nVersion: 1\nDescription: a\n",
               0600);

    const std::string denied = error_record("Error from pkginfo: Permission denied", 5013, 13);
    struct {
        const char *name;
        std::string image;
        std::vector<std::string> args = {};
        bool as_user = false;
        SandboxOutput out = SandboxOutput::capture;
        std::string expected = "";
        int status = 0;
    } cases[] = {
        {.name = "every package byte for byte",
         .image = full.path(),
         .expected = "*PKGINST: ORLObusy\nNAME: Half done\nCATEGORY: application\nARCH: all\n"
                     "VERSION: 2\nVENDOR: \nBASEDIR: <not specified>\n"
                     "STATUS: partially installed\n"
                     "*PKGINST: ORLOcore\nNAME: Base system\nCATEGORY: system\nARCH: nivex64\n"
                     "VERSION: 11.2,REV=2024.03.01\nVENDOR: Orlo Systems\nBASEDIR: /\n"
                     "STATUS: installed\nDESC: Core files=essential\nHOTLINE: Call 555-0100\n"
                     "ORLO_PATCHID: 100-01\nPATCHLIST: 100-01 101-02\n"},
        {.name = "no database",
         .image = missing.path(),
         .expected = error_record("Error from pkginfo: No such file or directory", 5002, 2)},
        {.name = "database closed to the user",
         .image = closed.path(),
         .as_user = true,
         .expected = denied},
        {.name = "an empty version",
         .image = incomplete.path(),
         .expected = "*PKGINST: ORLOa\nNAME: Sample\nCATEGORY: system\nARCH: nivex64\nVERSION: "
                     "1.0\nVENDOR: <not specified>\nBASEDIR: <not specified>\nSTATUS: installed\n" +
                     error_record("Incomplete information from pkginfo.", 5061, 0),
         .status = 2},
        {.name = "dpkg status file closed to the user",
         .image = dpkg_closed.path(),
         .as_user = true,
         .expected = denied},
        {.name = "version", .image = closed.path(), .args = {"-V"}, .expected = "swprobe\t1.1\n"},
        {.name = "two versions",
         .image = closed.path(),
         .args = {"-VV"},
         .expected = error_record("Invalid command line argument", 5022, 22),
         .status = 1},
        {.name = "records to a full disk",
         .image = closed.path(),
         .out = SandboxOutput::full,
         .status = 2},
        {.name = "records to a closed output",
         .image = closed.path(),
         .out = SandboxOutput::closed,
         .status = 2},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        SandboxRun run = installed("swprobe", c.args);
        run.image = c.image;
        run.as_user = c.as_user;
        run.out = c.out;
        SandboxResult r = run_checked(run);
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(SwprobeSandboxed, SampleHost)
{
    REQUIRE_SANDBOX();
    SandboxRun run = installed("swprobe");
    run.image = SWPROBE_SAMPLE_HOST;
    std::map<std::string, int> seen;
    std::vector<Record> records = checked_records(run_checked(run));
    for (const Record &record : records) {
        EXPECT_NE(line_of(record, "DESC"), "(none)") << record.value;
        seen["STATUS: " + line_of(record, "STATUS")]++;
        seen["VENDOR: " + line_of(record, "VENDOR")]++;
    }
    EXPECT_GE(records.size(), 24u);
    EXPECT_EQ(seen["STATUS: partially installed"], 1);
    EXPECT_EQ(seen["VENDOR: <not specified>"], 1);
}

TEST(SwprobeSandboxed, ThisMachinesDpkgDatabase)
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
    for (int attempt = 0; attempt < 3 && (attempt == 0 || before != after); attempt++) {
        before = expected_instances();
        r = run_checked(run);
        after = expected_instances();
    }
    ASSERT_GE(before, 0) << "dpkg-query failed";
    ASSERT_EQ(before, after) << "the database kept changing";
    std::vector<Record> records = checked_records(r);
    EXPECT_EQ(static_cast<long>(records.size()), before);
    for (const Record &record : records) {
        for (const char *key : {"NAME", "CATEGORY", "ARCH", "VERSION", "VENDOR"})
            EXPECT_NE(line_of(record, key), "") << record.value << " " << key;
        EXPECT_EQ(line_of(record, "BASEDIR"), "/") << record.value;
        std::string status = line_of(record, "STATUS");
        EXPECT_TRUE(status == "installed" || status == "partially installed") << record.value;
    }
}
