// Inside the package database functions: the package model that every
// source fills, the sources, and the enumeration and lookup state behind
// pkginfo() and pkgparam(). Not part of the library's interface; the
// functions take the database root so tests can point them at a folder.
#ifndef PROBES_ADM_PKGDB_H
#define PROBES_ADM_PKGDB_H

#include <pkginfo.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adm
{

inline constexpr char package_root[] = "/var/sadm/pkg";
inline constexpr char dpkg_root[] = "/var/lib/dpkg";
// Where rpm keeps its database: current systems first, then older ones.
inline constexpr const char *rpm_roots[] = {"/usr/lib/sysimage/rpm", "/var/lib/rpm"};

inline constexpr char status_installed = 0;
inline constexpr char status_partial = 1;

// One package instance as a source delivers it. Parameter names and values
// live NUL-terminated in one buffer, so the pointers handed to callers stay
// put for as long as the package lives.
class Package
{
  public:
    explicit Package(std::string_view instance) : instance_(instance) {}

    // Room for about bytes of names and values and count parameters, so
    // that adding them does not move what was added before.
    void reserve(size_t bytes, size_t count)
    {
        text_.reserve(bytes);
        entries_.reserve(count);
    }
    // Only the first value given for a name is ever found.
    void add(std::string_view name, std::string_view value);
    // The value of a parameter, or nullptr.
    char *find(std::string_view name) const;

    const std::string &instance() const
    {
        return instance_;
    }
    char *instance_text()
    {
        return instance_.data();
    }
    char status = status_installed;

  private:
    struct Entry {
        size_t name;
        size_t name_length;
        size_t value;
    };
    std::string instance_;
    std::string text_;
    std::vector<Entry> entries_;
    // Offsets stay valid while text_ grows; pointers are made on demand.
    char *at(size_t offset) const
    {
        return const_cast<char *>(text_.data()) + offset;
    }
};

// Upper bounds on what the sources read, far above any real database: a
// file beyond its bound is refused (EFBIG) rather than read until memory
// runs out, and so is a journal or an rpm reader's stream beyond its own.
inline constexpr size_t pkginfo_cap = size_t{1} << 20;
inline constexpr size_t status_cap = size_t{256} << 20;
inline constexpr size_t journal_file_cap = size_t{64} << 20;
inline constexpr size_t journal_cap = size_t{256} << 20;
inline constexpr size_t rpm_stream_cap = size_t{256} << 20;

// The lines of a "pkginfo" file: PARAM=value, the value everything after the
// first "=" up to the line feed; comment lines and lines without "=" ignored.
void parse_pkginfo_file(std::string_view text, Package &package);

// A package database, read as one pass over its instances in ascending byte
// order of their names.
class Source
{
  public:
    virtual ~Source() = default;
    // 0 with the next package, ESRCH when all have been delivered, or the
    // errno of a failed read. A failed instance is passed over.
    virtual int next(std::shared_ptr<Package> &package) = 0;
    // The package of one instance, for parameter lookups; nullptr when the
    // database has no such instance or it cannot be read.
    virtual std::shared_ptr<Package> find(std::string_view instance) = 0;
};

// A source read whole on first use into items sorted by their instance:
// load() fills installed and answers 0 or an errno, make_package builds one.
template <typename Item> class LoadedSource : public Source
{
  public:
    int next(std::shared_ptr<Package> &package) override
    {
        int error = loaded ? 0 : load_once();
        if (error == 0 && position >= installed.size())
            error = ESRCH;
        if (error == 0)
            package = make_package(installed[position++]);
        return error;
    }

    std::shared_ptr<Package> find(std::string_view instance) override
    {
        if (!loaded && load_once() != 0)
            return nullptr;
        auto found = std::lower_bound(
            installed.begin(), installed.end(), instance,
            [](const Item &item, std::string_view wanted) { return item.instance < wanted; });
        if (found == installed.end() || found->instance != instance)
            return nullptr;
        return make_package(*found);
    }

  protected:
    virtual int load() = 0;
    virtual std::shared_ptr<Package> make_package(const Item &item) = 0;
    std::vector<Item> installed; // in byte order of the instance

  private:
    int load_once()
    {
        int error = load();
        loaded = error == 0;
        position = 0;
        return error;
    }
    bool loaded = false;
    size_t position = 0;
};

// The database folder: one subfolder per instance, holding "pkginfo".
std::unique_ptr<Source> open_folder_source(const std::string &root);

// The address between the first "<" and the next ">" of a maintainer or
// packager, or nothing.
std::optional<std::string_view> maintainer_address(std::string_view maintainer);

// The host's package tools' database: "status" and "info/" in root, and
// at most journal bytes of "updates/".
std::unique_ptr<Source> open_dpkg_source(const std::string &root, size_t journal);

// The librpm backend of the rpm database in folder, told by its file, or
// nullptr when the folder holds none.
const char *rpm_database_backend(const std::string &folder);

// The rpm database in folder, read through librpm with that backend.
std::unique_ptr<Source> open_rpm_source(const std::string &folder, const char *backend);

// Where the databases live: tests point them at temporary folders.
struct Roots {
    std::string folder;                // the database folder
    std::string dpkg;                  // served only when the database folder is missing
    std::vector<std::string> rpm = {}; // the first holding a database, when neither is there
    size_t journal = journal_cap;      // lower in tests
};

// The source that serves the roots.
std::unique_ptr<Source> open_source(const Roots &roots);

// pkginfo(info, "all", NULL, NULL) over the databases at roots.
int next_package(const Roots &roots, struct pkginfo *info);
// pkginfo(info, NULL): forget the enumeration and its packages.
void end_enumeration(struct pkginfo *info);
// pkgparam(instance, name) over the databases at roots.
char *find_param(const Roots &roots, const char *instance, const char *name);
// pkgparam(NULL, NULL): forget the package of the last lookups.
void end_lookups();

} // namespace adm

#endif
