// read_vtoc over crafted images: what each byte of the first two sectors
// means to the result.
#include "label_image.h"
#include "support.h"

#include <fcntl.h>
#include <sys/vtoc.h>
#include <unistd.h>

namespace
{

struct Reading {
    int result;
    std::string label; // all 128 bytes of v_asciilabel
};

Reading read_label(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    struct vtoc vtoc;
    memset(&vtoc, '#', sizeof vtoc);
    Reading r{read_vtoc(fd, &vtoc), std::string(vtoc.v_asciilabel, sizeof vtoc.v_asciilabel)};
    (void)close(fd);
    return r;
}

std::string flipped(std::string image, size_t offset)
{
    image[offset] = static_cast<char>(image[offset] ^ 0x01);
    return image;
}

std::string padded(const std::string &text)
{
    return text + std::string(128 - text.size(), '\0');
}

} // namespace

TEST(ReadVtoc, Images)
{
    std::string full(128, 'L');
    std::string valid = label_image("disk zero, 100 MiB");
    // A valid first sector wins over a second sector of the other kind.
    std::string valid_then_efi = valid.substr(0, 512) + efi_image().substr(512);
    // Magic and checksum both wrong, with the checksum still balancing.
    std::string wrong_magic = valid;
    wrong_magic[508] = static_cast<char>(0xBE);
    wrong_magic[509] = static_cast<char>(0xDA);
    wrong_magic[510] = static_cast<char>(wrong_magic[510] ^ 0xDA ^ 0xBE);
    wrong_magic[511] = static_cast<char>(wrong_magic[511] ^ 0xBE ^ 0xDA);
    std::string efi_short = efi_image().substr(0, 512 + 7);
    std::string efi_lower = efi_image().replace(512, 8, "efi part");
    std::string efi_at_0 = std::string("EFI PART") + std::string(1016, '\0');

    struct {
        const char *name;
        std::string image;
        int result;
        std::string label; // checked when the result is 0
    } cases[] = {
        {"valid", valid, 0, padded("disk zero, 100 MiB")},
        {"only sector 0", valid.substr(0, 512), 0, padded("disk zero, 100 MiB")},
        {"128 bytes, no NUL", label_image(full), 0, full},
        {"empty text", label_image(""), 0, padded("")},
        {"valid, then efi", valid_then_efi, 0, padded("disk zero, 100 MiB")},
        {"511 bytes", valid.substr(0, 511), -4, ""},
        {"empty file", "", -4, ""},
        {"zeros", std::string(1024, '\0'), -4, ""},
        {"text byte changed", flipped(valid, 3), -4, ""},
        {"checksum changed", flipped(valid, 511), -4, ""},
        {"byte 200 changed", flipped(valid, 200), -4, ""},
        {"wrong magic, balanced", wrong_magic, -4, ""},
        {"efi", efi_image(), -5, ""},
        {"efi, sector 1 cut short", efi_short, -4, ""},
        {"efi in lower case", efi_lower, -4, ""},
        {"efi in sector 0", efi_at_0, -4, ""},
        {"bad label, then efi", flipped(valid, 3).substr(0, 512) + efi_image().substr(512), -5, ""},
    };
    TempDir t;
    for (const auto &c : cases) {
        write_file(t / "disk", c.image);
        Reading r = read_label(t / "disk");
        EXPECT_EQ(r.result, c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(r.label, c.label) << c.name;
        }
    }
}

TEST(ReadVtoc, UnreadableDevices)
{
    TempDir t;
    make_dir(t / "folder");
    EXPECT_EQ(read_label(t / "folder").result, -3);

    int fd;
    write_file(t / "write-only", label_image("x"));
    fd = open((t / "write-only").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    struct vtoc vtoc;
    EXPECT_EQ(read_vtoc(fd, &vtoc), -3);
    (void)close(fd);
    EXPECT_EQ(read_vtoc(-1, &vtoc), -3);
}

// Labels written by mklabel are read back by read_vtoc.
TEST(Mklabel, WritesLabelsReadVtocReads)
{
    TempDir t;
    std::string mklabel = stage_dir() + "/bin/mklabel";
    write_file(t / "image", std::string(4096, 'z'));
    SandboxRun run = installed("mklabel", {t / "image", "sample label"});
    run.program = mklabel;
    SandboxResult r = run_natively(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_label(t / "image").result, 0);
    EXPECT_EQ(read_label(t / "image").label, padded("sample label"));
    EXPECT_EQ(read_file(t / "image").substr(512), std::string(4096 - 512, 'z'));

    run.args = {"-e", t / "efi"};
    r = run_natively(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_label(t / "efi").result, -5);

    run.args = {t / "long", std::string(129, 'x')};
    r = run_natively(run);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err, "");
}
