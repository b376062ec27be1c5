// The sandbox the end-to-end tests and probe-sandbox run the installed
// programs in.
#include "support.h"

#include <filesystem>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

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
                             "/dev/rdsk:\nc0t0d0s0\nread-only\nhostprobe\t" PROBES_VERSION "\n"
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
