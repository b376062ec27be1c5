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

// The cases of rpm.txt (read_cases()).
TEST(SwprobeSandboxed, RpmDatabases)
{
    REQUIRE_SANDBOX();
    if (std::system("command -v rpmbuild >/dev/null") != 0)
        end_test("rpmbuild is missing (.ci/install-deps check installs it)");
    TempDir build, roots;
    const std::vector<TestCase> cases = read_cases(SWPROBE_RPM_CASES);
    for (const TestCase &c : cases)
        make_tree(build.path(), c.of('+'));
    for (const char *target : {"noarch", "nivex64", "nivex32"})
        // rpmbuild opens a database, in the user's home unless told where.
        shell("cd " + build / target + " && rpmbuild -bb --define '_topdir " + build.path() +
              "' --define '_dbpath " + build / "rpmdb" + "' --target " + target + " *.recipe");
    const std::string rpm = "rpm --dbpath /var/lib/rpm --root " + roots.path();
    // The current place wins over the older one, even when empty.
    shell(rpm + "/empty --dbpath /usr/lib/sysimage/rpm --initdb && " + rpm + "/full --initdb && " +
          rpm + "/broken --initdb");
    time_t before = time(nullptr);
    shell(rpm + "/full -i --justdb --nodeps --ignorearch " + build.path() + "/RPMS/*/*");
    time_t after = time(nullptr);
    shell("cp -a " + roots / "full/var " + roots / "empty");
    write_file(roots / "broken/nolib/librpm.so.9", "not a library\n");

    for (const TestCase &c : cases) {
        SCOPED_TRACE(c.name);
        int held =
            c.of('!').empty() ? -1 : open((roots / c.of('!')[0]).c_str(), O_RDWR | O_CLOEXEC);
        // The whole file: the database's own locking bytes lie at 1 GiB.
        ASSERT_TRUE(held < 0 || lockf(held, F_TLOCK, 0) == 0) << c.text('!');
        SandboxRun run = installed("swprobe");
        run.image = roots / c.of('=')[0];
        run.env.insert(run.env.end(), {"TZ=XST-5", "LD_LIBRARY_PATH=/nolib"});
        run.timeout_seconds = 20;
        SandboxResult r = run_checked(run);
        (void)close(held);
        for (time_t when : {before, after})
            for (size_t at; (at = r.out.find(stamp(when))) != std::string::npos;)
                r.out.replace(at, stamp(when).size(), "INSTDATE: @");
        EXPECT_EQ(r.out, c.text('>'));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}
