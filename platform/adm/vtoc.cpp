// read_vtoc: reads the label of a disk, or of an image file that stands for
// one, from its first sector.
#include "label_sector.h"

#include <cerrno>
#include <sys/vtoc.h>
#include <unistd.h>

// pread may return less than asked of a device, and is interrupted by
// signals; keep reading until the bytes are in or the device ends.
// Returns the bytes read, or -1 when a read failed.
static ssize_t read_at(int fd, unsigned char *buffer, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

extern "C" int read_vtoc(int fd, struct vtoc *vtoc)
{
    unsigned char sector[label_sector_size];
    ssize_t n = read_at(fd, sector, sizeof sector, 0);
    if (n < 0)
        return VTOC_READ_FAILED;
    if (static_cast<size_t>(n) == sizeof sector &&
        label_word(sector, label_magic_offset) == label_magic && label_xor(sector) == 0) {
        memcpy(vtoc->v_asciilabel, sector, sizeof vtoc->v_asciilabel);
        vtoc->v_magic = label_word(sector, label_magic_offset);
        vtoc->v_cksum = label_word(sector, label_checksum_offset);
        return 0;
    }
    if (static_cast<size_t>(n) < sizeof sector)
        return VTOC_INVALID;

    unsigned char signature[efi_signature_size];
    n = read_at(fd, signature, sizeof signature, label_sector_size);
    if (n < 0)
        return VTOC_READ_FAILED;
    if (static_cast<size_t>(n) == sizeof signature &&
        memcmp(signature, efi_signature, sizeof signature) == 0)
        return VTOC_UNSUPPORTED;
    return VTOC_INVALID;
}
