#include "pkgdb.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace adm
{

void Package::append_field(std::string_view field)
{
    text_.append(field);
    text_.push_back('\0');
}

void Package::add(std::string_view name, std::string_view value)
{
    Entry entry;
    entry.name = text_.size();
    entry.name_length = name.size();
    append_field(name);
    entry.value = text_.size();
    append_field(value);
    entries_.push_back(entry);
}

char *Package::find(std::string_view name) const
{
    for (const Entry &entry : entries_)
        if (std::string_view(at(entry.name), entry.name_length) == name)
            return at(entry.value);
    return nullptr;
}

int read_regular_file(int dir, const char *path, size_t cap, std::string &buffer, size_t &length)
{
    length = 0;
    // Non-blocking, so a FIFO in the file's place cannot hang the caller.
    int fd = openat(dir, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return errno;
    struct stat st;
    int error = fstat(fd, &st) != 0                        ? errno
                : S_ISDIR(st.st_mode)                      ? EISDIR
                : !S_ISREG(st.st_mode)                     ? EINVAL
                : static_cast<uintmax_t>(st.st_size) > cap ? EFBIG
                                                           : 0;
    // The size is only a first guess: the file may change while it is read.
    if (error == 0 && buffer.size() <= static_cast<size_t>(st.st_size))
        buffer.resize(static_cast<size_t>(st.st_size) + 1);
    while (error == 0) {
        if (length == buffer.size()) {
            if (length > cap)
                break;
            buffer.resize(std::min(std::max(buffer.size() * 2, size_t{4096}), cap + 1));
        }
        ssize_t got = read(fd, buffer.data() + length, buffer.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            error = errno;
        if (got <= 0)
            break;
        length += static_cast<size_t>(got);
        // A short read is the end of a regular file.
        if (length < buffer.size())
            break;
    }
    (void)close(fd);
    return error == 0 && length > cap ? EFBIG : error;
}

void parse_pkginfo_file(std::string_view text, Package &package)
{
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.starts_with('#'))
            continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        package.add(line.substr(0, equals), line.substr(equals + 1));
    }
}

std::unique_ptr<Source> open_source(const Roots &roots)
{
    // The package tools' own databases stand in only where the database
    // folder is missing altogether; any other failure to reach the folder
    // is reported as it is.
    struct stat st;
    if (stat(roots.folder.c_str(), &st) != 0 && errno == ENOENT) {
        if (stat((roots.dpkg + "/status").c_str(), &st) == 0)
            return open_dpkg_source(roots.dpkg);
        for (const std::string &folder : roots.rpm)
            if (const char *backend = rpm_database_backend(folder))
                return open_rpm_source(folder, backend);
    }
    return open_folder_source(roots.folder);
}

// The enumeration lives from the first "all" request to pkginfo(info, NULL);
// the package delivered last is kept until the next request, so the strings
// in the caller's record stay valid that long.
static std::unique_ptr<Source> enumeration;
static std::shared_ptr<Package> delivered;
// The package of the lookups in progress. When it is the package just
// delivered the two share it, so its file is not read again.
static std::shared_ptr<Package> looked_up;

static void fill_record(struct pkginfo *info, Package &package)
{
    info->pkginst = package.instance_text();
    info->name = package.find("NAME");
    info->arch = package.find("ARCH");
    info->version = package.find("VERSION");
    info->vendor = package.find("VENDOR");
    info->basedir = package.find("BASEDIR");
    info->catg = package.find("CATEGORY");
    info->status = package.status;
}

int next_package(const Roots &roots, struct pkginfo *info)
{
    if (!enumeration)
        enumeration = open_source(roots);
    delivered.reset();
    int error = enumeration->next(delivered);
    if (error != 0) {
        delivered.reset();
        errno = error;
        return -1;
    }
    fill_record(info, *delivered);
    return 0;
}

void end_enumeration(struct pkginfo *info)
{
    enumeration.reset();
    delivered.reset();
    if (info != nullptr)
        *info = {};
}

char *find_param(const Roots &roots, const char *instance, const char *name)
{
    if (instance == nullptr || name == nullptr)
        return nullptr;
    if (!looked_up || looked_up->instance() != instance) {
        if (delivered && delivered->instance() == instance) {
            looked_up = delivered;
        } else if (enumeration) {
            looked_up = enumeration->find(instance);
        } else {
            looked_up = open_source(roots)->find(instance);
        }
    }
    return looked_up ? looked_up->find(name) : nullptr;
}

void end_lookups()
{
    looked_up.reset();
}

} // namespace adm
