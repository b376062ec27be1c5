// The name grammar of the entries of /dev/rdsk.
#include "labelprobe.h"

#include <cstring>
#include <unistd.h>

// A chain longer than this is taken to loop.
static const int max_links_followed = 40;

static const char rdsk_prefix[] = "/dev/rdsk/";

// Fixed classes: no locale, and a byte of 128 or more is in neither.
static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

static bool is_target(char c)
{
    return is_digit(c) || (c >= 'A' && c <= 'F');
}

static const char *skip_digits(const char *p)
{
    while (is_digit(*p))
        p++;
    return p;
}

// Reads "c<digits>[t<targets>]d<digits>"; returns what follows, or nullptr
// when the name has no such start.
static const char *after_disk_part(const char *p)
{
    if (*p != 'c')
        return nullptr;
    p = skip_digits(p + 1);
    if (*p == 't') {
        p++;
        while (is_target(*p))
            p++;
    }
    if (*p != 'd')
        return nullptr;
    return skip_digits(p + 1);
}

disk_name_form name_form(const char *name)
{
    const char *part = after_disk_part(name);
    if (part == nullptr || (*part != 's' && *part != 'p') || *skip_digits(part + 1) != '\0')
        return other_name;
    if (*part == 'p')
        return fdisk_name;
    return part[1] == '2' && part[2] == '\0' ? whole_disk_slice_name : slice_name;
}

int conventional_name(const char *name)
{
    disk_name_form form = name_form(name);
    return form == slice_name || form == whole_disk_slice_name;
}

int whole_disk_name(const char *name)
{
    return name_form(name) == whole_disk_slice_name;
}

int fdisk_physical_name(const char *name)
{
    return name_form(name) == fdisk_name;
}

void canonicalize_name(char *out, const char *name)
{
    const char *start = strchr(name, 'c');
    if (start == nullptr) {
        out[0] = '\0';
        return;
    }
    size_t length = strlen(start);
    memcpy(out, start, length + 1);
    // Only a one-character slice number is cut: "s10" stays.
    if (length >= 2 && out[length - 2] == 's')
        out[length - 2] = '\0';
}

int name_represents_wholedisk(const char *name)
{
    char link_path[path_size] = {};
    char link_text[path_size] = {};

    if (strlen(name) >= sizeof link_path)
        return 0;
    memcpy(link_path, name, strlen(name) + 1);
    // Each link is read by its text relative to the working directory, not
    // to the folder of the link that named it, so a loop cannot be told from
    // the file system's own limit: the walk is bounded here instead.
    for (int links = 0; links < max_links_followed; links++) {
        ssize_t n = readlink(link_path, link_text, sizeof link_text);
        // A text that fills the buffer may have been cut: it names nothing.
        if (n < 0 || static_cast<size_t>(n) >= sizeof link_text)
            return 0;
        link_text[n] = '\0';

        const char *looked_at = link_text;
        if (strncmp(looked_at, rdsk_prefix, sizeof rdsk_prefix - 1) == 0)
            looked_at += sizeof rdsk_prefix - 1;
        if (conventional_name(looked_at))
            return !whole_disk_name(looked_at);
        memcpy(link_path, link_text, static_cast<size_t>(n) + 1);
    }
    return 0;
}
