// hostprobe as the parent collector runs it: the installed program, output
// compared byte for byte, exit status checked.
#include "support.h"

#include <filesystem>
#include <unistd.h>

namespace
{

std::string expected_record()
{
    std::string record = "*node: sysconf\n";
    record += "_SC_NPROCESSORS_CONF: " + std::to_string(sysconf(_SC_NPROCESSORS_CONF)) + "\n";
    record += "_SC_NPROCESSORS_ONLN: " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + "\n";
    record += "_SC_PAGESIZE: " + std::to_string(sysconf(_SC_PAGESIZE)) + "\n";
    record += "_SC_PHYS_PAGES: " + std::to_string(sysconf(_SC_PHYS_PAGES)) + "\n";
    return record;
}

SandboxRun native(std::vector<std::string> args = {})
{
    SandboxRun run = installed("hostprobe", std::move(args));
    run.program = stage_dir() + "/bin/hostprobe";
    return run;
}

const std::string invalid = error_record("Invalid command line argument", 5022, 22);

} // namespace

TEST(Hostprobe, CommandLines)
{
    struct {
        std::vector<std::string> args;
        std::string out;
        bool diagnostic;
        int status;
    } cases[] = {
        {{}, expected_record(), false, 0},
        {{"word"}, expected_record(), false, 0},
        {{"word", "-x"}, expected_record(), false, 0},
        {{"--", "-x"}, expected_record(), false, 0},
        {{"-V"}, "hostprobe\t1.1\n", false, 0},
        {{"-V", "-V"}, invalid, false, 1},
        {{"-VV"}, invalid, false, 1},
        {{"-x"}, invalid, true, 1},
        {{"-V", "-x"}, invalid, true, 1},
    };
    for (auto &c : cases) {
        SandboxResult r = run_natively(native(c.args));
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(r.setup_error, "");
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.empty(), !c.diagnostic) << r.err;
    }
}

TEST(Hostprobe, RecordIsWellFormed)
{
    SandboxResult r = run_natively(native());
    ParsedOutput parsed = parse_records(r.out);
    EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
    ASSERT_EQ(parsed.records.size(), 1u);
    EXPECT_EQ(parsed.records[0].lines.size(), 4u);
    for (const auto &[key, value] : parsed.records[0].lines)
        EXPECT_GT(std::stol(value), 0) << key;
}

TEST(Hostprobe, LostOutputIsAFailure)
{
    for (SandboxOutput mode : {SandboxOutput::full, SandboxOutput::closed}) {
        for (auto args : {std::vector<std::string>{}, {"-V"}}) {
            SandboxRun run = native(args);
            run.out = mode;
            SandboxResult r = run_natively(run);
            EXPECT_EQ(r.setup_error, "");
            EXPECT_EQ(r.status, 1) << testing::PrintToString(args);
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(HostprobeSandboxed, WritesTheSameRecordAsRootAndAsAnOrdinaryUser)
{
    REQUIRE_SANDBOX();
    for (bool as_user : {false, true}) {
        SandboxRun run = installed("hostprobe");
        run.as_user = as_user;
        SandboxResult r = run_checked(run);
        EXPECT_EQ(r.out, expected_record()) << "as_user " << as_user;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(HostprobeSandboxed, RunsAsUid65534AndSeesTheImage)
{
    REQUIRE_SANDBOX();
    TempDir image;
    write_file(image / "var/marker", "from the image\n");
    write_file(image / "usr/lib/probe-overlay", "overlay\n");
    SandboxRun run = installed("hostprobe");
    run.program = "/bin/sh";
    run.args = {"-c", "id -u; cat /var/marker /usr/lib/probe-overlay; ls /dev; "
                      "test -x /opt/probes/bin/hostprobe && echo installed"};
    run.image = image.path();
    run.as_user = true;
    SandboxResult r = run_checked(run);
    EXPECT_EQ(r.out, "65534\nfrom the image\noverlay\nfull\nnull\nzero\ninstalled\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(HostprobeSandboxed, LeavesNothingBehind)
{
    REQUIRE_SANDBOX();
    TempDir tmp;
    SandboxRun run = installed("hostprobe");
    run.env.push_back("TMPDIR=" + tmp.path());
    setenv("TMPDIR", tmp.path().c_str(), 1);
    SandboxResult r = run_checked(run);
    unsetenv("TMPDIR");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file("/proc/self/mounts").find("probe-sandbox"), std::string::npos);
    std::string listing;
    for (const auto &entry : std::filesystem::directory_iterator(tmp.path()))
        listing += entry.path().string() + "\n";
    EXPECT_EQ(listing, "");
}
