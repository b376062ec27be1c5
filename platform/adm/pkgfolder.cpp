// The package database as the host keeps it: a folder with one subfolder per
// package instance, named after the instance and holding a "pkginfo" file.
#include "pkgdb.h"

#include "io.h"
#include "look_ahead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace adm
{

namespace
{

// Room for the path of a file in an instance folder; a longer one is read
// through the folder.
constexpr size_t path_size = 4096;

// An entry that is no package instance: passed over, not an error.
constexpr int not_an_instance = -1;

// The package tools leave these behind while an installation or a removal
// is under way, and after one that broke off.
constexpr const char *lock_names[] = {"!I-Lock!", "!R-Lock!"};
// The longest name looked for in an instance folder, with its NUL.
constexpr size_t file_name_size = sizeof "!I-Lock!";

// Whether the instance folder path names, relative to dir, holds a lock:
// path[0, at) is that folder with its "/" or nothing for dir itself, and
// the rest is room for the names of the files in it.
bool is_locked(int dir, char (&path)[path_size], size_t at)
{
    bool locked = false;
    struct stat st;
    for (const char *lock : lock_names) {
        memcpy(path + at, lock, file_name_size);
        locked = fstatat(dir, path, &st, AT_SYMLINK_NOFOLLOW) == 0 || locked;
    }
    return locked;
}

// Reads the instance whose folder path names, relative to dir, into package,
// with path and at as is_locked takes them. Whether it is locked is looked
// up unless known.
int read_pkginfo(int dir, const char *instance, char (&path)[path_size], size_t at,
                 std::string &buffer, std::shared_ptr<Package> &package,
                 const bool *locked = nullptr)
{
    memcpy(path + at, "pkginfo", sizeof "pkginfo");
    size_t length;
    int error = base::read_regular_file(dir, path, false, pkginfo_cap, buffer, 0, length);
    if (error == ENOENT || error == ENOTDIR || error == EISDIR)
        return not_an_instance;
    if (error != 0)
        return error;
    package = std::make_shared<Package>(instance);
    parse_pkginfo_file(std::string_view(buffer.data(), length), *package);
    if (locked != nullptr ? *locked : is_locked(dir, path, at))
        package->status = status_partial;
    return 0;
}

// Reads the instance folder, an entry of root, into package. Neither the
// folder nor its "pkginfo" is reached through a link: a link could lead out
// of the database and list a package that is not installed.
int read_instance(int root, const char *instance, std::string &buffer,
                  std::shared_ptr<Package> &package)
{
    base::Fd folder(
        openat(root, instance, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (folder.get() < 0) {
        // A link is refused as not a folder too; only a look at the entry
        // tells it from a plain file.
        struct stat st;
        if (errno == ENOTDIR && fstatat(root, instance, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            return ELOOP;
        return errno == ENOENT || errno == ENOTDIR ? not_an_instance : errno;
    }
    char path[path_size];
    return read_pkginfo(folder.get(), instance, path, 0, buffer, package);
}

// The path of a listed instance's folder from root, with its "/", in path:
// its length, or 0 when there is no room for the names in it.
size_t listed_folder_path(const char *instance, char (&path)[path_size])
{
    size_t length = strlen(instance);
    if (length + 1 + file_name_size > sizeof path)
        return 0;
    memcpy(path, instance, length);
    path[length] = '/';
    return length + 1;
}

// Reads an instance that the listing showed to be a folder, not a link, by
// its path from root: opening the folder first would cost two more calls
// per instance. Whoever could put a link in its place since the listing
// could as well write a "pkginfo" there, so this reaches nothing that
// opening the folder keeps out. Whether it is locked was looked up ahead.
int read_listed_folder(int root, const char *instance, std::string &buffer,
                       std::shared_ptr<Package> &package, bool locked)
{
    char path[path_size];
    size_t at = listed_folder_path(instance, path);
    return at == 0 ? read_instance(root, instance, buffer, package)
                   : read_pkginfo(root, instance, path, at, buffer, package, &locked);
}

class FolderSource : public Source
{
  public:
    explicit FolderSource(const std::string &root) : root_(root) {}

    int next(std::shared_ptr<Package> &package) override
    {
        if (!listing_) {
            int error = list();
            if (error != 0)
                return error;
        }
        while (position_ < order_.size()) {
            size_t at = position_++;
            const char *name = names_.data() + order_[at];
            int error = name[-1] == DT_DIR ? read_listed_folder(listing_.fd(), name, buffer_,
                                                                package, locks_.get(at))
                                           : read_instance(listing_.fd(), name, buffer_, package);
            if (error != not_an_instance)
                return error;
        }
        return ESRCH;
    }

    std::shared_ptr<Package> find(std::string_view instance) override
    {
        std::shared_ptr<Package> package;
        // A name that is no instance: empty, hidden, or leading elsewhere.
        if (instance.empty() || instance[0] == '.' || instance.find('/') != std::string_view::npos)
            return package;
        std::string name(instance);
        base::Fd root(open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root.get() < 0 || read_instance(root.get(), name.c_str(), buffer_, package) != 0)
            package.reset();
        return package;
    }

  private:
    // The names are read once, up front: the order is by name, and the
    // folder's own order is not.
    int list()
    {
        // What the lookups ahead read is about to change.
        locks_.stop();
        // The root itself may be a link.
        base::Folder dir = base::open_folder(AT_FDCWD, root_.c_str(), true);
        if (!dir)
            return errno;
        names_.clear();
        order_.clear();
        int error = base::each_entry(dir, [&](const dirent &entry) {
            // Entries known to be neither folders nor links cost no open.
            if (entry.d_name[0] == '.' ||
                (entry.d_type != DT_DIR && entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN))
                return;
            names_.push_back(static_cast<char>(entry.d_type));
            order_.push_back(names_.size());
            names_.append(entry.d_name);
            names_.push_back('\0');
        });
        if (error != 0)
            return error;
        const char *names = names_.data();
        std::sort(order_.begin(), order_.end(),
                  [names](size_t a, size_t b) { return strcmp(names + a, names + b) < 0; });
        // Two lookups per instance, as many calls as reading its pkginfo:
        // they are done ahead, beside the reading and the printing. Started
        // before the listing is kept, so that a start that runs out of
        // memory leaves the next call to list again.
        locks_.start(order_.size(), [this, root = dir.fd()](size_t i, bool &locked) {
            const char *name = names_.data() + order_[i];
            char path[path_size];
            size_t at = name[-1] == DT_DIR ? listed_folder_path(name, path) : 0;
            locked = at != 0 && is_locked(root, path, at);
        });
        listing_ = std::move(dir);
        position_ = 0;
        return 0;
    }

    std::string root_;
    base::Folder listing_;
    std::string names_;         // every name, led by its type and ended by a NUL
    std::vector<size_t> order_; // offsets into names_, in byte order
    size_t position_ = 0;
    std::string buffer_; // the "pkginfo" file being read
    // Whether each listed folder holds a lock, by position in order_. Last,
    // so that its thread ends before what it reads goes.
    base::LookAhead<bool> locks_;
};

} // namespace

std::unique_ptr<Source> open_folder_source(const std::string &root)
{
    return std::make_unique<FolderSource>(root);
}

} // namespace adm
