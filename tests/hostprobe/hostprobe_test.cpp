// hostprobe's own code over sysconf answers of the test's choosing, and the
// sandbox the end-to-end tests run in.
#include "support.h"

#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

int hostprobe_main(int argc, char *argv[]);
static std::map<int, long> answers;

extern "C" long answer_sysconf(int name) noexcept
{
    return answers.at(name);
}

TEST(Hostprobe, WritesWhatSysconfAnswersAndMinusOneForWhatItCannot)
{
    struct {
        long configured, online, page_size, pages;
        const char *device;   // standard output's, or nullptr for the captured one
        std::string expected; // the output, then the exit status
    } cases[] = {
        {8, 3, 4096, 1000, nullptr,
         "*node: sysconf\n_SC_NPROCESSORS_CONF: 8\n_SC_NPROCESSORS_ONLN: 3\n"
         "_SC_PAGESIZE: 4096\n_SC_PHYS_PAGES: 1000\n0"},
        {-1, 2, 65536, -1, nullptr,
         "*node: sysconf\n_SC_NPROCESSORS_CONF: -1\n_SC_NPROCESSORS_ONLN: 2\n"
         "_SC_PAGESIZE: 65536\n_SC_PHYS_PAGES: -1\n0"},
        {1, 1, 1, 1, "/dev/full", "1"},
    };
    for (auto &c : cases) {
        answers = {{_SC_NPROCESSORS_CONF, c.configured},
                   {_SC_NPROCESSORS_ONLN, c.online},
                   {_SC_PAGESIZE, c.page_size},
                   {_SC_PHYS_PAGES, c.pages}};
        ChildOutcome o = in_child([&] {
            if (c.device != nullptr)
                (void)dup2(open(c.device, O_WRONLY), STDOUT_FILENO);
            char arg0[] = "hostprobe", *argv[] = {arg0, nullptr};
            exit(hostprobe_main(1, argv));
        });
        EXPECT_EQ(o.out + o.err + std::to_string(o.status), c.expected);
    }
}

TEST(Sandbox, EndsAHungRunAndLaysTheImageForRootUid65534AndAnOrdinaryUser)
{
    SandboxResult hung =
        run_natively({.program = "/bin/sleep", .args = {"9"}, .timeout_seconds = 1});
    EXPECT_EQ(hung.setup_error + " " + std::to_string(hung.status), "timed out after 1 s 142");
    REQUIRE_SANDBOX();
    TempDir image, tmp;
    write_file(image / "var/marker", "from the image\n");
    write_file(image / "usr/lib/probe-overlay", "overlay\n");
    make_link(image / "dev/rdsk/c0t0d0s0", "../../devices/disk");
    make_link(image / "usr/lib/liblumo.so", "/opt/probes/lib/liblumo.so");
    write_file(image / "etc/lumo/platform", "node sample-host\nend\n");
    SandboxRun run =
        installed("hostprobe", {"-c", "echo $LANG $(id -u); cat /var/marker "
                                      "/usr/lib/probe-overlay; ls /dev /dev/rdsk; "
                                      "touch /opt/probes/x 2>&- || echo read-only; "
                                      "/opt/probes/bin/hostprobe -V; /opt/probes/bin/treeprobe"});
    run.program = "/bin/sh";
    run.image = image.path();
    const std::string seen = "\nfrom the image\noverlay\n/dev:\nfull\nnull\nrdsk\nzero\n\n"
                             "/dev/rdsk:\nc0t0d0s0\nread-only\nhostprobe\t1.1\n"
                             "*node: sample-host\nnivex-id: 0x10000\nname: sample-host\n";
    setenv("TMPDIR", tmp.path().c_str(), 1);
    EXPECT_EQ(run_checked(run).out, "C 0" + seen);
    unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
    EXPECT_EQ(read_file("/proc/self/mounts").find("probe-sandbox"), std::string::npos);
    // Where root runs the suite, a child drops to an ordinary user first, and
    // owns its /proc/self again as a user's process does.
    ChildOutcome o = in_child([&] {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) || setgid(65534) || setuid(65534) || prctl(PR_SET_DUMPABLE, 1)))
            exit(126);
        SandboxResult r = run_in_sandbox(run);
        (void)fputs((r.setup_error + r.out).c_str(), stdout);
    });
    EXPECT_EQ(o.out, "C 0" + seen);
    run.as_user = true;
    EXPECT_EQ(run_checked(run).out, "C 65534" + seen);
}
