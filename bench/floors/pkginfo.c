/* floor-pkginfo FOLDER: the least a lister of a package-instance folder
 * must do: every FOLDER/<instance>/pkginfo opened, read to its end and
 * closed. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static char buffer[1 << 16];

int main(int argc, char *argv[])
{
    DIR *entries = argc == 2 ? opendir(argv[1]) : NULL;
    if (entries == NULL) {
        fprintf(stderr, "usage: floor-pkginfo FOLDER\n");
        return 2;
    }
    long read_files = 0;
    struct dirent *entry;
    while ((entry = readdir(entries)) != NULL) {
        char path[512];
        if (entry->d_name[0] == '.' ||
            snprintf(path, sizeof path, "%s/pkginfo", entry->d_name) >= (int)sizeof path)
            continue;
        int file = openat(dirfd(entries), path, O_RDONLY);
        if (file < 0)
            continue;
        while (read(file, buffer, sizeof buffer) > 0) {
        }
        close(file);
        read_files++;
    }
    closedir(entries);
    return read_files > 0 ? 0 : 1;
}
