// The on-disk layout of a disk label, shared by the reader and the tools
// that write labels. Sector 0 of the device: the ASCII label in bytes 0-127,
// the magic number in bytes 508-509 and a checksum in bytes 510-511, both
// big-endian, the checksum chosen so that the XOR of all 256 big-endian
// 16-bit words of the sector is 0.
#ifndef PROBES_ADM_LABEL_SECTOR_H
#define PROBES_ADM_LABEL_SECTOR_H

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr size_t label_sector_size = 512;
inline constexpr size_t label_text_size = 128;
inline constexpr size_t label_magic_offset = 508;
inline constexpr size_t label_checksum_offset = 510;
inline constexpr uint16_t label_magic = 0xDABE;
// A second kind of label, which the reader only recognises, starts sector 1.
inline constexpr char efi_signature[] = "EFI PART";
inline constexpr size_t efi_signature_size = sizeof efi_signature - 1;

inline uint16_t label_word(const unsigned char *sector, size_t offset)
{
    return static_cast<uint16_t>(sector[offset] << 8 | sector[offset + 1]);
}

inline void set_label_word(unsigned char *sector, size_t offset, uint16_t value)
{
    sector[offset] = static_cast<unsigned char>(value >> 8);
    sector[offset + 1] = static_cast<unsigned char>(value & 0xFF);
}

// XOR of the sector's words, the checksum word included.
inline uint16_t label_xor(const unsigned char *sector)
{
    // Eight bytes at a time: the XOR of the sector's bytes at each place in
    // eight holds the XOR of the words at that place.
    uint64_t wide = 0;
    for (size_t offset = 0; offset < label_sector_size; offset += sizeof wide) {
        uint64_t bytes;
        memcpy(&bytes, sector + offset, sizeof bytes);
        wide ^= bytes;
    }
    unsigned char folded[sizeof wide];
    memcpy(folded, &wide, sizeof folded);
    uint16_t sum = 0;
    for (size_t offset = 0; offset < sizeof folded; offset += 2)
        sum ^= label_word(folded, offset);
    return sum;
}

// Fills a whole sector with a label holding the first 128 bytes of text.
inline void make_label_sector(unsigned char *sector, const char *text, size_t text_length)
{
    memset(sector, 0, label_sector_size);
    memcpy(sector, text, text_length < label_text_size ? text_length : label_text_size);
    set_label_word(sector, label_magic_offset, label_magic);
    set_label_word(sector, label_checksum_offset, label_xor(sector));
}

#endif
