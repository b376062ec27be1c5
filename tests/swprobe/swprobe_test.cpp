// swprobe as the parent collector runs it: the installed program and library
// in the sandbox, over host images holding /var/sadm/pkg.
#include "support.h"

#include <map>

namespace
{

SandboxRun swprobe_over(const std::string &image, std::vector<std::string> args = {})
{
    SandboxRun run = installed("swprobe", std::move(args));
    run.image = image;
    return run;
}

const char complete[] = "NAME=Sample\nARCH=sparc\nVERSION=1.0\nCATEGORY=system\n";

std::string sample_record(const std::string &instance)
{
    return "*PKGINST: " + instance +
           "\nNAME: Sample\nCATEGORY: system\nARCH: sparc\nVERSION: 1.0\n"
           "VENDOR: <not specified>\nBASEDIR: <not specified>\nSTATUS: installed\n";
}

} // namespace

TEST(SwprobeSandboxed, WritesEveryPackageByteForByte)
{
    REQUIRE_SANDBOX();
    TempDir image;
    write_file(
        image / "var/sadm/pkg/ORLOcore/pkginfo",
        "# installed by the package tools\nPKG=ORLOcore\nNAME=Base system\nARCH=sparc\n"
        "VERSION=11.2,REV=2024.03.01\nVENDOR=Orlo Systems\nBASEDIR=/\nCATEGORY=system\n"
        "PATCHLIST=100-01 101-02\nDESC=Core files=essential\nPSTAMP=\nHOTLINE=Call 555-0100\n"
        "ORLO_PATCHID=100-01\nDESC=second value ignored\n");
    write_file(image / "var/sadm/pkg/ORLObusy/pkginfo",
               "NAME=Half done\nARCH=all\nVERSION=2\nCATEGORY=application\nVENDOR=\n");
    write_file(image / "var/sadm/pkg/ORLObusy/!I-Lock!", "");
    write_file(image / "var/sadm/pkg/notes.txt", "not a package\n");
    make_dir(image / "var/sadm/pkg/ORLOgone");

    SandboxResult r = run_checked(swprobe_over(image.path()));
    EXPECT_EQ(r.out, "*PKGINST: ORLObusy\nNAME: Half done\nCATEGORY: application\nARCH: all\n"
                     "VERSION: 2\nVENDOR: \nBASEDIR: <not specified>\n"
                     "STATUS: partially installed\n"
                     "*PKGINST: ORLOcore\nNAME: Base system\nCATEGORY: system\nARCH: sparc\n"
                     "VERSION: 11.2,REV=2024.03.01\nVENDOR: Orlo Systems\nBASEDIR: /\n"
                     "STATUS: installed\nDESC: Core files=essential\nHOTLINE: Call 555-0100\n"
                     "ORLO_PATCHID: 100-01\nPATCHLIST: 100-01 101-02\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(SwprobeSandboxed, Ends)
{
    REQUIRE_SANDBOX();
    TempDir empty;
    make_dir(empty / "var/sadm/pkg");

    TempDir missing;
    make_dir(missing / "var/sadm");

    TempDir closed;
    make_dir(closed / "var/sadm/pkg", 0700);
    write_file(closed / "var/sadm/pkg/ORLOa/pkginfo", complete);

    TempDir one_closed;
    write_file(one_closed / "var/sadm/pkg/ORLOa/pkginfo", complete);
    write_file(one_closed / "var/sadm/pkg/ORLOb/pkginfo", complete, 0600);
    write_file(one_closed / "var/sadm/pkg/ORLOc/pkginfo", complete);

    TempDir incomplete;
    write_file(incomplete / "var/sadm/pkg/ORLOa/pkginfo", complete);
    write_file(incomplete / "var/sadm/pkg/ORLOb/pkginfo",
               "NAME=No version\nARCH=sparc\nVERSION=\nCATEGORY=system\n");
    write_file(incomplete / "var/sadm/pkg/ORLOc/pkginfo", complete);

    // Without /var/sadm/pkg the dpkg database serves.
    const char dpkg_stanza[] = "Package: a\nStatus: install ok installed\nSection: x\n"
                               "Architecture: all\nVersion: 1\nDescription: a\n\n";
    TempDir dpkg_nothing_installed;
    write_file(dpkg_nothing_installed / "var/lib/dpkg/status",
               "Package: old\nStatus: purge ok not-installed\n");

    TempDir dpkg_closed;
    write_file(dpkg_closed / "var/lib/dpkg/status", dpkg_stanza, 0600);

    TempDir dpkg_no_section;
    write_file(dpkg_no_section / "var/lib/dpkg/status",
               std::string(dpkg_stanza) +
                   "Package: b\nStatus: install ok installed\nArchitecture: all\nVersion: 1\n"
                   "Description: b\n");
    const std::string dpkg_record = "*PKGINST: a\nNAME: a\nCATEGORY: x\nARCH: all\nVERSION: 1\n"
                                    "VENDOR: <not specified>\nBASEDIR: /\nSTATUS: installed\n";

    const std::string denied = error_record("Error from pkginfo: Permission denied", 5013, 13);
    struct {
        const char *name;
        const TempDir &image;
        bool as_user;
        std::string out;
        int status;
    } cases[] = {
        {"no packages", empty, false, "", 0},
        {"no database", missing, false,
         error_record("Error from pkginfo: No such file or directory", 5002, 2), 0},
        {"database closed to the user", closed, true, denied, 0},
        {"database open to root", closed, false, sample_record("ORLOa"), 0},
        {"one package closed to the user", one_closed, true, sample_record("ORLOa") + denied, 0},
        {"an empty version", incomplete, false,
         sample_record("ORLOa") + error_record("Incomplete information from pkginfo.", 5061, 0), 2},
        {"dpkg: nothing installed", dpkg_nothing_installed, false, "", 0},
        {"dpkg: status file closed to the user", dpkg_closed, true, denied, 0},
        {"dpkg: status file open to root", dpkg_closed, false, dpkg_record, 0},
        {"dpkg: a package without a section", dpkg_no_section, false,
         dpkg_record + error_record("Incomplete information from pkginfo.", 5061, 0), 2},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        SandboxRun run = swprobe_over(c.image.path());
        run.as_user = c.as_user;
        SandboxResult r = run_checked(run);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(SwprobeSandboxed, CommandLineAndLostOutput)
{
    REQUIRE_SANDBOX();
    TempDir image;
    write_file(image / "var/sadm/pkg/ORLOa/pkginfo", complete);
    TempDir missing;
    make_dir(missing / "var");

    struct {
        const char *name;
        const TempDir &image;
        std::vector<std::string> args;
        SandboxOutput out;
        std::string expected;
        int status;
    } cases[] = {
        {"version", image, {"-V"}, SandboxOutput::capture, "swprobe\t1.1\n", 0},
        {"operands ignored",
         image,
         {"word", "-V"},
         SandboxOutput::capture,
         sample_record("ORLOa"),
         0},
        {"two versions",
         image,
         {"-VV"},
         SandboxOutput::capture,
         error_record("Invalid command line argument", 5022, 22),
         1},
        {"records to a full disk", image, {}, SandboxOutput::full, "", 2},
        {"error record to a full disk", missing, {}, SandboxOutput::full, "", 2},
        {"version to a full disk", image, {"-V"}, SandboxOutput::full, "", 2},
        {"records to a closed output", image, {}, SandboxOutput::closed, "", 2},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        SandboxRun run = swprobe_over(c.image.path(), c.args);
        run.out = c.out;
        SandboxResult r = run_checked(run);
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(SwprobeSandboxed, SampleHost)
{
    REQUIRE_SANDBOX();
    SandboxResult r = run_checked(swprobe_over(SWPROBE_SAMPLE_HOST));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ParsedOutput parsed = parse_records(r.out);
    EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
    std::map<std::string, int> statuses;
    std::string previous;
    int without_vendor = 0;
    for (const Record &record : parsed.records) {
        EXPECT_EQ(record.key, "PKGINST");
        EXPECT_LT(previous, record.value);
        previous = record.value;
        const std::string *status = record.find("STATUS");
        ASSERT_NE(status, nullptr) << record.value;
        statuses[*status]++;
        const std::string *vendor = record.find("VENDOR");
        ASSERT_NE(vendor, nullptr) << record.value;
        if (*vendor == "<not specified>")
            without_vendor++;
        EXPECT_NE(record.find("DESC"), nullptr) << record.value;
    }
    EXPECT_GE(parsed.records.size(), 24u);
    EXPECT_EQ(statuses["partially installed"], 1);
    EXPECT_EQ(without_vendor, 1);
}
