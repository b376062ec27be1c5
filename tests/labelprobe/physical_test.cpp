// Resolution of device links to physical device paths: every failed step,
// its error record, and the working directory afterwards.
#include "collector.h"
#include "labelprobe.h"
#include "support.h"
#include "unit_support.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>

// The program's frame needs these; the unit tests link the frame too.
const char collector_name[] = "labelprobe";
const int collector_output_failure_status = 1;

namespace
{

struct Resolution {
    std::string result; // "(none)" when nothing was returned
    std::string out;    // the error records written
    std::string directory_after;
};

Resolution resolve(const std::string &path)
{
    Resolution r;
    char *found = nullptr;
    r.out = captured_stdout([&] { found = get_physical_name(path.c_str()); });
    r.result = found != nullptr ? found : "(none)";
    free(found);
    r.directory_after = working_directory();
    return r;
}

// The record of a failed step; like the program, cut at 255 characters.
std::string failure(const std::string &message, int error)
{
    return error_record((message + strerror(error)).substr(0, 255), 5000 + error, error);
}

// A folder under the temporary one that is n bytes longer than it, made of
// components of at most 200 bytes.
std::string deep_folder(const std::string &base, size_t n)
{
    std::string path = base;
    while (n > 0) {
        size_t part = n > 201 ? 201 : n;
        path += "/" + std::string(part - 1, 'd');
        n -= part;
    }
    make_dir(path);
    return path;
}
} // namespace

TEST(GetPhysicalName, ResolvesChains)
{
    TempDir t;
    write_file(t / "devices/bus1/disk0:c,raw", "");
    write_file(t / "devices/bus1/disk1", "");
    write_file(t / "devices/bus2/disk2:a:b,raw", "");
    make_dir(t / "devices/bus1/dir:x");
    make_link(t / "rdsk/relative", "../devices/bus1/disk0:c,raw");
    make_link(t / "rdsk/absolute", t / "devices/bus1/disk0:c,raw");
    make_link(t / "rdsk/no-colon", "../devices/bus1/disk1");
    make_link(t / "rdsk/last-colon", "../devices/bus2/disk2:a:b,raw");
    make_link(t / "rdsk/to-dir", "../devices/bus1/dir:x");
    // Two hops: absolute into a folder of links, then relative from there.
    make_link(t / "rdsk/two-hops", t / "links/hop");
    make_link(t / "links/hop", "../devices/bus2/disk2:a:b,raw");
    // A text without "/" names an entry of the folder of the link.
    make_link(t / "rdsk/same-folder", "neighbour");
    make_link(t / "rdsk/neighbour", "../devices/bus1/disk1");
    make_link(t / "links/here", "node:q");
    write_file(t / "links/node:q", "");
    make_link(t / "rdsk/then-here", "../links/here");
    // A text directly under the root: its folder is "/".
    make_link(t / "rdsk/under-root", "/usr");

    struct {
        const char *path;
        std::string result;
    } cases[] = {
        {"rdsk/relative", t / "devices/bus1/disk0"},
        {"rdsk/absolute", t / "devices/bus1/disk0"},
        {"rdsk/no-colon", t / "devices/bus1/disk1"},
        {"rdsk/last-colon", t / "devices/bus2/disk2:a"},
        {"rdsk/to-dir", t / "devices/bus1/dir"},
        {"rdsk/two-hops", t / "devices/bus2/disk2:a"},
        {"rdsk/same-folder", t / "devices/bus1/disk1"},
        {"rdsk/then-here", t / "links/node"},
        {"rdsk/under-root", "//usr"},
    };
    std::string start = working_directory();
    for (const auto &c : cases) {
        Resolution r = resolve(t / c.path);
        EXPECT_EQ(r.result, c.result) << c.path;
        EXPECT_EQ(r.out, "") << c.path;
        EXPECT_EQ(r.directory_after, start) << c.path;
    }
}

TEST(GetPhysicalName, FailedSteps)
{
    TempDir t;
    write_file(t / "rdsk/plain", "");
    make_dir(t / "rdsk/folder");
    make_link(t / "rdsk/dangling", "../devices/missing:a");
    make_link(t / "rdsk/to-dangling", "../links/dangling");
    make_link(t / "links/dangling", "gone");
    make_link(t / "rdsk/loop", "loop");
    write_file(t / "devices/node:a", "");
    // Texts of 1023 bytes fit the buffer with their terminator, 1024 do not.
    std::string padding;
    for (int i = 0; i < 503; i++)
        padding += "./";
    make_link(t / "rdsk/text-1023", padding + "../devices/node:a");
    make_link(t / "rdsk/text-1024", padding + "/../devices/node:a");

    struct {
        std::string path, result, out;
    } cases[] = {
        {t / "rdsk/plain", "(none)", ""},
        {t / "rdsk/folder", "(none)", ""},
        {t / "rdsk/dangling", "(none)", failure("Cannot stat() " + t / "rdsk/dangling - ", ENOENT)},
        // The chain is proved from the entry itself: its own name is named.
        {t / "rdsk/to-dangling", "(none)",
         failure("Cannot stat() " + t / "rdsk/to-dangling - ", ENOENT)},
        {t / "rdsk/loop", "(none)", failure("Cannot stat() " + t / "rdsk/loop - ", ELOOP)},
        {t / "rdsk/missing", "(none)", failure("Cannot stat() " + t / "rdsk/missing - ", ENOENT)},
        {t / "nowhere/c0d0s2", "(none)", failure("Cannot chdir() to " + t / "nowhere - ", ENOENT)},
        {t / "rdsk/plain/c0d0s2", "(none)",
         failure("Cannot chdir() to " + t / "rdsk/plain - ", ENOTDIR)},
        {t / "rdsk/text-1023", t / "devices/node", ""},
        {t / "rdsk/text-1024", "(none)",
         failure("readlink() of " + t / "rdsk/text-1024 failed - ", ENAMETOOLONG)},
        {"/" + std::string(1100, 'n'), "(none)",
         failure("Cannot chdir() to /" + std::string(1100, 'n') + " - ", ENAMETOOLONG)},
    };
    std::string start = working_directory();
    for (const auto &c : cases) {
        Resolution r = resolve(c.path);
        EXPECT_EQ(r.result, c.result) << c.path;
        EXPECT_EQ(r.out, c.out) << c.path;
        EXPECT_EQ(r.directory_after, start) << c.path;
    }
}

TEST(GetPhysicalName, ResolvedPathLongerThanTheBuffer)
{
    TempDir t;
    std::string base = t.path();
    // The node's folder fits the 1024-byte buffer; its path with the node
    // name fits at 1,023 bytes and no longer at 1,024.
    std::string fits = deep_folder(base + "/a", 1015 - (base.size() + 2));
    write_file(fits + "/abcdefg:a", "");
    write_file(fits + "/abcdefgh:a", "");
    make_link(t / "1023", fits.substr(base.size() + 1) + "/abcdefg:a");
    make_link(t / "short", fits.substr(base.size() + 1) + "/abcdefgh:a");
    // The node's folder itself does not fit: reached through two links, as
    // one text could not name it.
    std::string half = deep_folder(base + "/b", 600);
    std::string deeper = deep_folder(half, 600);
    write_file(deeper + "/n:a", "");
    make_link(t / "first", half.substr(base.size() + 1) + "/second");
    make_link(half + "/second", deeper.substr(half.size() + 1) + "/n:a");
    ASSERT_EQ(fits.size(), 1015u);

    std::string start = working_directory();
    Resolution longest = resolve(t / "1023");
    EXPECT_EQ(longest.result, fits + "/abcdefg");
    EXPECT_EQ(longest.out, "");
    for (const char *name : {"short", "first"}) {
        Resolution r = resolve(t / name);
        EXPECT_EQ(r.result, "(none)") << name;
        EXPECT_EQ(r.out, failure("getcwd() failed - ", ENAMETOOLONG)) << name;
        EXPECT_EQ(r.directory_after, start) << name;
    }
}

TEST(GetPhysicalName, WorkingDirectoryThatCannotBeRead)
{
    TempDir t;
    write_file(t / "node:a", "");
    make_link(t / "link", "node:a");
    std::string start = working_directory();

    // Too deep for the buffer that saves it: nothing is changed.
    std::string deep = deep_folder(t.path(), 1100);
    {
        WorkingDirectory in_deep(deep);
        Resolution r = resolve(t / "link");
        EXPECT_EQ(r.result, "(none)");
        EXPECT_EQ(r.out, failure("getcwd() failed - ", ENAMETOOLONG));
        EXPECT_EQ(r.directory_after, deep);
    }

    // Removed while it was the working directory.
    make_dir(t / "removed");
    {
        WorkingDirectory in_removed(t / "removed");
        ASSERT_EQ(rmdir((t / "removed").c_str()), 0);
        struct stat before, after;
        ASSERT_EQ(stat(".", &before), 0);
        Resolution r = resolve(t / "link");
        ASSERT_EQ(stat(".", &after), 0);
        EXPECT_EQ(r.result, "(none)");
        EXPECT_EQ(r.out, failure("getcwd() failed - ", ENOENT));
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
    EXPECT_EQ(working_directory(), start);
}

// The path is still returned when the saved directory cannot be entered
// again. Root may enter any folder, so a child that has dropped to uid 65534
// starts inside a folder whose parent it may not search.
TEST(GetPhysicalName, SavedDirectoryThatCannotBeReentered)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to uid 65534";
    TempDir t;
    ASSERT_EQ(chmod(t.path().c_str(), 0755), 0);
    make_dir(t / "locked/inside", 0755);
    ASSERT_EQ(chmod((t / "locked").c_str(), 0700), 0);
    write_file(t / "devices/disk:a", "");
    make_link(t / "rdsk/c0d0s2", "../devices/disk:a");

    ChildOutcome child = in_child([&] {
        if (chdir((t / "locked/inside").c_str()) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        char *found = get_physical_name((t / "rdsk/c0d0s2").c_str());
        (void)printf("result: %s\n", found != nullptr ? found : "(none)");
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, failure("Cannot chdir() to " + t / "locked/inside - ", EACCES) +
                             "result: " + t / "devices/disk" + "\n");
}

TEST(AllocString, CopiesIntoZeroFilledMemory)
{
    char *empty = alloc_string(nullptr);
    EXPECT_STREQ(empty, "");
    free(empty);
    const char text[] = "/bus1/disk0";
    char *copy = alloc_string(text);
    EXPECT_STREQ(copy, text);
    EXPECT_NE(copy, text);
    free(copy);
}

// Running out of memory ends the program with status 1 after its record.
// The sanitizers' allocator ends the process itself on such a request.
TEST(Zalloc, OutOfMemoryEndsTheProgram)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator does not return null";
#endif
    ChildOutcome child = in_child([] { (void)zalloc(SIZE_MAX / 2); });
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out, failure("Unable to calloc() more space: ", ENOMEM));
}
