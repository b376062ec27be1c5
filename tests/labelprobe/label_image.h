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
    std::string image = text.substr(0, 128);
    image.resize(1024, '\0');
    image[508] = static_cast<char>(0xDA);
    image[509] = static_cast<char>(0xBE);
    for (int i = 0; i < 510; i++)
        image[510 + i % 2] = static_cast<char>(image[510 + i % 2] ^ image[i]);
    return image;
}

// A disk whose sector 1 holds the header of the label kind not read.
inline std::string efi_image()
{
    return std::string(512, '\0') + "EFI PART" + std::string(1528, '\0');
}

#endif
