// The package database as the host keeps it: a folder with one subfolder per
// package instance, named after the instance and holding a "pkginfo" file.
#include "pkgdb.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace adm
{

namespace
{

// An entry that is no package instance: passed over, not an error.
constexpr int not_an_instance = -1;

class Descriptor
{
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            (void)close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const
    {
        return fd_;
    }

  private:
    int fd_;
};

// Reads a whole file into buffer[0, length). A short read is the end of a
// regular file, and the buffer keeps its size from one file to the next, so
// a small file costs a single read.
int read_whole_file(int fd, std::string &buffer, size_t &length)
{
    if (buffer.size() < 4096)
        buffer.resize(4096);
    length = 0;
    for (;;) {
        ssize_t got = read(fd, buffer.data() + length, buffer.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno == EISDIR ? not_an_instance : errno;
        length += static_cast<size_t>(got);
        if (length < buffer.size())
            return 0;
        buffer.resize(buffer.size() * 2);
    }
}

bool holds_entry(int base, std::string &path, const std::string &folder, const char *name)
{
    path.assign(folder).append("/").append(name);
    struct stat st;
    return fstatat(base, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Reads the instance folder (a path relative to base) into package. The
// paths go through the folder every time rather than through a descriptor
// of it: that is two system calls fewer per package.
int read_instance(int base, const std::string &folder, const char *instance, std::string &path,
                  std::string &buffer, std::shared_ptr<Package> &package)
{
    path.assign(folder).append("/pkginfo");
    // Non-blocking, so a stray FIFO cannot hang the enumeration.
    Descriptor file(openat(base, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    // ENOTDIR: the entry is no folder; ENOENT: no "pkginfo" in it.
    if (file.get() < 0)
        return errno == ENOENT || errno == ENOTDIR ? not_an_instance : errno;
    size_t length;
    int error = read_whole_file(file.get(), buffer, length);
    if (error != 0)
        return error;

    package = std::make_shared<Package>(instance);
    parse_pkginfo_file(std::string_view(buffer.data(), length), *package);
    // The package tools leave these behind while an installation or a
    // removal is under way, and after one that broke off.
    if (holds_entry(base, path, folder, "!I-Lock!") || holds_entry(base, path, folder, "!R-Lock!"))
        package->status = status_partial;
    return 0;
}

bool is_instance_name(std::string_view name)
{
    return !name.empty() && name[0] != '.' && name.find('/') == std::string_view::npos;
}

class FolderSource : public Source
{
  public:
    explicit FolderSource(const std::string &root) : root_(root) {}
    ~FolderSource() override
    {
        if (listing_ != nullptr)
            (void)closedir(listing_);
    }

    int next(std::shared_ptr<Package> &package) override
    {
        if (listing_ == nullptr) {
            int error = list();
            if (error != 0)
                return error;
        }
        while (position_ < order_.size()) {
            const char *name = names_.data() + order_[position_++];
            folder_.assign(name);
            int error = read_instance(dirfd(listing_), folder_, name, path_, buffer_, package);
            if (error != not_an_instance)
                return error;
        }
        return ESRCH;
    }

    std::shared_ptr<Package> find(std::string_view instance) override
    {
        std::shared_ptr<Package> package;
        if (!is_instance_name(instance))
            return package;
        std::string name(instance);
        folder_.assign(root_).append("/").append(name);
        if (read_instance(AT_FDCWD, folder_, name.c_str(), path_, buffer_, package) != 0)
            package.reset();
        return package;
    }

  private:
    // The names are read once, up front: the order is by name, and the
    // folder's own order is not.
    int list()
    {
        DIR *dir = opendir(root_.c_str());
        if (dir == nullptr)
            return errno;
        names_.clear();
        order_.clear();
        for (;;) {
            errno = 0;
            struct dirent *entry = readdir(dir);
            if (entry == nullptr)
                break;
            if (entry->d_name[0] == '.')
                continue;
            // Entries known to be neither folders nor links cost no open.
            if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
                continue;
            order_.push_back(names_.size());
            names_.append(entry->d_name);
            names_.push_back('\0');
        }
        if (errno != 0) {
            int error = errno;
            (void)closedir(dir);
            return error;
        }
        const char *names = names_.data();
        std::sort(order_.begin(), order_.end(),
                  [names](size_t a, size_t b) { return strcmp(names + a, names + b) < 0; });
        listing_ = dir;
        position_ = 0;
        return 0;
    }

    std::string root_;
    DIR *listing_ = nullptr;
    std::string names_;         // every name, each ended by a NUL
    std::vector<size_t> order_; // offsets into names_, in byte order
    size_t position_ = 0;
    std::string folder_; // the instance folder being read
    std::string path_;   // a file in it
    std::string buffer_; // its "pkginfo" file
};

} // namespace

std::unique_ptr<Source> open_folder_source(const std::string &root)
{
    return std::make_unique<FolderSource>(root);
}

} // namespace adm
