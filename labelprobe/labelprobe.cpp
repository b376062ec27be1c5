// labelprobe: one record for every disk under /dev/rdsk, with its physical
// device path and the ASCII label of its volume table of contents.
#include "labelprobe.h"

#include "collector.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/vtoc.h>
#include <unistd.h>

const char collector_name[] = "labelprobe";
const int collector_output_failure_status = labelprobe_failure_status;

// The exit status of a label that cannot be read tells the pass.
static const int first_pass_failure_status = 2;
static const int second_pass_failure_status = 1;

// Entries are asked of the label reader in directory order, first-pass
// entries before second-pass ones; their answers come back in the same
// order, so a count of the first-pass entries asked for tells which pass
// each answer belongs to.
static size_t first_pass_entries_queued;

// The whole-disk names of the first pass, each ended by a NUL, while they
// fit: on a host of many disks the folder is large, and reading it again
// costs more than its records.
static char disk_names[128 * 1024];

static bool is_dot_or_dot_dot(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// A label read that failed or did not end ends the run, with the pass's
// status.
[[noreturn]] static void label_failed(const char *name, label_outcome outcome, int result,
                                      bool first_pass)
{
    if (outcome == label_timed_out || outcome == label_reader_lost) {
        int error = outcome == label_timed_out ? ETIMEDOUT : EIO;
        display_errno_error(error, "Cannot read label of %s/%s - %s", rdsk_directory, name,
                            strerror(error));
    } else if (result == VTOC_INVALID) {
        display_errno_error(EINVAL, "%s", strerror(EINVAL));
    } else if (result == VTOC_READ_FAILED) {
        display_errno_error(EIO, "%s", strerror(EIO));
    } else {
        display_error("Unknown error", error_id_other, first_pass ? result : 0);
    }
    exit(finish_output(first_pass ? first_pass_failure_status : second_pass_failure_status));
}

// Takes the oldest answer of the label reader and writes its entry's
// record: under its own name in the first pass, under the disk's name in
// the second. An entry that could not be opened has none.
static void report_next_disk()
{
    char name[path_size];
    char label[label_size];
    int result = 0;
    bool first_pass = first_pass_entries_queued > 0;
    label_outcome outcome = take_label(name, &result, label);
    if (first_pass)
        first_pass_entries_queued--;
    if (outcome == label_skipped)
        return;
    if (outcome != label_answered || result < 0)
        label_failed(name, outcome, result, first_pass);

    char node_name[path_size];
    if (first_pass)
        (void)memcpy(node_name, name, sizeof node_name);
    else
        canonicalize_name(node_name, name);
    // queue_disk took only names whose path fits.
    char entry_path[path_size];
    size_t directory_length = sizeof rdsk_directory - 1;
    memcpy(entry_path, rdsk_directory, directory_length);
    entry_path[directory_length] = '/';
    memcpy(entry_path + directory_length + 1, name, strlen(name) + 1);

    // File names and label texts come from whoever wrote the disk: put_field
    // keeps every value to its own line.
    put_field("*node", node_name, path_size, false);
    // Its error records, if any, fall between the node line and the path.
    // The reader has just opened the entry: its chain ends.
    char *physical_name = get_physical_name(entry_path, true);
    put_field("devfs-path", physical_name != nullptr ? physical_name : "", path_size, false);
    // The label's NUL padding ends it; a label of 128 bytes has none.
    put_field("ascii-label", label, label_size, true);
    // Nothing reads the path after its line: freeing it keeps a run over
    // many disks at the same size.
    free(physical_name);
}

// Asks for the entry's label, first writing the records of earlier entries
// while the reader is as far ahead as it may be. An entry whose path would
// not fit a path buffer has nothing to open, and is left out.
static void queue_disk(const char *name, bool first_pass)
{
    if (strlen(rdsk_directory) + 1 + strlen(name) >= path_size)
        return;
    while (label_queue_full())
        report_next_disk();
    queue_label_read(name);
    if (first_pass)
        first_pass_entries_queued++;
}

static void find_disks()
{
    if (chdir(rdsk_directory) != 0) {
        int error = errno;
        display_errno_error(error, "Cannot change directory to %s", rdsk_directory);
        exit(finish_output(labelprobe_failure_status));
    }
    fix_working_directory();
    // Started before the directory is opened, so the reader holds nothing
    // of it.
    int error = start_label_reader(label_deadline_ms);
    if (error != 0) {
        display_errno_error(error, "Cannot start label reader - %s", strerror(error));
        exit(finish_output(labelprobe_failure_status));
    }
    DIR *directory = opendir(".");
    if (directory == nullptr) {
        error = errno;
        display_errno_error(error, "1Cannot open %s", rdsk_directory);
        exit(finish_output(labelprobe_failure_status));
    }

    // First pass: entries of no disk name form, except links that lead to
    // a slice other than the whole-disk slice. They are reported by their
    // own names. The whole-disk names met on the way are kept while they
    // fit, so the second pass need not read the folder again for them.
    size_t kept_disks = 0;
    size_t kept_length = 0;
    bool all_kept = true;
    while (struct dirent *entry = readdir(directory)) {
        const char *name = entry->d_name;
        disk_name_form form = name_form(name);
        if (all_kept && form == whole_disk_slice_name) {
            size_t length = strlen(name) + 1;
            all_kept = kept_length + length <= sizeof disk_names;
            if (all_kept) {
                memcpy(disk_names + kept_length, name, length);
                kept_length += length;
                kept_disks++;
            }
        }
        if (form != other_name || is_dot_or_dot_dot(name) || name_represents_wholedisk(name))
            continue;
        queue_disk(name, true);
    }

    // Second pass: one record per disk, from its whole-disk slice, in the
    // folder's order: the names kept, then the rest read again.
    for (size_t at = 0; at < kept_length; at += strlen(disk_names + at) + 1)
        queue_disk(disk_names + at, false);
    if (!all_kept) {
        rewinddir(directory);
        while (struct dirent *entry = readdir(directory)) {
            const char *name = entry->d_name;
            if (is_dot_or_dot_dot(name) || !whole_disk_name(name))
                continue;
            if (kept_disks > 0)
                kept_disks--;
            else
                queue_disk(name, false);
        }
    }
    while (!label_queue_empty())
        report_next_disk();

    if (closedir(directory) != 0) {
        error = errno;
        display_errno_error(error, "Cannot close directory %s", rdsk_directory);
        exit(finish_output(labelprobe_failure_status));
    }
}

int main(int argc, char *argv[])
{
    parse_command_line(argc, argv);
    if (getuid() != 0) {
        display_errno_error(EACCES, "%s", strerror(EACCES));
        exit(finish_output(labelprobe_failure_status));
    }
    find_disks();
    return finish_output(status_completed);
}
