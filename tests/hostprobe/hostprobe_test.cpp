// hostprobe: its own code over sysconf answers of the test's choosing, the
// installed program as the parent collector runs it, and the sandbox.
#include "support.h"

#include <filesystem>
#include <grp.h>
#include <map>
#include <sys/prctl.h>
#include <unistd.h>

int hostprobe_main(int argc, char *argv[]);
static std::map<int, long> answers;

extern "C" long answer_sysconf(int name) noexcept
{
    return answers.at(name);
}

static std::string record(long configured, long online, long page_size, long pages)
{
    return "*node: sysconf\n_SC_NPROCESSORS_CONF: " + std::to_string(configured) +
           "\n_SC_NPROCESSORS_ONLN: " + std::to_string(online) +
           "\n_SC_PAGESIZE: " + std::to_string(page_size) +
           "\n_SC_PHYS_PAGES: " + std::to_string(pages) + "\n";
}

static const std::string host_record =
    record(sysconf(_SC_NPROCESSORS_CONF), sysconf(_SC_NPROCESSORS_ONLN), sysconf(_SC_PAGESIZE),
           sysconf(_SC_PHYS_PAGES));

TEST(Hostprobe, WritesWhatSysconfAnswersAndMinusOneForWhatItCannot)
{
    for (std::vector<long> row : {std::vector<long>{8, 3, 4096, 1000}, {-1, 2, 65536, -1}}) {
        answers = {{_SC_NPROCESSORS_CONF, row[0]},
                   {_SC_NPROCESSORS_ONLN, row[1]},
                   {_SC_PAGESIZE, row[2]},
                   {_SC_PHYS_PAGES, row[3]}};
        ChildOutcome o = in_child([] {
            char arg0[] = "hostprobe", *argv[] = {arg0, nullptr};
            exit(hostprobe_main(1, argv));
        });
        EXPECT_EQ(o.out + o.err, record(row[0], row[1], row[2], row[3]));
        EXPECT_EQ(o.status, 0);
    }
}

TEST(Hostprobe, InstalledProgram)
{
    const std::string invalid = error_record("Invalid command line argument", 5022, 22);
    struct {
        std::vector<std::string> args;
        SandboxOutput out;
        std::string expected;
        int status;
    } cases[] = {
        {{"word", "-x"}, SandboxOutput::capture, host_record, 0},
        {{"-V"}, SandboxOutput::capture, "hostprobe\t1.1\n", 0},
        {{"-VV"}, SandboxOutput::capture, invalid, 1},
        {{}, SandboxOutput::full, "", 1},
        {{"-V"}, SandboxOutput::closed, "", 1},
    };
    for (auto &c : cases) {
        SandboxRun run = installed("hostprobe", c.args);
        run.program = stage_dir() + "/bin/hostprobe";
        run.out = c.out;
        SandboxResult r = run_natively(run);
        EXPECT_EQ(r.setup_error + r.out + r.err, c.expected) << testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(Sandbox, EndsAHungRunLaysTheImageAsRootThenAsUid65534AndLeavesNothingBehind)
{
    SandboxResult hung =
        run_natively({.program = "/bin/sleep", .args = {"9"}, .timeout_seconds = 1});
    EXPECT_EQ(hung.setup_error + " " + std::to_string(hung.status), "timed out after 1 s 142");
    REQUIRE_SANDBOX();
    TempDir image, tmp;
    write_file(image / "var/marker", "from the image\n");
    write_file(image / "usr/lib/probe-overlay", "overlay\n");
    make_link(image / "dev/rdsk/c0t0d0s0", "../../devices/disk");
    for (bool as_user : {false, true}) {
        if (!as_user)
            setenv("TMPDIR", tmp.path().c_str(), 1);
        SandboxRun run = installed("hostprobe");
        run.program = "/bin/sh";
        run.args = {"-c", "id -u; cat /var/marker /usr/lib/probe-overlay; ls /dev /dev/rdsk; "
                          "touch /opt/probes/x 2>&- || echo read-only; /opt/probes/bin/hostprobe"};
        run.image = image.path();
        run.as_user = as_user;
        SandboxResult r = run_checked(run);
        unsetenv("TMPDIR");
        EXPECT_EQ(r.out, (as_user ? "65534" : "0") + std::string("\nfrom the image\noverlay\n") +
                             "/dev:\nfull\nnull\nrdsk\nzero\n\n/dev/rdsk:\nc0t0d0s0\nread-only\n" +
                             host_record);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
        EXPECT_EQ(read_file("/proc/self/mounts").find("probe-sandbox"), std::string::npos);
    }
}

TEST(Sandbox, ServesTheSampleHostToAnOrdinaryUser)
{
    REQUIRE_SANDBOX();
    SandboxRun run = installed("treeprobe");
    run.image = SAMPLE_HOST;
    run.env.push_back("TZ=UTC0");
    SandboxResult as_root = run_checked(run);
    EXPECT_EQ(as_root.out.rfind("*node: Nivex R220\n", 0), 0u) << as_root.out.substr(0, 200);
    // Where root runs the suite, a child drops to an ordinary user first, and
    // owns its /proc/self again as a user's process does.
    ChildOutcome o = in_child([&] {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) || setgid(65534) || setuid(65534) || prctl(PR_SET_DUMPABLE, 1)))
            exit(126);
        SandboxResult r = run_in_sandbox(run);
        (void)fputs((r.setup_error + r.out).c_str(), stdout);
        exit(r.status);
    });
    EXPECT_EQ(o.out, as_root.out);
    EXPECT_EQ(o.status, 0);
}
