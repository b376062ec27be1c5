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

inline constexpr char rdsk_directory[] = "/dev/rdsk";

// Each is 1 when the whole name has its form:
//   conventional  c<digits>[t<targets>]d<digits>s<digits>
//   whole disk    c<digits>[t<targets>]d<digits>s2
//   fdisk         c<digits>[t<targets>]d<digits>p<digits>
// where targets are digits and the capital letters A to F.
int conventional_name(const char *name);
int whole_disk_name(const char *name);
int fdisk_physical_name(const char *name);

// The one of those forms the whole name has, read once: a whole-disk name
// is a conventional one too.
enum disk_name_form { other_name, slice_name, whole_disk_slice_name, fdisk_name };
disk_name_form name_form(const char *name);

// The name from its first "c", without a slice part of one character
// ("c0t0d0s2" gives "c0t0d0"). out holds at least strlen(name) + 1 bytes.
void canonicalize_name(char *out, const char *name);

// 1 when name, an entry of the working directory, is a link whose chain
// meets a slice name other than slice 2.
int name_represents_wholedisk(const char *name);

// The path of the device node at the end of the links from path, without
// "/devices" and the minor name, in memory the caller frees; nullptr when
// path is no link or the chain fails (failures are written as error
// records). The working directory is the same on return. chain_proved
// tells that path was just opened, which proves that its chain ends.
char *get_physical_name(const char *path, bool chain_proved);

// Takes the working directory once, for every later get_physical_name to
// return to, instead of asking for it at every walk: it must not change
// between walks.
void fix_working_directory();

// Zero-filled memory that never fails: running out ends the program.
char *alloc_string(const char *text);
void *zalloc(size_t size);

// ---- The label reader ----

// An ASCII label: NUL-padded, or all of its 128 bytes without a NUL.
inline constexpr size_t label_size = 128;

// How long one entry's open and label read may take before the run gives
// up on it.
inline constexpr int label_deadline_ms = 10000;

// Starts the child process that opens the entries of the working directory
// (/dev/rdsk) and reads their labels; each entry is given up when its
// answer has been waited for deadline_ms. 0, or the error number of what failed.
int start_label_reader(int deadline_ms);

// The reader is asked ahead; the queue is full when another name may not
// be added.
bool label_queue_full();
bool label_queue_empty();
// Asks for the label of the entry name; the queue must not be full.
void queue_label_read(const char *name);

enum label_outcome {
    label_answered,   // read_vtoc gave *result, and the label
    label_skipped,    // no device or image there, or it could not be opened
    label_timed_out,  // no answer within the deadline: the reader is given up
    label_reader_lost // the reader ended or failed without an answer
};
// Takes the answer for the oldest entry asked for, whose name it copies.
// After the last two outcomes the reader is gone and nothing more is
// answered.
label_outcome take_label(char (&name)[path_size], int *result, char (&label)[label_size]);

// Called by the reader with the entry's name between the check of its type
// and its open; null but in tests, which change the entry there.
extern void (*before_label_open)(const char *path);

#endif
