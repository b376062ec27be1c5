// labelprobe-bench-host FOLDER DISKS: makes a host image for the benchmark.
// Every disk has eight slice and five fdisk partition entries in
// /dev/rdsk; each entry is a chain of two links, first to a name under
// /devices/by-name, then to its minor node two folders deep, as in
//   dev/rdsk/c3t14d0s2 -> ../../devices/by-name/c3t14d0:c
//   devices/by-name/c3t14d0:c -> ../bus3/ctl14/disk0:c,raw
// The whole-disk node holds a valid label; the other nodes are empty.
#include "label_sector.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static void fail(const char *what, const char *path)
{
    (void)fprintf(stderr, "labelprobe-bench-host: %s %s: %s\n", what, path, strerror(errno));
    exit(1);
}

static void make_folder(const char *path)
{
    if (mkdir(path, 0755) != 0 && errno != EEXIST)
        fail("mkdir", path);
}

static void make_symlink(const char *target, const char *path)
{
    if (symlink(target, path) != 0)
        fail("symlink", path);
}

static void make_node(const char *path, const unsigned char *content, size_t size)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || (size > 0 && write(fd, content, size) != static_cast<ssize_t>(size)) ||
        close(fd) != 0)
        fail("write", path);
}

int main(int argc, char *argv[])
{
    if (argc != 3 || atoi(argv[2]) <= 0) {
        (void)fputs("usage: labelprobe-bench-host FOLDER DISKS\n", stderr);
        return 2;
    }
    const char *root = argv[1];
    int disks = atoi(argv[2]);
    char path[1024], target[1024], text[128];

    const char *folders[] = {"", "/dev", "/dev/rdsk", "/devices", "/devices/by-name"};
    for (const char *folder : folders) {
        (void)snprintf(path, sizeof path, "%s%s", root, folder);
        make_folder(path);
    }

    for (int disk = 0; disk < disks; disk++) {
        int controller = disk / 100, target_number = disk % 100;
        (void)snprintf(path, sizeof path, "%s/devices/bus%d", root, controller);
        make_folder(path);
        (void)snprintf(path, sizeof path, "%s/devices/bus%d/ctl%d", root, controller,
                       target_number);
        make_folder(path);

        // Slices s0-s7 are minors a-h, partitions p0-p4 are q0-q4.
        for (int entry = 0; entry < 13; entry++) {
            char part[8], minor[8];
            if (entry < 8) {
                (void)snprintf(part, sizeof part, "s%d", entry);
                (void)snprintf(minor, sizeof minor, "%c", 'a' + entry);
            } else {
                (void)snprintf(part, sizeof part, "p%d", entry - 8);
                (void)snprintf(minor, sizeof minor, "q%d", entry - 8);
            }

            (void)snprintf(path, sizeof path, "%s/devices/bus%d/ctl%d/disk0:%s,raw", root,
                           controller, target_number, minor);
            if (entry == 2) {
                unsigned char sector[label_sector_size];
                int length = snprintf(text, sizeof text, "bench disk %d, 64 GiB", disk);
                make_label_sector(sector, text, static_cast<size_t>(length));
                make_node(path, sector, sizeof sector);
            } else {
                make_node(path, nullptr, 0);
            }

            (void)snprintf(path, sizeof path, "%s/devices/by-name/c%dt%dd0:%s", root, controller,
                           target_number, minor);
            (void)snprintf(target, sizeof target, "../bus%d/ctl%d/disk0:%s,raw", controller,
                           target_number, minor);
            make_symlink(target, path);

            (void)snprintf(path, sizeof path, "%s/dev/rdsk/c%dt%dd0%s", root, controller,
                           target_number, part);
            (void)snprintf(target, sizeof target, "../../devices/by-name/c%dt%dd0:%s", controller,
                           target_number, minor);
            make_symlink(target, path);
        }
    }
    return 0;
}
