// read_vtoc: reads the label of a disk, or of an image file that stands for
// one, from its first sector.
#include "io.h"
#include "label_sector.h"

#include <sys/vtoc.h>

extern "C" int read_vtoc(int fd, struct vtoc *vtoc)
{
    unsigned char sector[label_sector_size];
    ssize_t n = base::read_all(fd, sector, sizeof sector, 0);
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
    n = base::read_all(fd, signature, sizeof signature, label_sector_size);
    if (n < 0)
        return VTOC_READ_FAILED;
    if (static_cast<size_t>(n) == sizeof signature &&
        memcmp(signature, efi_signature, sizeof signature) == 0)
        return VTOC_UNSUPPORTED;
    return VTOC_INVALID;
}
