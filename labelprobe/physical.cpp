// Resolution of a device link to its physical device path, one link at a
// time, entering the folder of each link's target as the system would.
#include "labelprobe.h"

#include "collector.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

static const char devices_prefix[] = "/devices";

// Links followed between two proofs that the chain ends; below the
// system's own limit on a chain, so a loop fails the proof.
static const int relink_proof_interval = 8;

// Writes the error record of a failed step, the system's text for its
// error as the message's last argument.
static void step_failed(int error, const char *format, const char *name)
{
    if (name == nullptr)
        display_errno_error(error, format, strerror(error));
    else
        display_errno_error(error, format, name, strerror(error));
}

// Copies text into a path buffer; false when it does not fit.
static bool copy_path(char (&buffer)[path_size], const char *text)
{
    size_t length = strlen(text);
    if (length >= sizeof buffer)
        return false;
    memcpy(buffer, text, length + 1);
    return true;
}

// The part of path before its last "/", or "/" when that part is empty;
// path must hold a "/".
static void cut_to_directory(char *path)
{
    char *slash = strrchr(path, '/');
    if (slash == path)
        slash[1] = '\0';
    else
        *slash = '\0';
}

// The working directory, "/" and name, in work. A path longer than the
// buffer fails like getcwd itself, with ENAMETOOLONG.
static bool make_resolved_path(char (&work)[path_size], const char *name)
{
    if (getcwd(work, sizeof work) == nullptr) {
        step_failed(errno == ERANGE ? ENAMETOOLONG : errno, "getcwd() failed - %s", nullptr);
        return false;
    }
    size_t length = strlen(work);
    size_t name_length = strlen(name);
    if (1 + name_length >= sizeof work - length) {
        step_failed(ENAMETOOLONG, "getcwd() failed - %s", nullptr);
        return false;
    }
    work[length] = '/';
    memcpy(work + length + 1, name, name_length + 1);
    return true;
}

// The physical name of the node name, the last of a chain, in the working
// directory: its path without "/devices" and its minor name, or nullptr
// (written as an error record).
static char *physical_name_of(char *name)
{
    char work[path_size];
    char *minor_name = strrchr(name, ':');
    if (minor_name != nullptr)
        *minor_name = '\0';
    if (!make_resolved_path(work, name))
        return nullptr;
    bool in_devices = strncmp(work, devices_prefix, sizeof devices_prefix - 1) == 0;
    return alloc_string(in_devices ? work + sizeof devices_prefix - 1 : work);
}

// Reads the link current_name into link_text: its length, or -1 when it is
// no link, or -2 when a step failed (written as an error record). readlink
// alone tells a link from what is none; lstat is asked only when readlink
// fails otherwise, for the step that failed.
static ssize_t read_link(const char *current_name, char (&link_text)[path_size])
{
    ssize_t n = readlink(current_name, link_text, sizeof link_text);
    if (n < 0 && errno == EINVAL)
        return -1;
    if (n < 0) {
        int error = errno;
        struct stat status;
        if (lstat(current_name, &status) != 0) {
            step_failed(errno, "Cannot lstat() %s - %s", current_name);
            return -2;
        }
        if (!S_ISLNK(status.st_mode))
            return -1;
        errno = error;
    } else if (static_cast<size_t>(n) >= sizeof link_text) {
        n = -1;
        errno = ENAMETOOLONG;
    }
    if (n < 0) {
        step_failed(errno, "readlink() of %s failed - %s", current_name);
        return -2;
    }
    return n;
}

// Follows the chain from current_name in the working directory, which the
// caller restores afterwards. Returns the physical path, or nullptr.
static char *follow_links(char (&current_name)[path_size])
{
    char link_text[path_size];
    char work[path_size];
    int links_followed = 0;
    struct stat status;

    for (;;) {
        // stat proves that the chain from here ends at an existing object:
        // a dangling link or a loop fails here, so the walk always ends.
        // The rest of a chain that stat followed whole needs no proof of
        // its own, but one changed while it is walked is proved again
        // before it could loop.
        if (links_followed % relink_proof_interval == 0 && stat(current_name, &status) != 0) {
            step_failed(errno, "Cannot stat() %s - %s", current_name);
            return nullptr;
        }
        ssize_t n = read_link(current_name, link_text);
        if (n == -2)
            return nullptr;
        if (n < 0) {
            if (links_followed == 0)
                return nullptr;
            return physical_name_of(current_name);
        }

        links_followed++;
        link_text[n] = '\0';

        // Both buffers hold what link_text holds, so neither copy can fail.
        (void)copy_path(work, link_text);
        char *slash = strrchr(link_text, '/');
        if (slash == nullptr) {
            (void)copy_path(current_name, link_text);
            continue;
        }
        cut_to_directory(work);
        // A relative folder is taken from the folder of the link just read,
        // which is the working directory now.
        if (chdir(work) != 0) {
            step_failed(errno, "Cannot chdir() to %s - %s", work);
            return nullptr;
        }
        (void)copy_path(current_name, slash + 1);
    }
}

// The folder every walk returns to, once fixed; empty while it is asked
// for at every walk.
static char home_directory[path_size];

void fix_working_directory()
{
    if (getcwd(home_directory, sizeof home_directory) == nullptr)
        home_directory[0] = '\0';
}

// folder, "/" and name in joined, without a second "/" and with no folder
// when folder is empty; false when it does not fit.
static bool join_path(char (&joined)[path_size], const char *folder, const char *name)
{
    size_t folder_length = strlen(folder);
    bool separator = folder_length > 0 && folder[folder_length - 1] != '/';
    size_t name_length = strlen(name);
    if (folder_length + separator + name_length >= sizeof joined)
        return false;
    memcpy(joined, folder, folder_length);
    if (separator)
        joined[folder_length] = '/';
    memcpy(joined + folder_length + separator, name, name_length + 1);
    return true;
}

// The walk of follow_links with every change of directory put off to its
// end: the folders of the link texts are joined into one path, which the
// system resolves as it would the changes of directory one by one. folder
// is where name is, "" for the working directory. false when the walk
// cannot be taken this way (a join that does not fit, a name that ends in
// "/", a step that fails): nothing is written then and the working
// directory is the same, so the walk step by step runs and reports. Else
// *result is what follow_links would give, and *moved tells whether the
// working directory was changed.
static bool follow_joined_links(const char *folder, const char *name, bool chain_proved,
                                char **result, bool *moved)
{
    char at_folder[path_size];
    char current_name[path_size];
    char joined[path_size];
    char link_text[path_size];
    int links_followed = 0;
    struct stat status;

    if (!copy_path(at_folder, folder) || !copy_path(current_name, name))
        return false;
    for (;;) {
        if (current_name[0] == '\0' || !join_path(joined, at_folder, current_name))
            return false;
        if (links_followed % relink_proof_interval == 0 && !(links_followed == 0 && chain_proved) &&
            stat(joined, &status) != 0)
            return false;
        ssize_t n = readlink(joined, link_text, sizeof link_text);
        if ((n < 0 && errno != EINVAL) || n >= static_cast<ssize_t>(sizeof link_text))
            return false;
        if (n < 0) {
            *result = nullptr;
            if (links_followed == 0)
                return true;
            if (at_folder[0] != '\0') {
                if (chdir(at_folder) != 0)
                    return false;
                *moved = true;
            }
            *result = physical_name_of(current_name);
            return true;
        }

        links_followed++;
        link_text[n] = '\0';
        char *slash = strrchr(link_text, '/');
        if (slash == nullptr) {
            (void)copy_path(current_name, link_text);
            continue;
        }
        (void)copy_path(current_name, slash + 1);
        cut_to_directory(link_text);
        // An absolute folder starts the join again; a relative one is taken
        // from the folder of the link just read.
        if (link_text[0] == '/')
            (void)copy_path(at_folder, link_text);
        else if (!join_path(joined, at_folder, link_text) || !copy_path(at_folder, joined))
            return false;
    }
}

char *get_physical_name(const char *path, bool chain_proved)
{
    char saved_directory[path_size];
    char current_name[path_size];
    char *result = nullptr;

    if (home_directory[0] != '\0') {
        (void)copy_path(saved_directory, home_directory);
    } else if (getcwd(saved_directory, sizeof saved_directory) == nullptr) {
        step_failed(errno == ERANGE ? ENAMETOOLONG : errno, "getcwd() failed - %s", nullptr);
        return nullptr;
    }

    bool moved = true;
    if (!copy_path(current_name, path)) {
        step_failed(ENAMETOOLONG, "Cannot chdir() to %s - %s", path);
    } else {
        char directory[path_size];
        (void)copy_path(directory, path);
        const char *slash = strrchr(path, '/');
        if (slash == nullptr)
            (void)copy_path(directory, ".");
        else
            cut_to_directory(directory);
        // The entries of /dev/rdsk are asked about from within it: no
        // change of directory is needed to get there.
        bool at_home = strcmp(directory, saved_directory) == 0;
        moved = false;
        if (!follow_joined_links(at_home ? "" : directory, slash != nullptr ? slash + 1 : path,
                                 chain_proved, &result, &moved)) {
            moved = true;
            if (!at_home && chdir(directory) != 0)
                step_failed(errno, "Cannot chdir() to %s - %s", directory);
            else
                result = follow_links(current_name);
        }
    }

    if (moved && chdir(saved_directory) != 0)
        step_failed(errno, "Cannot chdir() to %s - %s", saved_directory);
    return result;
}

void *zalloc(size_t size)
{
    void *memory = calloc(1, size);
    if (memory == nullptr) {
        int error = errno;
        display_errno_error(error, "Unable to calloc() more space: %s", strerror(error));
        exit(finish_output(labelprobe_failure_status));
    }
    return memory;
}

char *alloc_string(const char *text)
{
    size_t length = strlen(text);
    char *copy = static_cast<char *>(zalloc(length + 1));
    memcpy(copy, text, length);
    return copy;
}
