// mklabel: writes a disk label into a device or image file, so that
// read_vtoc finds it. The rest of the file is left as it is.
//
//   mklabel FILE TEXT   sector 0 := a valid label holding TEXT (at most 128 bytes)
//   mklabel -e FILE     sector 0 := zeros, sector 1 starts with "EFI PART"
#include "io.h"
#include "label_sector.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

static int usage()
{
    (void)fputs("usage: mklabel FILE TEXT\n       mklabel -e FILE\n", stderr);
    return 2;
}

int main(int argc, char *argv[])
{
    bool efi = argc == 3 && strcmp(argv[1], "-e") == 0;
    if (argc != 3)
        return usage();
    const char *file = efi ? argv[2] : argv[1];
    const char *text = efi ? "" : argv[2];
    if (strlen(text) > label_text_size) {
        (void)fprintf(stderr, "mklabel: a label holds at most %zu bytes\n", label_text_size);
        return 2;
    }

    unsigned char sectors[2 * label_sector_size] = {};
    size_t size = label_sector_size;
    if (efi) {
        memcpy(sectors + label_sector_size, efi_signature, efi_signature_size);
        size = sizeof sectors;
    } else {
        make_label_sector(sectors, text, strlen(text));
    }

    int fd = open(file, O_WRONLY | O_CREAT, 0644);
    if (fd < 0 || !base::write_all(fd, sectors, size, 0) || close(fd) != 0) {
        (void)fprintf(stderr, "mklabel: %s: %s\n", file, strerror(errno));
        return 1;
    }
    return 0;
}
