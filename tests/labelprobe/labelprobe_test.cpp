// labelprobe as the parent collector runs it, over host images in the
// sandbox; then the parts no image can reach.
#include "labelprobe.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

int mklabel(const std::vector<std::string> &args)
{
    SandboxRun run = installed("mklabel", args);
    run.program = stage_dir() + "/bin/mklabel";
    return run_natively(run).status;
}

// Lays out entries "PATH OP[TEXT]", OP being '=' a label of TEXT, '!' the
// same with its first byte changed, 'e' a label of the kind not read, '>' a
// link to TEXT, '/' a folder, '|' a FIFO and 's' a socket.
void build(const TempDir &image, const std::vector<std::string> &entries)
{
    for (const std::string &entry : entries) {
        size_t space = entry.find(' ');
        std::string path = image / entry.substr(0, space), text = entry.substr(space + 2);
        char op = entry[space + 1];
        if (op == '>')
            make_link(path, text);
        else
            make_dir(op == '/' ? path : path.substr(0, path.rfind('/')));
        // A disk of two sectors: mklabel writes the first, leaves the second.
        if (op == '=' || op == '!')
            write_file(path, std::string(1024, 'z'));
        bool made = op == '|' || op == 's'
                        ? mknod(path.c_str(), (op == '|' ? S_IFIFO : S_IFSOCK) | 0644, 0) == 0
                        : op != 'e' || mklabel({"-e", path}) == 0;
        if (op == '=' || op == '!')
            made = mklabel({path, text}) == (text.size() <= 128 ? 0 : 2) &&
                   read_file(path).substr(512) == std::string(512, 'z');
        if (op == '!')
            write_file(path, "?" + read_file(path).substr(1));
        EXPECT_TRUE(made) << entry;
    }
}

// Within a pass records come in directory order, so they are compared as a set.
std::multiset<std::string> records(const std::string &out)
{
    std::multiset<std::string> found;
    for (size_t start = 0, next; start < out.size(); start = next) {
        next = std::min(out.find("\n*node: ", start), out.size() - 1) + 1;
        found.insert(out.substr(start, next - start));
    }
    return found;
}

// A failed path's error records stand between its node and path lines.
std::string disk(std::string node, std::string path, std::string text, std::string errors = "")
{
    return "*node: " + node + "\n" + errors + "devfs-path: " + path + "\nascii-label: " + text +
           "\n";
}

std::string failure(const std::string &message, int error, int id = 0)
{
    return error_record(message + strerror(error), id ? id : 5000 + error, error);
}

// A host image, labelprobe's records over it (compared as a set) and its
// exit status.
struct ImageCase {
    std::string name;
    std::vector<std::string> image;
    std::string out;
    int status = 0;
    std::vector<std::string> args = {};
    bool as_user = false;
    SandboxOutput output = SandboxOutput::capture;
};
void PrintTo(const ImageCase &c, std::ostream *out)
{
    *out << c.name;
}

std::vector<ImageCase> image_cases()
{
    // More disks than the label reader is asked ahead, by count and by the
    // bytes of their names, the first pass's mixed with the second's.
    std::vector<std::string> many;
    std::string many_out;
    for (int i = 0; i < 150; i++) {
        std::string n = std::to_string(i),
                    name = i % 3 ? "c" + n + "d0" : std::string(200, 'x') + n;
        many.push_back("dev/rdsk/" + name + (i % 3 ? "s2" : "") + " =" + n);
        many_out += disk(name, "", n);
    }
    // More whole-disk names than the first pass keeps (128 KiB of them): the
    // rest are read again, each disk still once.
    std::vector<std::string> long_names;
    std::string long_names_out;
    for (int i = 0; i < 700; i++) {
        std::string n = std::to_string(i), name = "c" + std::string(200, '0') + n + "d0";
        long_names.push_back("dev/rdsk/" + name + "s2 =" + n);
        long_names_out += disk(name, "", n);
    }
    // far: the path below /devices that makes "/devices/far/abcdefg" 1,023 bytes long.
    const std::string node = "../../devices/bus0/disk0:c,raw", full(128, 'L'),
                      far = std::string(250, 'a') + "/" + std::string(250, 'b') + "/" +
                            std::string(250, 'c') + "/" + std::string(253, 'd'),
                      too_long = failure("getcwd() failed - ", ENAMETOOLONG),
                      good = disk("good", "", "good"), with_good = "dev/rdsk/good =good";
    return {
        {"slices, partitions, links and plain nodes",
         {"devices/bus0/disk0:c,raw =zero", "dev/rdsk/c0t0d0s1 >" + node,
          "dev/rdsk/c0t0d0s2 >" + node, "dev/rdsk/c0t0d0p0 >" + node, "dev/rdsk/boot >c0t0d0s2",
          "dev/rdsk/swap >/dev/rdsk/c0t0d0s1", "dev/rdsk/c1d0s2 =" + full, "dev/rdsk/c2d0s2 >gone",
          "devicesX/node:c =X", "dev/rdsk/c3d0s2 >/devicesX/node:c",
          "devices/d2:a:b,raw =2:", "dev/rdsk/c4d0s2 >" + std::string(1000, '/') + node.substr(6),
          "top =top", "dev/rdsk/c5d0s2 >/devices/d2:a:b,raw", "dev/rdsk/c6t0d0s2 >/top"},
         disk("boot", "/bus0/disk0", "zero") + disk("c0t0d0", "/bus0/disk0", "zero") +
             disk("c1d0", "", full) + disk("c3d0", "X/node", "X") +
             disk("c4d0", "", "zero",
                  failure("readlink() of /dev/rdsk/c4d0s2 failed - ", ENAMETOOLONG)) +
             disk("c5d0", "/d2:a", "2:") + disk("c6t0d0", "//top", "top")},
        // Reached through a link to a folder, as one link text could not name it.
        {"paths of 1,023 and 1,024 bytes, a folder beyond",
         {"devices/s >" + far, "devices/" + far + "/abcdefg:a =1023",
          "devices/" + far + "/abcdefgh:a =1024",
          "devices/" + far + "/" + far.substr(0, 9) + "/n:a =deep",
          "dev/rdsk/c0d0s2 >/devices/s/abcdefg:a", "dev/rdsk/c1d0s2 >/devices/s/abcdefgh:a",
          "dev/rdsk/c2d0s2 >/devices/s/" + far.substr(0, 9) + "/n:a"},
         disk("c0d0", "/" + far + "/abcdefg", "1023") + disk("c1d0", "", "1024", too_long) +
             disk("c2d0", "", "deep", too_long)},
        {"FIFO (whose open would block), link chain to a FIFO, socket, folder",
         {"dev/rdsk/fifo |", "devices/fifo:c |", "dev/rdsk/chain >../../devices/fifo:c",
          "dev/rdsk/c0d0s2 >chain", "dev/rdsk/socket s", "dev/rdsk/c1d0s2 /", with_good},
         good},
        {"a character device is read", {"dev/rdsk/null >/dev/null"}, failure("", EINVAL, 5022), 2},
        {"forged records and control bytes",
         {"dev/rdsk/c0d0s2 =data disk\n*node: c9t9d9\ndevfs-path: /forged\nascii-label: forged",
          "dev/rdsk/a\tb\nc\rd =\t\x01\x1f\x7f\r\xff é", "dev/rdsk/c1d0s2 >../../devices/a\tb\n:c",
          "devices/a\tb\n:c =x"},
         disk("c0d0", "", "data disk\\n*node: c9t9d9\\ndevfs-path: /forged\\nascii-label: forged") +
             disk("a\tb\\nc\\rd", "", "\\x09\\x01\\x1f\\x7f\\r\xff é") +
             disk("c1d0", "/a\tb\\n", "x")},
        {"efi, pass 1", {"dev/rdsk/odd e"}, error_record("Unknown error", 5203, -5), 2},
        {"efi, pass 2",
         {"dev/rdsk/c0d0s2 e", with_good},
         good + error_record("Unknown error", 5203, 0),
         1},
        {"bad label, first pass", {"dev/rdsk/odd !bad"}, failure("", EINVAL, 5022), 2},
        {"read error, second pass", {"dev/rdsk/c0d0s2 >/proc/self/mem"}, failure("", EIO, 5005), 1},
        {"more disks than are read ahead", many, many_out},
        {"more whole-disk names than are kept", long_names, long_names_out},
        {"no disks; mklabel refuses 129 bytes", {"dev/rdsk /", "spare =" + full + "L"}, ""},
        {"no /dev/rdsk", {}, error_record("Cannot change directory to /dev/rdsk", 5002, 2), 1},
        {"not root", {"dev/rdsk/c0d0s2 =x"}, failure("", EACCES, 5013), 1, {}, true},
        {"version", {"dev/rdsk/c0d0s2 =x"}, "labelprobe\t1.1\n", 0, {"-V"}, true},
        {"output lost", {"dev/rdsk/c0d0s2 =x"}, "", 1, {}, false, SandboxOutput::full},
    };
}

} // namespace

class LabelprobeImages : public testing::TestWithParam<ImageCase>
{
};

TEST_P(LabelprobeImages, Output)
{
    REQUIRE_SANDBOX();
    const ImageCase &c = GetParam();
    TempDir image;
    build(image, c.image);
    SandboxRun run = installed("labelprobe", c.args);
    run.image = image.path();
    run.as_user = c.as_user;
    run.out = c.output;
    run.timeout_seconds = 5;
    if (!within_reach(run, c.name))
        return;
    SandboxResult r = run_checked(run);
    EXPECT_EQ(records(r.out + r.err), records(c.out));
    EXPECT_EQ(r.status, c.status);
}
INSTANTIATE_TEST_SUITE_P(, LabelprobeImages, testing::ValuesIn(image_cases()),
                         [](const testing::TestParamInfo<ImageCase> &info) {
                             std::set<std::string> taken;
                             return unique_id(info.param.name, taken);
                         });

// Entries whose open or label read does not return, in labelprobe-stalling:
// each is given up after the deadline, named in an error record that ends
// the run with its pass's status, the records before it written.
TEST(Labelprobe, NoEntryHoldsTheRunPastItsDeadline)
{
    REQUIRE_SANDBOX();
    const std::string good = disk("good", "", "good"),
                      cannot_read = "Cannot read label of /dev/rdsk/c0d0s2 - ";
    struct {
        const char *name;
        std::vector<std::string> image;
        std::string out;
        int status;
        int kill_after_seconds = 0;
    } cases[] = {
        {"swapped for a FIFO after its check, second pass",
         {"dev/rdsk/good =good", "dev/rdsk/c0d0s2 >/tmp/swapped-disk"},
         good + failure(cannot_read, ETIMEDOUT),
         1},
        {"swapped for a FIFO after its check, first pass",
         {"dev/rdsk/swapped >/tmp/swapped-disk", "dev/rdsk/c0d0s2 =good"},
         failure("Cannot read label of /dev/rdsk/swapped - ", ETIMEDOUT),
         2},
        {"a disk that never answers",
         {"dev/rdsk/good =good", "dev/rdsk/c0d0s2 =hang"},
         good + failure(cannot_read, ETIMEDOUT),
         1},
        {"a reader that ends",
         {"dev/rdsk/good =good", "dev/rdsk/c0d0s2 =die"},
         good + failure(cannot_read, EIO),
         1},
        // Killed by its parent while it waits: what it wrote has reached the parent.
        {"killed while a disk does not answer",
         {"dev/rdsk/good =good", "dev/rdsk/c0d0s2 =hang"},
         good,
         128 + SIGALRM,
         4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir image;
        build(image, c.image);
        SandboxRun run = installed("labelprobe");
        run.program = STALLING_LABELPROBE;
        run.host_binds = {BUILD_DIR};
        run.image = image.path();
        run.timeout_seconds = c.kill_after_seconds != 0 ? c.kill_after_seconds : 60;
        SandboxResult r = c.kill_after_seconds != 0 ? run_in_sandbox(run) : run_checked(run);
        EXPECT_EQ(r.out + r.err, c.out);
        EXPECT_EQ(r.status, c.status);
    }
}

// Running out of memory must be seen under the address sanitizer too.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

TEST(Labelprobe, PartsNoImageReaches)
{
    TempDir t;
    // l1 -> ... -> l41 -> c0d0s5: from l2 the walk reads 40 links, from l1 41,
    // one more than it follows; link texts of 1,023 bytes fit its buffer, 1,024 not.
    for (int i = 1; i <= 41; i++)
        make_link(t / ("l" + std::to_string(i)), i < 41 ? "l" + std::to_string(i + 1) : "c0d0s5");
    build(t, {"fits >/dev/rdsk/c0d0s" + std::string(1008, '3'),
              "too-long >/dev/rdsk/c0d0s" + std::string(1009, '3'), "dangling >nowhere",
              "hop >sub/node:a", "sub/node:a =x"});
    // In a child, so a change of directory cannot outlive the test. The
    // walks run last: they fail where the working directory was left moved.
    ChildOutcome child = in_child([&] {
        if (chdir(t.path().c_str()) != 0)
            _exit(3);
        (void)printf("%s ", get_physical_name("hop", false));
        (void)get_physical_name("dangling", false);
        for (const char *name : {"l1", "l2", "fits", "too-long"})
            (void)printf("%d", name_represents_wholedisk(name));
        (void)zalloc(SIZE_MAX / 2);
    });
    EXPECT_EQ(child.out, t / "sub/node " + failure("Cannot stat() dangling - ", ENOENT) + "0110" +
                             failure("Unable to calloc() more space: ", ENOMEM));
    EXPECT_EQ(child.status, 1);
}
