// Resolution of device links to physical device paths: every failed step,
// its error record, and the working directory afterwards.
#include "collector.h"
#include "labelprobe.h"
#include "support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// The program's frame needs these; the unit tests link the frame too.
const char collector_name[] = "labelprobe";
const int collector_output_failure_status = 1;

namespace
{

enum class Then { stay, remove_it, become_nobody };

// What get_physical_name wrote, then "= " and what it returned, with
// " moved" when the call left the working directory elsewhere. It runs in a
// child that first enters start, if given, so no change outlives the test.
std::string resolve(const std::string &path, const std::string &start = "", Then then = Then::stay)
{
    return in_child([&] {
               struct stat before, after;
               if ((!start.empty() && chdir(start.c_str()) != 0) ||
                   (then == Then::remove_it && rmdir(start.c_str()) != 0) ||
                   (then == Then::become_nobody && (setgid(65534) != 0 || setuid(65534) != 0)) ||
                   stat(".", &before) != 0)
                   _exit(3);
               char *found = get_physical_name(path.c_str());
               bool moved = stat(".", &after) != 0 || after.st_ino != before.st_ino ||
                            after.st_dev != before.st_dev;
               (void)printf("= %s%s\n", found != nullptr ? found : "(none)", moved ? " moved" : "");
           })
        .out;
}

const std::string none = "= (none)\n";

std::string found(const std::string &path)
{
    return "= " + path + "\n";
}

// The record of a failed step; like the program, cut at 255 characters.
std::string failure(const std::string &message, int error)
{
    return error_record((message + strerror(error)).substr(0, 255), 5000 + error, error);
}

// A folder n bytes longer than base, made of components of at most 200 bytes.
std::string deep_folder(const std::string &base, size_t n)
{
    std::string path = base;
    for (; n > 0; n -= std::min<size_t>(n, 201))
        path += "/" + std::string(std::min<size_t>(n, 201) - 1, 'd');
    make_dir(path);
    return path;
}

} // namespace

TEST(GetPhysicalName, Chains)
{
    TempDir t;
    write_file(t / "devices/bus1/disk1", "");
    write_file(t / "devices/bus2/disk2:a:b,raw", "");
    make_link(t / "rdsk/no-colon", "../devices/bus1/disk1");
    // Absolute into a folder of links, then relative from there.
    make_link(t / "rdsk/two-hops", t / "links/hop");
    make_link(t / "links/hop", "../devices/bus2/disk2:a:b,raw");
    // A text without "/" names an entry of the folder of the link just read.
    make_link(t / "rdsk/then-here", "../links/here");
    make_link(t / "links/here", "node:q");
    write_file(t / "links/node:q", "");
    make_link(t / "rdsk/under-root", "/usr");
    write_file(t / "rdsk/plain", "");
    make_link(t / "rdsk/dangling", "../devices/missing:a");
    make_link(t / "rdsk/loop", "loop");
    // Link texts of 1,023 bytes fit the buffer with their terminator, 1,024 do not.
    std::string padding;
    for (int i = 0; i < 503; i++)
        padding += "./";
    write_file(t / "devices/node:a", "");
    make_link(t / "rdsk/text-1023", padding + "../devices/node:a");
    make_link(t / "rdsk/text-1024", padding + "/../devices/node:a");
    std::string too_long = "/" + std::string(1100, 'n');

    struct {
        std::string path, out;
    } cases[] = {
        {t / "rdsk/no-colon", found(t / "devices/bus1/disk1")},
        {t / "rdsk/two-hops", found(t / "devices/bus2/disk2:a")},
        {t / "rdsk/then-here", found(t / "links/node")},
        {t / "rdsk/under-root", found("//usr")},
        {t / "rdsk/text-1023", found(t / "devices/node")},
        {t / "rdsk/plain", none},
        {t / "rdsk/dangling", failure("Cannot stat() " + t / "rdsk/dangling - ", ENOENT) + none},
        {t / "rdsk/loop", failure("Cannot stat() " + t / "rdsk/loop - ", ELOOP) + none},
        {t / "nowhere/c0d0s2", failure("Cannot chdir() to " + t / "nowhere - ", ENOENT) + none},
        {t / "rdsk/text-1024",
         failure("readlink() of " + t / "rdsk/text-1024 failed - ", ENAMETOOLONG) + none},
        {too_long, failure("Cannot chdir() to " + too_long + " - ", ENAMETOOLONG) + none},
    };
    for (const auto &c : cases)
        EXPECT_EQ(resolve(c.path), c.out) << c.path;
}

TEST(GetPhysicalName, LongPathsAndLostDirectories)
{
    TempDir t;
    std::string base = t.path();
    // The node's folder fits the 1,024-byte buffer; with the node name the
    // path fits at 1,023 bytes and no longer at 1,024.
    std::string fits = deep_folder(base + "/a", 1015 - (base.size() + 2));
    write_file(fits + "/abcdefg:a", "");
    write_file(fits + "/abcdefgh:a", "");
    make_link(t / "1023", fits.substr(base.size() + 1) + "/abcdefg:a");
    make_link(t / "1024", fits.substr(base.size() + 1) + "/abcdefgh:a");
    // The node's folder itself does not fit: reached through two links, as
    // one text could not name it.
    std::string half = deep_folder(base + "/b", 600);
    std::string deeper = deep_folder(half, 600);
    write_file(deeper + "/n:a", "");
    make_link(t / "deep", half.substr(base.size() + 1) + "/second");
    make_link(half + "/second", deeper.substr(half.size() + 1) + "/n:a");

    EXPECT_EQ(resolve(t / "1023"), found(fits + "/abcdefg"));
    std::string too_long = failure("getcwd() failed - ", ENAMETOOLONG) + none;
    EXPECT_EQ(resolve(t / "1024"), too_long);
    EXPECT_EQ(resolve(t / "deep"), too_long);
    // A working directory that cannot be saved is left as it is.
    EXPECT_EQ(resolve(t / "1023", deep_folder(base, 1100)), too_long);
    make_dir(t / "removed");
    EXPECT_EQ(resolve(t / "1023", t / "removed", Then::remove_it),
              failure("getcwd() failed - ", ENOENT) + none);

    // The path is still returned when the saved directory cannot be entered
    // again. Root may enter any folder, so the child drops to uid 65534 and
    // starts inside a folder whose parent it may not search.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to uid 65534";
    ASSERT_EQ(chmod(base.c_str(), 0755), 0);
    make_dir(t / "locked/inside", 0755);
    ASSERT_EQ(chmod((t / "locked").c_str(), 0700), 0);
    EXPECT_EQ(resolve(t / "1023", t / "locked/inside", Then::become_nobody),
              failure("Cannot chdir() to " + t / "locked/inside - ", EACCES) +
                  found(fits + "/abcdefg moved"));
}

TEST(Allocation, EmptyStringAndOutOfMemory)
{
    char *empty = alloc_string(nullptr);
    EXPECT_STREQ(empty, "");
    free(empty);
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator ends the process itself";
#endif
    ChildOutcome child = in_child([] { (void)zalloc(SIZE_MAX / 2); });
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out, failure("Unable to calloc() more space: ", ENOMEM));
}
