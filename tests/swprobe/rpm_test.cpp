// swprobe in the sandbox over rpm databases of throwaway roots, holding
// packages that rpmbuild made from build recipes written here.
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

// A package without files; extra adds to the preamble.
std::string recipe(std::string name, std::string version, std::string extra)
{
    return "Name: " + name + "\nVersion: " + version + "\nRelease: 1\nSummary: The " + name +
           "\nLicense: MIT\n" + extra + "\n%description\n" + name +
           " does\n  things.\n\nMore.\n%files\n";
}

// The record of a package made from recipe(); its name leads the instance.
std::string record(std::string instance, std::string version, std::string arch = "noarch",
                   std::string vendor = "<not specified>", std::string basedir = "/",
                   std::string category = "Unspecified", std::string tail = "")
{
    std::string name = instance.substr(0, instance.find_first_of(".-"));
    return "*PKGINST: " + instance + "\nNAME: The " + name + "\nCATEGORY: " + category +
           "\nARCH: " + arch + "\nVERSION: " + version + "\nVENDOR: " + vendor +
           "\nBASEDIR: " + basedir + "\nSTATUS: installed\nDESC: " + name +
           " does things. More.\nINSTDATE: @\n" + tail;
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

TEST(SwprobeSandboxed, RpmDatabases)
{
    REQUIRE_SANDBOX();
    if (std::system("command -v rpmbuild >/dev/null") != 0)
        end_test("rpmbuild is missing");
    TempDir build, full, empty, broken;
    write_file(
        build / "plain.recipe",
        recipe("plain", "1.0", "Group: Tools\nVendor: Acme\nURL: a.test\nPackager: P <p@a.test>"));
    write_file(build / "epoch.recipe", recipe("Epoch", "2.1", "Epoch: 3"));
    write_file(build / "kern1.recipe", recipe("kern", "1.0", ""));
    write_file(build / "kern2.recipe", recipe("kern", "2.0", ""));
    write_file(build / "reloc.recipe", recipe("lib++", "1", "Prefix: /opt/reloc"));
    write_file(build / "lib.recipe", recipe("lib", "1", "Packager: Lee"));
    std::string rpmbuild =
        "cd " + build.path() + " && rpmbuild -bb --define '_topdir " + build.path() + "' --target ";
    shell(rpmbuild + "noarch plain.recipe epoch.recipe kern1.recipe kern2.recipe reloc.recipe");
    shell(rpmbuild + "nivex64 lib.recipe && " + rpmbuild + "nivex32 lib.recipe");
    const std::string rpm = "rpm --dbpath /var/lib/rpm --root ";
    // The current place wins over the older one, even when empty.
    shell(rpm + empty.path() + " --dbpath /usr/lib/sysimage/rpm --initdb && " + rpm + full.path() +
          " --initdb && " + rpm + broken.path() + " --initdb");
    time_t before = time(nullptr);
    shell(rpm + full.path() + " -i --justdb --nodeps --ignorearch " + build.path() + "/RPMS/*/*");
    time_t after = time(nullptr);
    shell("cp -a " + full.path() + "/var " + empty.path());
    write_file(broken / "nolib/librpm.so.9", "not a library\n");

    auto failed = [](std::string what, int number) {
        return error_record("Error from pkginfo: " + what, 5000 + number, number);
    };
    struct {
        const char *name;
        const TempDir &image;
        std::string expected;
        const char *lock_file = nullptr; // held for writing from this process
    } cases[] = {
        {"every kind of package", full,
         record("Epoch", "3:2.1-1") + record("kern-1.0-1.noarch", "1.0-1") +
             record("kern-2.0-1.noarch", "2.0-1") +
             record("lib++", "1-1", "noarch", "<not specified>", "/opt/reloc") +
             record("lib.nivex32", "1-1", "nivex32", "Lee") +
             record("lib.nivex64", "1-1", "nivex64", "Lee") +
             record("plain", "1.0-1", "noarch", "Acme", "/", "Tools",
                    "HOTLINE: a.test\nEMAIL: p@a.test\n")},
        {"empty database", empty, ""},
        {"transaction running", full, failed("Device or resource busy", 16),
         "var/lib/rpm/.rpm.lock"},
        {"database held by a writer", full, failed("Connection timed out", 110),
         "var/lib/rpm/rpmdb.sqlite"},
        {"librpm cannot be loaded", broken, failed("Can not access a needed shared library", 79)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int held = c.lock_file ? open((c.image / c.lock_file).c_str(), O_RDWR | O_CLOEXEC) : -1;
        // The whole file: the database's own locking bytes lie at 1 GiB.
        ASSERT_TRUE(held < 0 || lockf(held, F_TLOCK, 0) == 0) << c.lock_file;
        SandboxRun run = installed("swprobe");
        run.image = c.image.path();
        run.env.insert(run.env.end(), {"TZ=XST-5", "LD_LIBRARY_PATH=/nolib"});
        run.timeout_seconds = 20;
        SandboxResult r = run_checked(run);
        (void)close(held);
        for (time_t when : {before, after})
            for (size_t at; (at = r.out.find(stamp(when))) != std::string::npos;)
                r.out.replace(at, stamp(when).size(), "INSTDATE: @");
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}
