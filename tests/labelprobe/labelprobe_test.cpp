// labelprobe as the parent collector runs it: the installed program in the
// sandbox over a host image with /dev/rdsk links into /devices, where label
// images stand for the raw devices.
#include "label_image.h"
#include "support.h"

#include <cerrno>
#include <cstring>

namespace
{

// A disk as the system lays it out: eight slice links and five fdisk
// partition links, each to its own minor node of one device.
void add_disk(const TempDir &image, const std::string &name, const std::string &device,
              const std::string &label)
{
    for (int i = 0; i < 13; i++) {
        std::string part = i < 8 ? "s" + std::to_string(i) : "p" + std::to_string(i - 8);
        std::string node = "devices" + device + ":" + part + ",raw";
        write_file(image / node, label_image(label));
        make_link(image / ("dev/rdsk/" + name + part), "../../" + node);
    }
}

SandboxResult run_over(const TempDir &image, std::vector<std::string> args = {},
                       bool as_user = false, SandboxOutput out = SandboxOutput::capture)
{
    SandboxRun run = installed("labelprobe", std::move(args));
    run.image = image.path();
    run.as_user = as_user;
    run.out = out;
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

TEST(Labelprobe, Records)
{
    REQUIRE_SANDBOX();
    TempDir image;
    add_disk(image, "c0t0d0", "/bus0/disk0", "disk zero");
    // First pass: a link to the whole-disk slice is reported by its own
    // name, a link to another slice is not.
    make_link(image / "dev/rdsk/boot", "c0t0d0s2");
    make_link(image / "dev/rdsk/swap", "/dev/rdsk/c0t0d0s1");
    // A device node that is no link has no physical path.
    std::string full(128, 'L');
    write_file(image / "dev/rdsk/c1d0s2", label_image(full));
    // A device that cannot be opened gives nothing at all.
    make_link(image / "dev/rdsk/c2d0s2", "../../devices/bus2/gone:c,raw");
    // "/devices" is cut as 8 bytes, not as a folder.
    write_file(image / "devicesX/node:c", label_image("devicesX"));
    make_link(image / "dev/rdsk/c3d0s2", "/devicesX/node:c");
    // A link text of 1,024 bytes does not fit the buffer: its record stands
    // between the node and path lines. The system still follows it.
    std::string text;
    for (int i = 0; i < 496; i++)
        text += "./";
    make_link(image / "dev/rdsk/c4d0s2", text + "/../../devices/bus0/disk0:s2,raw");

    SandboxResult r = run_over(image);
    // Within a pass, records come in directory order.
    std::string records[] = {
        disk_record("boot", "/bus0/disk0", "disk zero"),
        disk_record("c0t0d0", "/bus0/disk0", "disk zero"),
        disk_record("c1d0", "", full),
        disk_record("c3d0", "X/node", "devicesX"),
        "*node: c4d0\n" +
            error_record("readlink() of /dev/rdsk/c4d0s2 failed - " +
                             std::string(strerror(ENAMETOOLONG)),
                         5000 + ENAMETOOLONG, ENAMETOOLONG) +
            "devfs-path: \nascii-label: disk zero\n",
    };
    EXPECT_EQ(r.out.find(records[0]), 0u) << r.out;
    size_t size = 0;
    for (const std::string &record : records) {
        EXPECT_NE(r.out.find(record), std::string::npos) << record;
        size += record.size();
    }
    EXPECT_EQ(r.out.size(), size) << r.out;
    EXPECT_EQ(r.status, 0);
}

TEST(Labelprobe, LabelsThatCannotBeRead)
{
    REQUIRE_SANDBOX();
    struct {
        const char *name;
        std::string content; // "" makes a folder
        std::string first_pass_error, second_pass_error;
    } cases[] = {
        {"folder", "", system_error(5005, EIO), system_error(5005, EIO)},
        {"bad checksum", label_image("bad").substr(0, 511) + "?", system_error(5022, EINVAL),
         system_error(5022, EINVAL)},
        {"efi", efi_image(), error_record("Unknown error", 5203, -5),
         error_record("Unknown error", 5203, 0)},
    };
    for (const auto &c : cases) {
        for (bool first_pass : {true, false}) {
            SCOPED_TRACE(std::string(c.name) +
                         (first_pass ? " in the first pass" : " in the second"));
            TempDir image;
            if (c.content.empty())
                make_dir(image / "devices/disk:c,raw");
            else
                write_file(image / "devices/disk:c,raw", c.content);
            make_link(image / (first_pass ? "dev/rdsk/odd" : "dev/rdsk/c0d0s2"),
                      "../../devices/disk:c,raw");
            // Records written before the failure stay.
            std::string before;
            if (!first_pass) {
                write_file(image / "dev/rdsk/good", label_image("good"));
                before = disk_record("good", "", "good");
            }
            SandboxResult r = run_over(image);
            EXPECT_EQ(r.out, before + (first_pass ? c.first_pass_error : c.second_pass_error));
            EXPECT_EQ(r.status, first_pass ? 2 : 1);
        }
    }
}

TEST(Labelprobe, DirectoryUserAndOutput)
{
    REQUIRE_SANDBOX();
    TempDir no_dev, empty, disk;
    make_dir(empty / "dev/rdsk");
    add_disk(disk, "c0t0d0", "/bus0/disk0", "disk zero");
    struct {
        const TempDir &image;
        std::vector<std::string> args;
        bool as_user;
        SandboxOutput out;
        std::string expected;
        int status;
    } cases[] = {
        {empty, {}, false, SandboxOutput::capture, "", 0},
        {no_dev,
         {},
         false,
         SandboxOutput::capture,
         error_record("Cannot change directory to /dev/rdsk", 5000 + ENOENT, ENOENT),
         1},
        {disk, {}, true, SandboxOutput::capture, system_error(5013, EACCES), 1},
        {disk, {"-V"}, true, SandboxOutput::capture, "labelprobe\t1.1\n", 0},
        {disk, {}, false, SandboxOutput::full, "", 1},
    };
    for (const auto &c : cases) {
        SandboxResult r = run_over(c.image, c.args, c.as_user, c.out);
        EXPECT_EQ(r.out, c.expected) << testing::PrintToString(c.args) << " as user " << c.as_user;
        EXPECT_EQ(r.status, c.status);
    }
}
