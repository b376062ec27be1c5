// The name grammar, canonical disk names, and the walk that tells a link to
// a whole-disk slice from one to another slice.
#include "labelprobe.h"
#include "support.h"

#include <cstring>
#include <unistd.h>

TEST(NameGrammar, MatchersAndCanonicalNames)
{
    // Name, then what conventional_name, whole_disk_name and
    // fdisk_physical_name return, then what canonicalize_name makes of it.
    const char *cases[] = {
        "c0t0d0s2 110 c0t0d0",
        "c0d0s2 110 c0d0",
        "c1t5000ABCD01d0s2 110 c1t5000ABCD01d0",
        "cds2 110 cd",
        "c0t0d0s0 100 c0t0d0",
        "c0t0d0s10 100 c0t0d0s10",
        "c0t0d0s20 100 c0t0d0s20",
        "c0t0d0s02 100 c0t0d0s02",
        "c0t0d0s 100 c0t0d0s",
        "c0t0d0p0 001 c0t0d0p0",
        "c0t0d0 000 c0t0d0",
        "c1t5000abcd01d0s2 000 c1t5000abcd01d0",
        "c0tGd0s2 000 c0tGd0",
        "c0t0d0s2x 000 c0t0d0s2x",
        "C0t0d0s2 000 ",
        "xc0d0s2 000 c0d0",
        "c\xb0t0d0s2 000 c\xb0t0d0",
        "c0t0d0s\xb2 000 c0t0d0",
        "cs2 000 c",
        "c 000 c",
        " 000 ",
    };
    for (const char *c : cases) {
        std::string name = std::string(c).substr(0, strchr(c, ' ') - c);
        char canonical[64];
        memset(canonical, '#', sizeof canonical);
        canonicalize_name(canonical, name.c_str());
        std::string got = name + " " + std::to_string(conventional_name(name.c_str())) +
                          std::to_string(whole_disk_name(name.c_str())) +
                          std::to_string(fdisk_physical_name(name.c_str())) + " " + canonical;
        EXPECT_EQ(got, c);
    }
}

TEST(NameRepresentsWholedisk, Chains)
{
    TempDir rdsk;
    make_link(rdsk / "to-s2", "c0t0d0s2");
    make_link(rdsk / "to-s3", "c0t0d0s3");
    make_link(rdsk / "to-rdsk-s3", "/dev/rdsk/c0t0d0s3");
    write_file(rdsk / "c0t0d0s3", "");
    // "../rdsk/" is not stripped: the chain behind it, here a plain file, decides.
    make_link(rdsk / "dotdot", "../rdsk/c0t0d0s3");
    make_link(rdsk / "dangling", "nowhere");
    make_link(rdsk / "self", "self");
    // The next link is looked up from the working directory, not from the
    // folder of the link that named it.
    make_link(rdsk / "into-sub", "sub/relative");
    make_link(rdsk / "sub/relative", "elsewhere");
    make_link(rdsk / "elsewhere", "c1d1s4");
    // chain1 -> chain2 -> ... -> chain41 -> c0d0s5: from chain2 the walk
    // reads 40 links, from chain1 41, one more than it follows.
    for (int i = 1; i <= 41; i++)
        make_link(rdsk / ("chain" + std::to_string(i)),
                  i < 41 ? "chain" + std::to_string(i + 1) : "c0d0s5");
    // 1,023 bytes fit the buffer with their terminator, 1,024 do not.
    std::string fits = "/dev/rdsk/c0d0s" + std::string(1008, '3');
    make_link(rdsk / "fits", fits);
    make_link(rdsk / "too-long", fits + "3");

    struct {
        const char *name;
        int result;
    } cases[] = {
        {"to-s2", 0},   {"to-s3", 1},    {"to-rdsk-s3", 1}, {"dotdot", 0},   {"c0t0d0s3", 0},
        {"missing", 0}, {"dangling", 0}, {"self", 0},       {"into-sub", 1}, {"chain2", 1},
        {"chain1", 0},  {"fits", 1},     {"too-long", 0},
    };
    std::string expected;
    for (const auto &c : cases)
        expected += std::string(c.name) + " " + std::to_string(c.result) + "\n";
    // In a child, so the change of directory cannot outlive the test.
    ChildOutcome child = in_child([&] {
        if (chdir(rdsk.path().c_str()) != 0)
            _exit(3);
        for (const auto &c : cases)
            (void)printf("%s %d\n", c.name, name_represents_wholedisk(c.name));
    });
    EXPECT_EQ(child.out, expected);
}
