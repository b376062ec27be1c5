/* floor-sys FOLDER: the least any reader of a /sys tree must do: every
 * regular file under FOLDER opened, read once (up to a page, as the kernel
 * hands an attribute over) and closed; links are not followed. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static char page[4096];
static long files;

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
        } else if (entry->d_type == DT_REG) {
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
