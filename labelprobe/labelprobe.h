// labelprobe's working parts: the disk name grammar and the resolution of
// device links to physical device paths.
#ifndef PROBES_LABELPROBE_H
#define PROBES_LABELPROBE_H

#include <cstddef>

// The status of every failure that ends the run, but a label that cannot be
// read in the first pass.
inline constexpr int labelprobe_failure_status = 1;

// Path buffers hold this many bytes, terminator included.
inline constexpr size_t path_size = 1024;

// Each is 1 when the whole name has its form:
//   conventional  c<digits>[t<targets>]d<digits>s<digits>
//   whole disk    c<digits>[t<targets>]d<digits>s2
//   fdisk         c<digits>[t<targets>]d<digits>p<digits>
// where targets are digits and the capital letters A to F.
int conventional_name(const char *name);
int whole_disk_name(const char *name);
int fdisk_physical_name(const char *name);

// The name from its first "c", without a slice part of one character
// ("c0t0d0s2" gives "c0t0d0"). out holds at least strlen(name) + 1 bytes.
void canonicalize_name(char *out, const char *name);

// 1 when name, an entry of the working directory, is a link whose chain
// meets a slice name other than slice 2.
int name_represents_wholedisk(const char *name);

// The path of the device node at the end of the links from path, without
// "/devices" and the minor name, in memory the caller frees; nullptr when
// path is no link or the chain fails (failures are written as error
// records). The working directory is the same on return.
char *get_physical_name(const char *path);

// Zero-filled memory that never fails: running out ends the program.
char *alloc_string(const char *text);
void *zalloc(size_t size);

#endif
