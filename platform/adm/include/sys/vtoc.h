// The disk label reader of the administration library.
#ifndef PROBES_ADM_SYS_VTOC_H
#define PROBES_ADM_SYS_VTOC_H

#ifdef __cplusplus
extern "C" {
#endif

// What read_vtoc returns besides 0 for a valid label.
#define VTOC_READ_FAILED (-3) // the device could not be read
#define VTOC_INVALID (-4)     // no valid label in the first sector
#define VTOC_UNSUPPORTED (-5) // a label of a kind this reader does not read

struct vtoc {
    char v_asciilabel[128]; // NUL-padded; may fill all 128 bytes
    unsigned short v_magic; // as read from the sector
    unsigned short v_cksum;
};

// Reads the label in the first 512-byte sector of an open device.
int read_vtoc(int fd, struct vtoc *vtoc);

#ifdef __cplusplus
}
#endif

#endif
