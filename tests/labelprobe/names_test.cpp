// The name grammar, canonical disk names, and the walk that tells a link to
// a whole-disk slice from one to another slice.
#include "labelprobe.h"
#include "support.h"

#include "unit_support.h"

#include <cstring>

TEST(NameGrammar, Matchers)
{
    struct {
        const char *name;
        int conventional, whole_disk, fdisk;
    } cases[] = {
        {"c0t0d0s2", 1, 1, 0},
        {"c0d0s2", 1, 1, 0},
        {"c1t5000ABCD01d0s2", 1, 1, 0},
        {"c1t5000abcd01d0s2", 0, 0, 0},
        {"c0t0d0s0", 1, 0, 0},
        {"c0t0d0s10", 1, 0, 0},
        {"c0t0d0s20", 1, 0, 0},
        {"c0t0d0p0", 0, 0, 1},
        {"c0t0d0", 0, 0, 0},
        {"c0t0d0s", 1, 0, 0},
        {"cds2", 1, 1, 0},
        {"c0t0d0s2x", 0, 0, 0},
        {"C0t0d0s2", 0, 0, 0},
        {"c0t0d0s02", 1, 0, 0},
        {"c12t34d56p78", 0, 0, 1},
        {"c0t0d0p", 0, 0, 1},
        {"c0t0d0p2x", 0, 0, 0},
        {"c0tGd0s2", 0, 0, 0},
        {"c0t0d0S2", 0, 0, 0},
        {"xc0t0d0s2", 0, 0, 0},
        {"c\xb0t0d0s2", 0, 0, 0},
        {"c0t\xc1"
         "d0s2",
         0, 0, 0},
        {"c0t0d0s\xb2", 0, 0, 0},
        {"", 0, 0, 0},
        {"c", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(conventional_name(c.name), c.conventional);
        EXPECT_EQ(whole_disk_name(c.name), c.whole_disk);
        EXPECT_EQ(fdisk_physical_name(c.name), c.fdisk);
    }
}

TEST(NameGrammar, CanonicalNames)
{
    struct {
        const char *name, *canonical;
    } cases[] = {
        {"c0t0d0s2", "c0t0d0"},
        {"xc0d0s2", "c0d0"},
        {"c0t0d0s10", "c0t0d0s10"},
        {"disk", ""},
        {"", ""},
        {"c", "c"},
        {"cs", "cs"},
        {"cs2", "c"},
        {"abcs9", "c"},
        {"c0t0d0p0", "c0t0d0p0"},
        {"c1d1s", "c1d1s"},
        {"dcs", "cs"},
    };
    for (const auto &c : cases) {
        char out[64];
        memset(out, '#', sizeof out);
        canonicalize_name(out, c.name);
        EXPECT_STREQ(out, c.canonical) << c.name;
    }
}

TEST(NameRepresentsWholedisk, FollowsLinksFromTheWorkingDirectory)
{
    TempDir top;
    make_link(top / "rdsk/to-s2", "c0t0d0s2");
    make_link(top / "rdsk/to-s3", "c0t0d0s3");
    make_link(top / "rdsk/to-rdsk-s3", "/dev/rdsk/c0t0d0s3");
    make_link(top / "rdsk/to-rdsk-s2", "/dev/rdsk/c0t0d0s2");
    make_link(top / "rdsk/to-s20", "c0t0d0s20");
    write_file(top / "rdsk/plain", "");
    make_link(top / "rdsk/to-plain", "plain");
    make_link(top / "rdsk/dangling", "nowhere");
    make_link(top / "rdsk/loop-a", "loop-b");
    make_link(top / "rdsk/loop-b", "loop-a");
    make_link(top / "rdsk/self", "self");
    // Two hops through other names before a slice name is met.
    make_link(top / "rdsk/hop1", "hop2");
    make_link(top / "rdsk/hop2", "/dev/rdsk/c3d0s7");
    make_link(top / "rdsk/hop-to-s2", "hop3");
    make_link(top / "rdsk/hop3", "c3d0s2");
    // A text that is no slice name is read as a link of its own, relative
    // to the working directory. "../rdsk/" is not stripped like
    // "/dev/rdsk/": the chain behind it decides.
    make_dir(top / "rdsk/sub");
    make_link(top / "rdsk/sub/inner", "c9d9s3");
    make_link(top / "rdsk/up-to-inner", "sub/inner");
    make_link(top / "rdsk/c0t0d0s3", "c0t0d0s5");
    write_file(top / "rdsk/c0t0d0s4", "");
    make_link(top / "rdsk/dotdot", "../rdsk/c0t0d0s3");
    make_link(top / "rdsk/dotdot-to-node", "../rdsk/c0t0d0s4");
    // The next link is looked up from the working directory, not from the
    // folder of the link that named it.
    make_link(top / "rdsk/sub/relative", "elsewhere");
    make_link(top / "rdsk/elsewhere", "c1d1s4");
    make_link(top / "rdsk/into-sub", "sub/relative");
    make_link(top / "rdsk/long", std::string(1023, 'x'));
    make_link(top / "rdsk/fdisk", "c0t0d0p3");

    struct {
        const char *name;
        int result;
    } cases[] = {
        {"to-s2", 0},     {"to-s3", 1},       {"to-rdsk-s3", 1}, {"to-rdsk-s2", 0},
        {"to-s20", 1},    {"plain", 0},       {"to-plain", 0},   {"dangling", 0},
        {"missing", 0},   {"loop-a", 0},      {"self", 0},       {"hop1", 1},
        {"hop-to-s2", 0}, {"up-to-inner", 1}, {"dotdot", 1},     {"into-sub", 1},
        {"long", 0},      {"fdisk", 0},       {"c0t0d0s3", 1},   {"dotdot-to-node", 0},
        {"c0t0d0s4", 0},
    };
    WorkingDirectory in_rdsk(top / "rdsk");
    for (const auto &c : cases)
        EXPECT_EQ(name_represents_wholedisk(c.name), c.result) << c.name;
}

TEST(NameRepresentsWholedisk, FollowsFortyLinksAtMost)
{
    TempDir rdsk;
    // link1 -> link2 -> ... -> linkN, whose text is a slice name: N links read.
    auto chain = [&](int length, const std::string &prefix) {
        for (int i = 1; i < length; i++)
            make_link(rdsk / (prefix + std::to_string(i)), prefix + std::to_string(i + 1));
        make_link(rdsk / (prefix + std::to_string(length)), "c0d0s5");
    };
    chain(40, "forty");
    chain(41, "fortyone");
    WorkingDirectory in_rdsk(rdsk.path());
    EXPECT_EQ(name_represents_wholedisk("forty1"), 1);
    EXPECT_EQ(name_represents_wholedisk("fortyone1"), 0);
    EXPECT_EQ(name_represents_wholedisk("fortyone2"), 1);
}

TEST(NameRepresentsWholedisk, LinkTextOfTheBufferSizeEndsTheWalk)
{
    TempDir rdsk;
    // Both texts name a slice other than slice 2; 1023 bytes fit the buffer
    // with their terminator, 1024 do not and end the walk.
    std::string fits = "/dev/rdsk/c0d0s" + std::string(1008, '3');
    std::string too_long = fits + "3";
    ASSERT_EQ(fits.size(), 1023u);
    make_link(rdsk / "fits", fits);
    make_link(rdsk / "too-long", too_long);
    make_link(rdsk / "to-too-long", "too-long");
    WorkingDirectory in_rdsk(rdsk.path());
    EXPECT_EQ(name_represents_wholedisk("fits"), 1);
    EXPECT_EQ(name_represents_wholedisk("too-long"), 0);
    EXPECT_EQ(name_represents_wholedisk("to-too-long"), 0);
}
