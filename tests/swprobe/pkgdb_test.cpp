// The package database readers of the administration library, over package
// folders and dpkg databases laid out in temporary folders.
#include "pkgdb.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>

namespace
{

bool allocations_fail = false;

// Every step of a fresh enumeration up to ESRCH (3), "INSTANCE|STATUS" or
// "errno N", at most most steps. The enumeration stays open.
std::string enumerate(const adm::Roots &roots, int most = 20)
{
    adm::end_enumeration(nullptr);
    std::string steps;
    struct pkginfo info = {};
    for (int step = 0; step < most && !steps.ends_with("errno 3"); step++)
        steps += (step > 0 ? "; " : "") +
                 (adm::next_package(roots, &info) == 0
                      ? std::string(info.pkginst) + "|" + std::to_string(info.status)
                      : "errno " + std::to_string(errno));
    return steps;
}

const char listed[] = "Status: install ok installed\nArchitecture: all\n";

} // namespace

void *operator new(size_t size)
{
    void *memory = allocations_fail ? nullptr : std::malloc(size > 0 ? size : 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}
// The sort's scratch room comes from the form that does not throw.
void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    return allocations_fail ? nullptr : std::malloc(size > 0 ? size : 1);
}
void operator delete(void *memory) noexcept
{
    std::free(memory);
}
void operator delete(void *memory, size_t) noexcept
{
    std::free(memory);
}

// swprobe ends its list at the first failure; other callers may go on.
TEST(Database, AFailedInstanceIsPassedOver)
{
    TempDir dir;
    make_tree(dir.path(),
              {"pkg/A/pkginfo=", "pkg/B/pkginfo|", "pkg/C>A", "pkg/D/pkginfo>../A/pkginfo",
               "pkg/E/pkginfo#1048577", "pkg/F/pkginfo="});
    EXPECT_EQ(enumerate({dir / "pkg", dir / "dpkg"}),
              "A|0; errno 22; errno 40; errno 40; errno 27; F|0; errno 3");
}

// Not only each file of the journal has a cap, the journal as a whole has.
TEST(Database, TheJournalIsCappedAsAWhole)
{
    TempDir dir;
    const std::string b = "Package: b\n" + std::string(listed);
    make_tree(dir.path(), {"dpkg/status=Package: a\n" + std::string(listed), "dpkg/updates/01=" + b,
                           "dpkg/updates/2=" + b, "dpkg/updates/x=" + b + b});
    EXPECT_EQ(enumerate({dir / "none", dir / "dpkg", {}, 2 * b.size()}), "a|0; b|0; errno 3");
    EXPECT_TRUE(
        enumerate({dir / "none", dir / "dpkg", {}, 2 * b.size() - 1}).starts_with("errno 27;"));
}

// Each file of a database read whole up to its cap, all holes here: one of
// exactly the cap is read, one a byte longer refused (EFBIG, 27).
struct CappedFile {
    std::string name, entry;
    size_t cap;
    std::string read, refused; // how the enumeration starts at the cap and a byte past it
};
void PrintTo(const CappedFile &file, std::ostream *out)
{
    *out << file.entry;
}

class CappedFiles : public testing::TestWithParam<CappedFile>
{
};

TEST_P(CappedFiles, ReadUpToTheCapExactly)
{
    const CappedFile &file = GetParam();
    for (size_t size : {file.cap, file.cap + 1}) {
        TempDir dir;
        make_tree(dir.path(), {"dpkg/status=Package: a\n" + std::string(listed),
                               file.entry + "#" + std::to_string(size)});
        const std::string &expected = size == file.cap ? file.read : file.refused;
        EXPECT_EQ(enumerate({dir / "pkg", dir / "dpkg"}).substr(0, expected.size()), expected)
            << size << " bytes";
    }
}
INSTANTIATE_TEST_SUITE_P(, CappedFiles,
                         testing::Values(CappedFile{"pkginfo", "pkg/A/pkginfo", adm::pkginfo_cap,
                                                    "A|0; errno 3", "errno 27; errno 3"},
                                         CappedFile{"dpkg_status", "dpkg/status", adm::status_cap,
                                                    "errno 3", "errno 27; errno 27"},
                                         CappedFile{"dpkg_journal_file", "dpkg/updates/01",
                                                    adm::journal_file_cap, "a|0; errno 3",
                                                    "errno 27; errno 27"}),
                         [](const auto &info) { return info.param.name; });

TEST(Database, Lookups)
{
    // The readers keep their enumeration in the library's state.
    adm::end_enumeration(nullptr);
    // Installation times are local times.
    (void)setenv("TZ", "XST-2", 1);
    tzset();
    TempDir dir;
    make_tree(dir.path(),
              {"pkg/ORLOa/pkginfo=DESC=as is\nEMAIL=\n",
               "pkg/ORLOb/pkginfo=#" + std::string(9000, 'x') + "\nNAME=b\n",
               "pkg/.hidden/pkginfo=DESC=hidden\n", "pkg/pkginfo=DESC=outside\n",
               "dpkg/status=Package: a\nMulti-Arch: same\n" + std::string(listed) +
                   "\nPackage: a\nArchitecture: i386\nMulti-Arch: same\n" + listed +
                   "\nPackage: old\nMulti-Arch: same\n" + listed + "\nPackage: plain\n" + listed,
               "dpkg/info/a:all.list=", "dpkg/info/a.list=", "dpkg/info/old.list=",
               "dpkg/info/plain.list="});
    struct timespec times[2] = {{1709296496, 0}, {1709296496, 0}}; // Mar 01 2024 12:34:56 UTC
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "dpkg/info/a:all.list").c_str(), times, 0), 0);
    adm::Roots folder = {dir / "pkg", dir / "none"}, dpkg = {dir / "none", dir / "dpkg"};
    // "INSTANCE PARAM=VALUE", or "INSTANCE PARAM" for none.
    auto look_up = [](const adm::Roots &roots, const std::vector<std::string> &lookups) {
        for (const std::string &lookup : lookups) {
            size_t blank = lookup.find(' '), equals = std::min(lookup.find('='), lookup.size());
            std::string instance = lookup.substr(0, blank);
            std::string param = lookup.substr(blank + 1, equals - blank - 1);
            const char *found = adm::find_param(roots, instance.c_str(), param.c_str());
            EXPECT_EQ(found ? "=" + std::string(found) : "", lookup.substr(equals)) << lookup;
        }
    };
    look_up(folder, {"ORLOa DESC=as is", "ORLOa HOTLINE", "ORLOb NAME=b", "ORLOz DESC",
                     ".hidden DESC", " DESC", "ORLOa/.. DESC"});
    look_up(dpkg, {"a:all INSTDATE=Mar 01 2024 14:34", "a:i386 INSTDATE", "a VERSION",
                   "old INSTDATE", "plain BASEDIR=/", "missing BASEDIR"});
    EXPECT_NE(adm::find_param(dpkg, "plain", "INSTDATE"), nullptr);
    EXPECT_EQ(adm::find_param(folder, nullptr, "DESC"), nullptr);
    EXPECT_EQ(adm::find_param(folder, "ORLOa", nullptr), nullptr);

    // The package just delivered is not read again. Parameter strings outlive
    // the next step and record strings the lookups: the sanitizer build
    // checks that they are still there.
    struct pkginfo info = {};
    ASSERT_EQ(adm::next_package(folder, &info), 0);
    make_tree(dir.path(), {"pkg/ORLOa/pkginfo=DESC=changed\n"});
    EXPECT_STREQ(adm::find_param(folder, "ORLOb", "NAME"), "b");
    const char *desc = adm::find_param(folder, "ORLOa", "DESC");
    ASSERT_EQ(adm::next_package(folder, &info), 0);
    EXPECT_STREQ(info.pkginst, "ORLOb");
    EXPECT_STREQ(desc, "as is");
    adm::end_lookups();
    adm::end_enumeration(&info);
    EXPECT_EQ(info.pkginst, nullptr);
    // Outside an enumeration a lookup reads the file as it is now, and the
    // dpkg status file once per enumeration.
    EXPECT_STREQ(adm::find_param(folder, "ORLOa", "DESC"), "changed");
    EXPECT_EQ(enumerate(dpkg), "a:all|0; a:i386|0; old|0; plain|0; errno 3");
    make_tree(dir.path(), {"dpkg/status=Package: c\n" + std::string(listed)});
    EXPECT_STREQ(adm::find_param(dpkg, "plain", "BASEDIR"), "/");
    adm::end_enumeration(nullptr);
    EXPECT_STREQ(adm::find_param(dpkg, "c", "BASEDIR"), "/");
}

// The install dates are looked up by a thread ahead of the packages and by
// the lookup that comes to a package first: each is its own list's, whichever
// side took it, in order and out of it.
TEST(Database, EveryInstallDateIsItsOwnLists)
{
    adm::end_enumeration(nullptr);
    (void)setenv("TZ", "UTC0", 1);
    tzset();
    constexpr int packages = 3000;
    auto name = [](int i) {
        char text[16];
        (void)snprintf(text, sizeof text, "p%04d", i);
        return std::string(text);
    };
    std::string status;
    std::vector<std::string> entries;
    for (int i = 0; i < packages; i++) {
        status += "Package: " + name(i) + "\n" + listed + "\n";
        entries.push_back("dpkg/info/" + name(i) + ".list=");
    }
    entries.push_back("dpkg/status=" + status);
    TempDir dir;
    make_tree(dir.path(), entries);
    auto written = [](int i) { return time_t{1709296440} + 60 * time_t{i}; };
    for (int i = 0; i < packages; i++) {
        struct timespec times[2] = {{written(i), 0}, {written(i), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / ("dpkg/info/" + name(i) + ".list")).c_str(), times, 0),
                  0);
    }
    auto date = [&](int i) {
        time_t when = written(i);
        struct tm utc;
        char text[32];
        return std::string(text,
                           strftime(text, sizeof text, "%b %d %Y %H:%M", gmtime_r(&when, &utc)));
    };
    adm::Roots dpkg = {dir / "none", dir / "dpkg"};
    struct pkginfo info = {};
    ASSERT_EQ(adm::next_package(dpkg, &info), 0);
    for (int i = packages - 1; i >= packages / 2; i--) {
        const char *found = adm::find_param(dpkg, name(i).c_str(), "INSTDATE");
        ASSERT_NE(found, nullptr) << name(i);
        EXPECT_EQ(found, date(i)) << name(i);
    }
    for (int i = 0; i < packages; i++) {
        EXPECT_EQ(info.pkginst, name(i));
        const char *found = adm::find_param(dpkg, info.pkginst, "INSTDATE");
        ASSERT_NE(found, nullptr) << name(i);
        EXPECT_EQ(found, date(i)) << name(i);
        adm::end_lookups();
        ASSERT_EQ(adm::next_package(dpkg, &info), i + 1 < packages ? 0 : -1) << name(i);
    }
    adm::end_enumeration(&info);
}

// The locks are looked up by a thread ahead of the instances: each status is
// its own folder's, wherever the locks are.
TEST(Database, EveryLockIsItsOwnInstances)
{
    adm::end_enumeration(nullptr);
    constexpr int instances = 2000;
    auto name = [](int i) {
        char text[16];
        (void)snprintf(text, sizeof text, "ORLO%04d", i);
        return std::string(text);
    };
    auto locked = [](int i) { return i % 7 == 3 || i % 11 == 5; };
    std::vector<std::string> entries;
    for (int i = 0; i < instances; i++) {
        entries.push_back("pkg/" + name(i) + "/pkginfo=NAME=" + name(i) + "\n");
        if (i % 7 == 3)
            entries.push_back("pkg/" + name(i) + "/!I-Lock!=");
        if (i % 11 == 5)
            entries.push_back("pkg/" + name(i) + "/!R-Lock!=");
        if (i % 13 == 0)
            entries.push_back("pkg/" + name(i) + "/!X-Lock!=");
    }
    TempDir dir;
    make_tree(dir.path(), entries);
    std::string expected, steps = enumerate({dir / "pkg", dir / "none"}, instances + 1);
    for (int i = 0; i < instances; i++)
        expected += name(i) + "|" + (locked(i) ? "1" : "0") + "; ";
    EXPECT_EQ(steps, expected + "errno 3");
    adm::end_enumeration(nullptr);
}

TEST(PackageFunctions, RefuseASelection)
{
    struct pkginfo info = {};
    char all[] = "all", one[] = "ORLOa", arch[] = "nivex64";
    for (int result : {pkginfo(&info, one, nullptr, nullptr), pkginfo(&info, all, arch, nullptr),
                       pkginfo(&info, all, nullptr, arch), pkginfo(nullptr, all, nullptr, nullptr)})
        EXPECT_TRUE(result == -1 && errno == EINVAL);
}

// What a lookup in the instance just delivered answers was read with it, so
// it needs no memory: no parameter goes missing for want of it.
TEST(PackageFunctions, LookupsInTheDeliveredInstanceNeedNoMemory)
{
    struct pkginfo info = {};
    char all[] = "all", name[] = "NAME", version[] = "VERSION";
    if (pkginfo(&info, all, nullptr, nullptr) != 0)
        end_test("this machine has no package database to enumerate");
    allocations_fail = true;
    const char *found[] = {pkgparam(info.pkginst, name), pkgparam(info.pkginst, version)};
    allocations_fail = false;
    EXPECT_STREQ(found[0], info.name);
    EXPECT_STREQ(found[1], info.version);
    (void)pkgparam(nullptr, nullptr);
    (void)pkginfo(&info, nullptr);
}
