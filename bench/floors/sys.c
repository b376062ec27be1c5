/* floor-sys FOLDER: the least any reader of a /sys tree must do for
 * treeprobe's output: every regular file under FOLDER opened, read once (up
 * to a page, as the kernel hands an attribute over) and closed; links are
 * not followed. Files that reach the device itself are left alone, as the
 * library leaves them: reading PCI configuration space alone takes a third
 * of a full read on a virtual machine. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static char page[4096];
static long files;

static int reaches_hardware(const char *name)
{
    static const char *const names[] = {"config", "rom", "vpd", "eeprom", "nvmem", NULL};
    for (const char *const *at = names; *at != NULL; at++)
        if (strcmp(name, *at) == 0)
            return 1;
    return strncmp(name, "resource", 8) == 0 && name[8] >= '0' && name[8] <= '9';
}

static void walk(int folder)
{
    DIR *entries = fdopendir(folder);
    if (entries == NULL) {
        close(folder);
        return;
    }
    struct dirent *entry;
    while ((entry = readdir(entries)) != NULL) {
        if (entry->d_name[0] == '.')
            continue;
        if (entry->d_type == DT_DIR) {
            int inner = openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (inner >= 0)
                walk(inner);
        } else if (entry->d_type == DT_REG && !reaches_hardware(entry->d_name)) {
            int file = openat(folder, entry->d_name, O_RDONLY | O_NONBLOCK);
            if (file >= 0) {
                (void)!read(file, page, sizeof page);
                close(file);
                files++;
            }
        }
    }
    closedir(entries);
}

int main(int argc, char *argv[])
{
    int top = argc == 2 ? open(argv[1], O_RDONLY | O_DIRECTORY) : -1;
    if (top < 0) {
        fprintf(stderr, "usage: floor-sys FOLDER\n");
        return 2;
    }
    walk(top);
    return files > 0 ? 0 : 1;
}
