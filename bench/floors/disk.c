/* floor-disk FOLDER: the least a disk lister must do: every whole-disk
 * entry of FOLDER (its name ends in "s2") opened, its first 512 bytes read,
 * closed, and its link read. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    DIR *entries = argc == 2 ? opendir(argv[1]) : NULL;
    if (entries == NULL) {
        fprintf(stderr, "usage: floor-disk FOLDER\n");
        return 2;
    }
    long disks = 0;
    struct dirent *entry;
    while ((entry = readdir(entries)) != NULL) {
        size_t length = strlen(entry->d_name);
        if (length < 2 || strcmp(entry->d_name + length - 2, "s2") != 0)
            continue;
        char sector[512], target[1024];
        int disk = openat(dirfd(entries), entry->d_name, O_RDONLY);
        if (disk < 0 || read(disk, sector, sizeof sector) != (ssize_t)sizeof sector ||
            readlinkat(dirfd(entries), entry->d_name, target, sizeof target) < 0) {
            perror(entry->d_name);
            return 1;
        }
        close(disk);
        disks++;
    }
    closedir(entries);
    return disks > 0 ? 0 : 1;
}
