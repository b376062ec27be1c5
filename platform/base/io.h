// EINTR-safe I/O, descriptors and listings that close themselves, and the
// one way the platform libraries read a file they did not write.
#ifndef PROBES_PLATFORM_BASE_IO_H
#define PROBES_PLATFORM_BASE_IO_H

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace base
{

// Calls io(done), which moves bytes from position done on as read() and
// write() do, until size bytes are done, io answers 0 (the end), or fails
// with other than EINTR. The bytes done, or -1 with errno set.
template <typename Io> ssize_t repeat_io(size_t size, Io io)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = io(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Reads or writes until all size bytes are moved, or the file or device
// ends, at offset, or where the file stands when that is -1.
inline ssize_t read_all(int fd, void *data, size_t size, off_t offset = -1)
{
    return repeat_io(size, [&](size_t done) {
        char *at = static_cast<char *>(data) + done;
        return offset < 0 ? read(fd, at, size - done)
                          : pread(fd, at, size - done, offset + static_cast<off_t>(done));
    });
}

inline bool write_all(int fd, const void *data, size_t size, off_t offset = -1)
{
    return repeat_io(size, [&](size_t done) {
               const char *at = static_cast<const char *>(data) + done;
               return offset < 0 ? write(fd, at, size - done)
                                 : pwrite(fd, at, size - done, offset + static_cast<off_t>(done));
           }) == static_cast<ssize_t>(size);
}

// A descriptor, closed when it goes.
class Fd
{
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            (void)close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const
    {
        return fd_;
    }

  private:
    int fd_;
};

// An open folder to list, closed when it goes.
class Folder
{
  public:
    Folder() = default;
    explicit Folder(int fd) : fd_(fd) {}
    Folder(Folder &&other) noexcept : fd_(other.fd_)
    {
        other.fd_ = -1;
    }
    Folder &operator=(Folder &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~Folder()
    {
        reset();
    }
    explicit operator bool() const
    {
        return fd_ >= 0;
    }
    int fd() const
    {
        return fd_;
    }
    void reset()
    {
        if (fd_ >= 0)
            (void)close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// Lists the folder at path, relative to the folder dir, never through a
// symbolic link unless follow is set; empty with errno set when it cannot.
Folder open_folder(int dir, const char *path, bool follow);

// The kernel's records are read as they are: the layout of dirent.
static_assert(sizeof(dirent) == sizeof(dirent64) &&
              offsetof(dirent, d_reclen) == offsetof(dirent64, d_reclen) &&
              offsetof(dirent, d_type) == offsetof(dirent64, d_type) &&
              offsetof(dirent, d_name) == offsetof(dirent64, d_name));

// Calls take(entry) for each entry of the folder from where its listing
// stands, but "." and "..": 0, or the errno that broke the listing off.
// The kernel's records are taken in straight, as many at a time as fit,
// which spares the checks and buffer a DIR stream makes per folder.
template <typename Take> int each_entry(const Folder &folder, Take take)
{
    alignas(dirent) char records[32768];
    for (;;) {
        ssize_t got = getdents64(folder.fd(), records, sizeof records);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : 0;
        for (ssize_t at = 0; at < got;) {
            const auto &entry = *reinterpret_cast<const dirent *>(records + at);
            at += entry.d_reclen;
            if (strcmp(entry.d_name, ".") != 0 && strcmp(entry.d_name, "..") != 0)
                take(entry);
        }
    }
}

// Opens the regular file at path, relative to the folder dir, for reading,
// without blocking (a FIFO cannot hang the caller) and not through a
// symbolic link unless follow. 0 with fd open and size its size then, or
// ELOOP for a link, EISDIR a folder, EINVAL another file that is not
// regular, EFBIG one of more than cap bytes, with no descriptor left open.
int open_regular_file(int dir, const char *path, bool follow, size_t cap, int &fd, size_t &size);

// Reads the regular file at path, relative to the folder dir, whole into
// buffer[at, at + length), opened without blocking (a FIFO cannot hang the
// caller) and not through a symbolic link unless follow. 0, or ELOOP for a
// link, EISDIR a folder, EINVAL another file that is not regular, EFBIG more
// than cap bytes. The buffer keeps its size, so a small file costs one read;
// one of at + cap + 1 bytes never grows (safe in a child of threads).
int read_regular_file(int dir, const char *path, bool follow, size_t cap, std::string &buffer,
                      size_t at, size_t &length);

} // namespace base

#endif
