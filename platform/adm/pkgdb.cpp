#include "pkgdb.h"

#include "text.h"

#include <cstring>
#include <sys/stat.h>

namespace adm
{

void Package::add(std::string_view name, std::string_view value)
{
    size_t at = text_.size();
    text_.append(name).push_back('\0');
    text_.append(value).push_back('\0');
    entries_.push_back({at, name.size(), at + name.size() + 1});
}

char *Package::find(std::string_view name) const
{
    // The first byte tells most names of the same length apart without a
    // call; every name ends with a NUL, so an empty one is read safely.
    const char first = name.empty() ? '\0' : name[0];
    for (const Entry &entry : entries_)
        if (entry.name_length == name.size() && *at(entry.name) == first &&
            memcmp(at(entry.name), name.data(), name.size()) == 0)
            return at(entry.value);
    return nullptr;
}

std::optional<std::string_view> maintainer_address(std::string_view maintainer)
{
    size_t open = maintainer.find('<');
    size_t close = maintainer.find('>', open + 1);
    if (open == std::string_view::npos || close == std::string_view::npos)
        return std::nullopt;
    return maintainer.substr(open + 1, close - open - 1);
}

void parse_pkginfo_file(std::string_view text, Package &package)
{
    // Every line but the comments is a parameter, its "=" a NUL.
    size_t lines = 1;
    const char *end = text.data() + text.size();
    for (const char *at = text.data(); at != end; lines++) {
        at = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
        if (at == nullptr)
            break;
        at++;
    }
    package.reserve(text.size() + 1, lines);
    while (!text.empty()) {
        std::string_view line = base::next_line(text);
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
            return open_dpkg_source(roots.dpkg, roots.journal);
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
    // The caller asks by the instance of the record it was handed as a rule,
    // whose text is the package's own: no need to compare it.
    if (!looked_up ||
        (looked_up->instance().c_str() != instance && looked_up->instance() != instance)) {
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
