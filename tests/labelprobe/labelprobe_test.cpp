// labelprobe as the parent collector runs it: the installed program in the
// sandbox over a host image with /dev/rdsk links into /devices, where label
// images stand for the raw devices.
#include "label_image.h"
#include "support.h"

#include <cerrno>
#include <cstring>

namespace
{

// A host-image folder; paths are given as they appear in the sandbox.
class HostImage
{
  public:
    HostImage()
    {
        make_dir(dir_ / "dev/rdsk");
    }
    std::string path() const
    {
        return dir_.path();
    }
    void file(const std::string &path, const std::string &content)
    {
        write_file(dir_.path() + path, content);
    }
    void folder(const std::string &path)
    {
        make_dir(dir_.path() + path);
    }
    void link(const std::string &path, const std::string &target)
    {
        make_link(dir_.path() + path, target);
    }
    // A disk as the system lays it out: eight slice links and five fdisk
    // partition links, each to its own minor node of one device.
    void disk(const std::string &name, const std::string &device, const std::string &label)
    {
        for (char slice = '0'; slice <= '7'; slice++) {
            std::string minor = std::string(1, static_cast<char>('a' + slice - '0'));
            file("/devices" + device + ":" + minor + ",raw", label_image(label));
            link("/dev/rdsk/" + name + "s" + slice,
                 "../../devices" + device + ":" + minor + ",raw");
        }
        for (char partition = '0'; partition <= '4'; partition++) {
            std::string minor = std::string("q") + partition;
            file("/devices" + device + ":" + minor + ",raw", label_image("fdisk"));
            link("/dev/rdsk/" + name + "p" + partition,
                 "../../devices" + device + ":" + minor + ",raw");
        }
    }

  private:
    TempDir dir_;
};

SandboxResult run_over(const HostImage &image, std::vector<std::string> args = {},
                       bool as_user = false)
{
    SandboxRun run = installed("labelprobe", std::move(args));
    run.image = image.path();
    run.as_user = as_user;
    SandboxResult r = run_checked(run);
    EXPECT_EQ(r.err, "");
    return r;
}

std::string disk_record(const std::string &node, const std::string &path, const std::string &label)
{
    return "*node: " + node + "\ndevfs-path: " + path + "\nascii-label: " + label + "\n";
}

std::string system_error(int id, int error)
{
    return error_record(strerror(error), id, error);
}

} // namespace

TEST(Labelprobe, OneRecordPerDisk)
{
    REQUIRE_SANDBOX();
    HostImage image;
    image.disk("c0t0d0", "/bus0/disk0", "disk 0, 16 GiB");
    SandboxResult r = run_over(image);
    EXPECT_EQ(r.out, disk_record("c0t0d0", "/bus0/disk0", "disk 0, 16 GiB"));
    EXPECT_EQ(r.status, 0);
}

TEST(Labelprobe, DisksOfManyShapes)
{
    REQUIRE_SANDBOX();
    HostImage image;
    image.disk("c1t5000ABCD01d0", "/bus1/wide5000abcd01", "wide target");
    // A device node that is no link has no physical path.
    image.file("/dev/rdsk/c2d0s2", label_image("plain node"));
    // A device that cannot be opened gives nothing at all.
    image.link("/dev/rdsk/c3d0s2", "../../devices/bus3/gone:c,raw");
    // Absolute texts, a chain of two, and the "/devices" test on 8 bytes.
    image.file("/devices/bus4/disk:c,raw", label_image("absolute"));
    image.link("/dev/rdsk/c4d0s2", "/devices/bus4/disk:c,raw");
    image.link("/dev/rdsk/c5d0s2", "../../links/c5");
    image.link("/links/c5", "/devices/bus4/disk:c,raw");
    image.file("/devicesX/node:c", label_image("devicesX"));
    image.link("/dev/rdsk/c6d0s2", "/devicesX/node:c");
    image.file("/elsewhere/disk", label_image("outside"));
    image.link("/dev/rdsk/c7d0s2", "../../elsewhere/disk");
    // Only slice 2 makes a disk record.
    image.file("/dev/rdsk/c8d0s20", label_image("s20"));
    image.file("/dev/rdsk/c8d0s02", label_image("s02"));
    image.file("/dev/rdsk/C9d0s2", label_image("capital"));
    image.link("/dev/rdsk/c9d0s3", "C9d0s2");

    SandboxResult r = run_over(image);
    ParsedOutput parsed = parse_records(r.out);
    EXPECT_TRUE(parsed.problems.empty()) << testing::PrintToString(parsed.problems);
    std::map<std::string, std::pair<std::string, std::string>> found;
    for (const Record &record : parsed.records) {
        ASSERT_EQ(record.lines.size(), 2u) << record.value;
        EXPECT_EQ(record.lines[0].first, "devfs-path");
        EXPECT_EQ(record.lines[1].first, "ascii-label");
        found[record.value] = {record.lines[0].second, record.lines[1].second};
    }
    std::map<std::string, std::pair<std::string, std::string>> expected = {
        {"c1t5000ABCD01d0", {"/bus1/wide5000abcd01", "wide target"}},
        {"c2d0", {"", "plain node"}},
        {"c4d0", {"/bus4/disk", "absolute"}},
        {"c5d0", {"/bus4/disk", "absolute"}},
        {"c6d0", {"X/node", "devicesX"}},
        {"c7d0", {"/elsewhere/disk", "outside"}},
        {"C9d0s2", {"", "capital"}},
    };
    EXPECT_EQ(found, expected);
    EXPECT_EQ(parsed.records.size(), expected.size());
    EXPECT_EQ(r.status, 0);
}

TEST(Labelprobe, FirstPassReportsLinksToTheWholeDisk)
{
    REQUIRE_SANDBOX();
    HostImage image;
    image.disk("c0t0d0", "/bus0/disk0", "disk zero");
    image.link("/dev/rdsk/boot", "c0t0d0s2");
    image.link("/dev/rdsk/swap", "/dev/rdsk/c0t0d0s1");
    SandboxResult r = run_over(image);
    EXPECT_EQ(r.out, disk_record("boot", "/bus0/disk0", "disk zero") +
                         disk_record("c0t0d0", "/bus0/disk0", "disk zero"));
    EXPECT_EQ(r.status, 0);
}

TEST(Labelprobe, LabelThatFillsAll128Bytes)
{
    REQUIRE_SANDBOX();
    HostImage image;
    std::string label(128, 'L');
    label.replace(0, 6, "label ");
    image.file("/dev/rdsk/c0d0s2", label_image(label));
    SandboxResult r = run_over(image);
    EXPECT_EQ(r.out, disk_record("c0d0", "", label));
    EXPECT_EQ(r.status, 0);
}

TEST(Labelprobe, LabelsThatCannotBeRead)
{
    REQUIRE_SANDBOX();
    std::string bad_checksum = label_image("bad");
    bad_checksum[511] = static_cast<char>(bad_checksum[511] ^ 0x40);
    struct {
        const char *name;
        std::string content; // "" makes a folder
        std::string error;
        int first_pass_status, second_pass_status;
        std::string second_pass_error; // when the passes differ
    } cases[] = {
        {"folder", "", system_error(5005, EIO), 2, 1, ""},
        {"bad checksum", bad_checksum, system_error(5022, EINVAL), 2, 1, ""},
        {"short", label_image("short").substr(0, 300), system_error(5022, EINVAL), 2, 1, ""},
        {"efi", efi_image(), error_record("Unknown error", 5203, -5), 2, 1,
         error_record("Unknown error", 5203, 0)},
    };
    for (const auto &c : cases) {
        for (bool first_pass : {true, false}) {
            SCOPED_TRACE(std::string(c.name) +
                         (first_pass ? " in the first pass" : " in the second"));
            HostImage image;
            // A first-pass record before a second-pass failure stays.
            image.file("/dev/rdsk/good", label_image("good"));
            std::string device = first_pass ? "/devices/bus/odd" : "/devices/bus/disk:c,raw";
            if (c.content.empty())
                image.folder(device);
            else
                image.file(device, c.content);
            image.link(first_pass ? "/dev/rdsk/odd" : "/dev/rdsk/c0d0s2", "../.." + device);
            SandboxResult r = run_over(image);
            std::string error = c.error;
            if (!first_pass && !c.second_pass_error.empty())
                error = c.second_pass_error;
            if (first_pass) {
                // Directory order decides whether "good" came first.
                std::string good = disk_record("good", "", "good");
                EXPECT_TRUE(r.out == error || r.out == good + error) << r.out;
                EXPECT_EQ(r.status, c.first_pass_status);
            } else {
                EXPECT_EQ(r.out, disk_record("good", "", "good") + error);
                EXPECT_EQ(r.status, c.second_pass_status);
            }
        }
    }
}

TEST(Labelprobe, PathFailuresStandInsideTheRecord)
{
    REQUIRE_SANDBOX();
    HostImage image;
    image.file("/devices/bus/disk:c,raw", label_image("long way"));
    // A text of 1,024 bytes does not fit the link buffer; the device itself
    // opens, as the system follows the link.
    std::string text;
    for (int i = 0; i < 497; i++)
        text += "./";
    text += "//../../devices/bus/disk:c,raw";
    ASSERT_EQ(text.size(), 1024u);
    image.link("/dev/rdsk/c0d0s2", text);
    SandboxResult r = run_over(image);
    EXPECT_EQ(r.out, "*node: c0d0\n" +
                         error_record("readlink() of /dev/rdsk/c0d0s2 failed - " +
                                          std::string(strerror(ENAMETOOLONG)),
                                      5000 + ENAMETOOLONG, ENAMETOOLONG) +
                         "devfs-path: \nascii-label: long way\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Labelprobe, DirectoryOfDisks)
{
    REQUIRE_SANDBOX();
    HostImage empty;
    SandboxResult r = run_over(empty);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);

    HostImage no_dev;
    SandboxRun run = installed("labelprobe");
    TempDir bare;
    run.image = bare.path();
    r = run_checked(run);
    EXPECT_EQ(r.out, error_record("Cannot change directory to /dev/rdsk", 5000 + ENOENT, ENOENT));
    EXPECT_EQ(r.status, 1);

    TempDir file_image;
    write_file(file_image / "dev/rdsk", "not a folder");
    run.image = file_image.path();
    r = run_checked(run);
    EXPECT_EQ(r.out, error_record("Cannot change directory to /dev/rdsk", 5000 + ENOTDIR, ENOTDIR));
    EXPECT_EQ(r.status, 1);
}

TEST(Labelprobe, SuperUserOnly)
{
    REQUIRE_SANDBOX();
    HostImage image;
    image.disk("c0t0d0", "/bus0/disk0", "disk zero");
    struct {
        std::vector<std::string> args;
        bool as_user;
        std::string out;
        int status;
    } cases[] = {
        {{}, true, system_error(5013, EACCES), 1},
        {{"-V"}, true, "labelprobe\t1.1\n", 0},
        {{"-V"}, false, "labelprobe\t1.1\n", 0},
        {{"-V", "-V"}, true, error_record("Invalid command line argument", 5022, 22), 1},
        {{"operand", "-V"}, false, disk_record("c0t0d0", "/bus0/disk0", "disk zero"), 0},
    };
    for (const auto &c : cases) {
        SandboxResult r = run_over(image, c.args, c.as_user);
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args) << " as user " << c.as_user;
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(Labelprobe, LostOutputIsAFailure)
{
    REQUIRE_SANDBOX();
    HostImage image;
    image.disk("c0t0d0", "/bus0/disk0", "disk zero");
    SandboxRun run = installed("labelprobe");
    run.image = image.path();
    run.out = SandboxOutput::full;
    SandboxResult r = run_checked(run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
}
