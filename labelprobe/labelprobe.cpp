// labelprobe: one record for every disk under /dev/rdsk, with its physical
// device path and the ASCII label of its volume table of contents.
#include "labelprobe.h"

#include "collector.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vtoc.h>
#include <unistd.h>

const char collector_name[] = "labelprobe";
const int collector_output_failure_status = labelprobe_failure_status;

static const char rdsk_directory[] = "/dev/rdsk";

// The exit status of a label that cannot be read tells the pass.
static const int first_pass_failure_status = 2;
static const int second_pass_failure_status = 1;

static bool is_dot_or_dot_dot(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Only a device or a regular file (an image standing for a disk) can hold
// a label. Opening a FIFO would wait for a writer forever, so the type is
// checked before the open, which stays a plain blocking one: on removable
// media a non-blocking open may succeed without a medium.
static bool may_hold_label(const char *path)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISREG(status.st_mode);
}

// Reads the label of the entry and writes its record under node_name; a
// device that cannot be opened is skipped, a label that cannot be read ends
// the run.
static void report_disk(const char *entry_name, const char *node_name, bool first_pass)
{
    char entry_path[path_size];
    int n = snprintf(entry_path, sizeof entry_path, "%s/%s", rdsk_directory, entry_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof entry_path)
        return;

    int fd = may_hold_label(entry_path) ? open(entry_path, O_RDONLY) : -1;
    if (fd < 0)
        return;
    struct vtoc vtoc = {};
    int result = read_vtoc(fd, &vtoc);
    (void)close(fd);
    if (result < 0) {
        if (result == VTOC_INVALID)
            display_error(strerror(EINVAL), 5022, 22);
        else if (result == VTOC_READ_FAILED)
            display_error(strerror(EIO), 5005, 5);
        else
            display_error("Unknown error", 5203, first_pass ? result : 0);
        exit(finish_output(first_pass ? first_pass_failure_status : second_pass_failure_status));
    }

    // File names and label texts come from whoever wrote the disk: put_field
    // keeps every value to its own line.
    put_field("*node", node_name, path_size, false);
    // Its error records, if any, fall between the node line and the path.
    char *physical_name = get_physical_name(entry_path);
    put_field("devfs-path", physical_name != nullptr ? physical_name : "", path_size, false);
    // The label's NUL padding ends it; a label of 128 bytes has none.
    put_field("ascii-label", vtoc.v_asciilabel, sizeof vtoc.v_asciilabel, true);
    // Nothing reads the path after its line: freeing it keeps a run over
    // many disks at the same size.
    free(physical_name);
}

static void find_disks()
{
    if (chdir(rdsk_directory) != 0) {
        int error = errno;
        display_errorf(5000 + error, error, "Cannot change directory to %s", rdsk_directory);
        exit(finish_output(labelprobe_failure_status));
    }
    DIR *directory = opendir(".");
    if (directory == nullptr) {
        int error = errno;
        display_errorf(5000 + error, error, "1Cannot open %s", rdsk_directory);
        exit(finish_output(labelprobe_failure_status));
    }

    // First pass: entries of no disk name form, except links that lead to
    // a slice other than the whole-disk slice. They are reported by their
    // own names.
    while (struct dirent *entry = readdir(directory)) {
        const char *name = entry->d_name;
        if (is_dot_or_dot_dot(name) || conventional_name(name) || fdisk_physical_name(name) ||
            name_represents_wholedisk(name))
            continue;
        report_disk(name, name, true);
    }

    rewinddir(directory);

    // Second pass: one record per disk, from its whole-disk slice.
    char node_name[path_size];
    while (struct dirent *entry = readdir(directory)) {
        const char *name = entry->d_name;
        if (is_dot_or_dot_dot(name) || !whole_disk_name(name))
            continue;
        canonicalize_name(node_name, name);
        report_disk(name, node_name, false);
    }

    if (closedir(directory) != 0) {
        int error = errno;
        display_errorf(5000 + error, error, "Cannot close directory %s", rdsk_directory);
        exit(finish_output(labelprobe_failure_status));
    }
}

int main(int argc, char *argv[])
{
    parse_command_line(argc, argv);
    if (getuid() != 0) {
        display_error(strerror(EACCES), 5013, 13);
        exit(finish_output(labelprobe_failure_status));
    }
    find_disks();
    return finish_output(status_completed);
}
