// Disk images for the tests, built from the label layout directly rather
// than through the library, so a fault shared by reader and writer shows.
#ifndef PROBES_TESTS_LABELPROBE_LABEL_IMAGE_H
#define PROBES_TESTS_LABELPROBE_LABEL_IMAGE_H

#include <string>

// Sector 0 with text in bytes 0-127, magic 0xDABE at 508 and the checksum
// word at 510 that makes the XOR of all 256 big-endian words 0; then a
// second sector of zeros, as a disk has more than one.
inline std::string label_image(const std::string &text)
{
    std::string image(1024, '\0');
    image.replace(0, text.size() < 128 ? text.size() : 128, text.substr(0, 128));
    image[508] = static_cast<char>(0xDA);
    image[509] = static_cast<char>(0xBE);
    unsigned high = 0, low = 0;
    for (int i = 0; i < 510; i += 2) {
        high ^= static_cast<unsigned char>(image[i]);
        low ^= static_cast<unsigned char>(image[i + 1]);
    }
    image[510] = static_cast<char>(high);
    image[511] = static_cast<char>(low);
    return image;
}

// A disk whose sector 1 holds the header of the label kind not read.
inline std::string efi_image()
{
    std::string image(2048, '\0');
    image.replace(512, 8, "EFI PART");
    return image;
}

#endif
