// swprobe in the sandbox over rpm databases of throwaway roots, holding
// packages that rpmbuild made from the build recipes of rpm.txt.
#include "support.h"

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace
{

void shell(const std::string &command)
{
    EXPECT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
}

// An install date as written at five hours east of UTC.
std::string stamp(time_t when)
{
    when += 5 * 3600;
    struct tm utc;
    char text[64];
    (void)strftime(text, sizeof text, "INSTDATE: %b %d %Y %H:%M", gmtime_r(&when, &utc));
    return text;
}

} // namespace

// The roots, made once for all cases of a run.
class SwprobeSandboxedRpm : public testing::TestWithParam<TestCase>
{
  protected:
    static void SetUpTestSuite()
    {
        if (!sandbox_unavailable_reason().empty() ||
            std::system("command -v rpmbuild >/dev/null") != 0)
            return;
        build = new TempDir;
        roots = new TempDir;
        for (const TestCase &c : read_cases(SWPROBE_RPM_CASES))
            make_tree(build->path(), c.of('+'));
        for (const char *target : {"noarch", "nivex64", "nivex32"})
            // rpmbuild opens a database, in the user's home unless told where.
            shell("cd " + *build / target + " && rpmbuild -bb --define '_topdir " + build->path() +
                  "' --define '_dbpath " + *build / "rpmdb" + "' --target " + target + " *.recipe");
        const std::string rpm = "rpm --dbpath /var/lib/rpm --root " + roots->path();
        // The current place wins over the older one, even when empty.
        shell(rpm + "/empty --dbpath /usr/lib/sysimage/rpm --initdb && " + rpm +
              "/full --initdb && " + rpm + "/broken --initdb");
        before = time(nullptr);
        shell(rpm + "/full -i --justdb --nodeps --ignorearch " + build->path() + "/RPMS/*/*");
        after = time(nullptr);
        shell("cp -a " + *roots / "full/var " + *roots / "empty");
        write_file(*roots / "broken/nolib/librpm.so.9", "not a library\n");
    }
    static void TearDownTestSuite()
    {
        delete build;
        delete roots;
    }
    static TempDir *build, *roots;
    static time_t before, after;
};
TempDir *SwprobeSandboxedRpm::build, *SwprobeSandboxedRpm::roots;
time_t SwprobeSandboxedRpm::before, SwprobeSandboxedRpm::after;

// The cases of rpm.txt.
TEST_P(SwprobeSandboxedRpm, Output)
{
    REQUIRE_SANDBOX();
    if (roots == nullptr)
        end_test("rpmbuild is missing");
    const TestCase &c = GetParam();
    std::string locked = c.setting("locked");
    int held = locked.empty() ? -1 : open((*roots / locked).c_str(), O_RDWR | O_CLOEXEC);
    // The whole file: the database's own locking bytes lie at 1 GiB.
    ASSERT_TRUE(locked.empty() || (held >= 0 && lockf(held, F_TLOCK, 0) == 0)) << locked;
    SandboxRun run = installed("swprobe");
    run.image = *roots / c.setting("image");
    run.env.insert(run.env.end(), {"TZ=XST-5", "LD_LIBRARY_PATH=/nolib"});
    run.timeout_seconds = 20;
    SandboxResult r = run_checked(run);
    (void)close(held);
    for (time_t when : {before, after})
        for (size_t at; (at = r.out.find(stamp(when))) != std::string::npos;)
            r.out.replace(at, stamp(when).size(), "INSTDATE: @");
    EXPECT_EQ(r.out, c.text('>'));
    EXPECT_EQ(r.err, c.text('!'));
    EXPECT_EQ(std::to_string(r.status), c.first('?', "0"));
}
CASE_TESTS(SwprobeSandboxedRpm, SWPROBE_RPM_CASES);
