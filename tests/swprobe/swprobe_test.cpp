// swprobe as the parent collector runs it: the installed program and library
// in the sandbox, over host images holding /var/sadm/pkg or a dpkg database,
// and over this machine's own dpkg database.
#include "support.h"

#include <cstdio>
#include <set>

namespace
{

// The instances that dpkg-query, reading the database at admin, counts as
// installed wholly or in part (the second letter of the abbreviated status).
long expected_instances(const std::string &admin)
{
    std::string command = "dpkg-query --admindir=" + admin +
                          " -W -f '${db:Status-Abbrev}\\n' 2>/dev/null | grep -c '^.[iHUFWt]'";
    FILE *query = popen(command.c_str(), "r");
    long count = -1;
    if (query != nullptr && fscanf(query, "%ld", &count) != 1)
        count = -1;
    return query != nullptr && pclose(query) == 0 ? count : -1;
}

// Every record well-formed, one per package, no value over a line of its
// own and no key twice.
void check_records(const std::string &out, long count)
{
    ParsedOutput parsed = parse_records(out);
    EXPECT_EQ(parsed.problems, std::vector<std::string>{});
    EXPECT_EQ(static_cast<long>(parsed.records.size()), count);
    // No value goes on over a line of its own.
    for (const Record &record : parsed.records) {
        std::set<std::string> keys;
        EXPECT_EQ(record.value.find('\n'), std::string::npos) << record.value;
        for (const auto &[key, value] : record.lines)
            EXPECT_TRUE(key.find_first_of(" \t\r") == std::string::npos &&
                        value.find('\n') == std::string::npos && keys.insert(key).second)
                << record.value << " " << key;
    }
}

} // namespace

// The cases of hosts.txt (tests/README.md), each a host image and
// swprobe's whole output over it.
class SwprobeSandboxedHosts : public testing::TestWithParam<TestCase>
{
};

TEST_P(SwprobeSandboxedHosts, Output)
{
    REQUIRE_SANDBOX();
    const TestCase &c = GetParam();
    TempDir image;
    make_tree(image.path(), c.of('+'));
    SandboxRun run = installed("swprobe", c.of('$'));
    run.image = image.path();
    run.as_user = c.setting("as") == "user";
    run.out = c.setting("output") == "full" ? SandboxOutput::full : SandboxOutput::capture;
    run.timeout_seconds = 5;
    if (!within_reach(run, c.name))
        return;
    SandboxResult r = run_checked(run);
    EXPECT_EQ(r.out, c.text('>'));
    EXPECT_EQ(r.err, c.text('!'));
    EXPECT_EQ(std::to_string(r.status), c.first('?', "0"));
}
CASE_TESTS(SwprobeSandboxedHosts, SWPROBE_CASES);

// This machine's database as it is, and a copy of its status file with a
// package built here that has neither Section nor Description: every
// package listed, once, in records of well-formed lines only.
TEST(SwprobeSandboxed, ThisMachinesDpkgDatabase)
{
    REQUIRE_SANDBOX();
    TempDir image;
    make_tree(image.path(), {"deb/DEBIAN/control=Package: probes-built-here\nVersion: 0.1\n"
                             "Architecture: all\nMaintainer: Nobody <nobody@example.org>\n"});
    std::string deb = image / "built.deb", db = image / "var/lib/dpkg";
    ASSERT_EQ(system(("dpkg-deb --build " + image / "deb" + " " + deb + " >/dev/null 2>&1 && " +
                      "dpkg-deb -f " + deb + " >" + image / "control")
                         .c_str()),
              0);
    make_tree(image.path(), {"var/lib/dpkg/status=" + read_file("/var/lib/dpkg/status") + "\n" +
                             read_file(image / "control") + "Status: install ok installed\n"});
    for (bool own : {true, false}) {
        SCOPED_TRACE(own ? "this machine's database" : "with a package built here");
        SandboxRun run = installed("swprobe");
        if (own)
            run.host_binds = {"/var/lib/dpkg"};
        else
            run.image = image.path();
        run.timeout_seconds = 60;
        // Packages may be installed meanwhile: the count must hold over the run.
        long count = expected_instances(own ? "/var/lib/dpkg" : db);
        SandboxResult r = run_checked(run);
        ASSERT_GT(count, 0) << "dpkg-query failed";
        EXPECT_EQ(count, expected_instances(own ? "/var/lib/dpkg" : db));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(own, r.out.find("*PKGINST: probes-built-here\nNAME: probes-built-here\n"
                                  "CATEGORY: Unspecified\n") == std::string::npos);
        check_records(r.out, count);
    }
}
