// labelprobe over disks that stall its label reader, for the tests in the
// sandbox: read_vtoc of a disk whose first bytes are "hang" does not return
// while labelprobe runs, one whose first bytes are "die" ends the reader,
// and the link target /tmp/swapped-disk, a regular file when labelprobe
// starts, turns into a FIFO between the reader's check and its open.
#include "labelprobe.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vtoc.h>
#include <unistd.h>

static const char swapped_disk[] = "/tmp/swapped-disk";

extern "C" int read_vtoc(int fd, struct vtoc *vtoc)
{
    char sector[512] = {};
    if (pread(fd, sector, sizeof sector, 0) < 0)
        return VTOC_READ_FAILED;
    if (strncmp(sector, "hang", 4) == 0) {
        // Like a read in uninterruptible sleep, as far as labelprobe can
        // tell; once it is gone, nobody waits for this reader any more.
        for (pid_t parent = getppid(); getppid() == parent;)
            (void)sleep(1);
        _exit(0);
    }
    if (strncmp(sector, "die", 3) == 0)
        _exit(1);
    memcpy(vtoc->v_asciilabel, sector, sizeof vtoc->v_asciilabel);
    return 0;
}

// Only for an entry that leads to the swapped disk.
static void swap_for_fifo(const char *name)
{
    struct stat entry, disk;
    if (stat(name, &entry) == 0 && lstat(swapped_disk, &disk) == 0 && S_ISREG(disk.st_mode) &&
        entry.st_dev == disk.st_dev && entry.st_ino == disk.st_ino && unlink(swapped_disk) == 0)
        (void)mkfifo(swapped_disk, 0644);
}

static bool set_up()
{
    int fd = open(swapped_disk, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0)
        (void)close(fd);
    before_label_open = swap_for_fifo;
    return true;
}

static const bool ready = set_up();
