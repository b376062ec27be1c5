#include "io.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>

namespace base
{

Folder open_folder(int dir, const char *path, bool follow)
{
    return Folder(openat(
        dir, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW)));
}

int open_regular_file(int dir, const char *path, bool follow, size_t cap, int &fd, size_t &size)
{
    size = 0;
    fd =
        openat(dir, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return errno;
    struct stat st;
    int error = fstat(fd, &st) != 0                        ? errno
                : S_ISDIR(st.st_mode)                      ? EISDIR
                : !S_ISREG(st.st_mode)                     ? EINVAL
                : static_cast<uintmax_t>(st.st_size) > cap ? EFBIG
                                                           : 0;
    if (error != 0) {
        (void)close(fd);
        fd = -1;
        return error;
    }
    size = static_cast<size_t>(st.st_size);
    return 0;
}

int read_regular_file(int dir, const char *path, bool follow, size_t cap, std::string &buffer,
                      size_t at, size_t &length)
{
    length = 0;
    int opened;
    size_t size;
    int error = open_regular_file(dir, path, follow, cap, opened, size);
    Fd fd(opened);
    // The size is only a first guess: the file may change while it is read,
    // and an attribute file of the kernel's tells a size it does not hold.
    if (error == 0 && buffer.size() <= at + size)
        buffer.resize(at + size + 1);
    while (error == 0) {
        if (at + length == buffer.size()) {
            if (length > cap)
                break;
            buffer.resize(at + std::min(std::max(2 * length, size_t{4096}), cap + 1));
        }
        size_t room = buffer.size() - at - length;
        ssize_t got = read(fd.get(), buffer.data() + at + length, room);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            error = errno;
        if (got <= 0)
            break;
        length += static_cast<size_t>(got);
        // A short read that brings all the file said it holds is its end.
        if (static_cast<size_t>(got) < room && length >= size)
            break;
    }
    return error == 0 && length > cap ? EFBIG : error;
}

} // namespace base
