// read_vtoc over crafted images, and mklabel, which writes what it reads.
#include "label_image.h"
#include "support.h"

#include <fcntl.h>
#include <sys/vtoc.h>
#include <unistd.h>

namespace
{

// The result of read_vtoc on the file, then all 128 bytes of v_asciilabel
// when it is 0.
std::string read_label(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    struct vtoc vtoc;
    memset(&vtoc, '#', sizeof vtoc);
    int result = read_vtoc(fd, &vtoc);
    (void)close(fd);
    return std::to_string(result) +
           (result == 0 ? " " + std::string(vtoc.v_asciilabel, sizeof vtoc.v_asciilabel) : "");
}

std::string flipped(std::string image, size_t offset)
{
    image.at(offset) ^= 0x01;
    return image;
}

std::string read_as(const std::string &text)
{
    return "0 " + text + std::string(128 - text.size(), '\0');
}

} // namespace

TEST(ReadVtoc, Images)
{
    std::string full(128, 'L');
    std::string valid = label_image("disk zero");

    struct {
        const char *name;
        std::string image, result;
    } cases[] = {
        {"valid", valid, read_as("disk zero")},
        {"only sector 0", valid.substr(0, 512), read_as("disk zero")},
        {"128 bytes, no NUL", label_image(full), read_as(full)},
        // A valid first sector wins over a second sector of the other kind.
        {"valid, then efi", valid.substr(0, 512) + efi_image().substr(512), read_as("disk zero")},
        {"511 bytes", valid.substr(0, 511), "-4"},
        {"byte 0 changed", flipped(valid, 0), "-4"},
        {"byte 200 changed", flipped(valid, 200), "-4"},
        {"checksum changed", flipped(valid, 511), "-4"},
        // The checksum still balances.
        {"wrong magic", flipped(flipped(valid, 509), 511), "-4"},
        {"efi", efi_image(), "-5"},
        {"efi, sector 1 cut short", efi_image().substr(0, 519), "-4"},
        {"efi in sector 0", "EFI PART" + std::string(1016, '\0'), "-4"},
    };
    TempDir t;
    for (const auto &c : cases) {
        write_file(t / "disk", c.image);
        EXPECT_EQ(read_label(t / "disk"), c.result) << c.name;
    }
    make_dir(t / "folder");
    EXPECT_EQ(read_label(t / "folder"), "-3");
}

TEST(Mklabel, WritesLabelsReadVtocReads)
{
    TempDir t;
    write_file(t / "image", std::string(4096, 'z'));
    SandboxRun run = installed("mklabel", {t / "image", "sample label"});
    run.program = stage_dir() + "/bin/mklabel";
    EXPECT_EQ(run_natively(run).status, 0);
    EXPECT_EQ(read_label(t / "image"), read_as("sample label"));
    EXPECT_EQ(read_file(t / "image").substr(512), std::string(4096 - 512, 'z'));

    run.args = {"-e", t / "efi"};
    EXPECT_EQ(run_natively(run).status, 0);
    EXPECT_EQ(read_label(t / "efi"), "-5");

    run.args = {t / "long", std::string(129, 'x')};
    SandboxResult r = run_natively(run);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err, "");
}
