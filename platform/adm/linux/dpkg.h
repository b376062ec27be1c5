// The dpkg database's parsers, which tests and fuzz targets call alone.
#ifndef PROBES_PLATFORM_ADM_LINUX_DPKG_H
#define PROBES_PLATFORM_ADM_LINUX_DPKG_H

#include "pkgdb.h"

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adm
{

// One stanza of a dpkg "status" file. The views point into the file's text;
// an absent field has no value, and description is empty when Description
// has no continuation.
struct StatusEntry {
    std::string_view name;
    // Installed, wholly or in part; status tells which.
    bool listed = false;
    char status = status_installed;
    std::optional<std::string_view> arch;
    std::optional<std::string_view> version;
    std::optional<std::string_view> maintainer;
    std::optional<std::string_view> section;
    std::optional<std::string_view> homepage;
    std::optional<std::string_view> multi_arch;
    // The first line of Description, and its continuation lines as they
    // stand in the file (each still led by its blank).
    std::optional<std::string_view> synopsis;
    std::string_view description;
};

// The stanzas of a status file that name a package, in file order.
std::vector<StatusEntry> parse_status_file(std::string_view text);

// Lays the stanzas of the journal's files, in order, over the entries of
// status: each stands for the entry of the same package and architecture.
// The texts must outlive the entries.
void merge_journal(std::vector<StatusEntry> &entries, const std::deque<std::string> &journal);

// The extended description folded into one line: the continuation lines,
// each without the blank that marks it, joined by single blanks; a line of
// "." alone, the package tools' paragraph break, is dropped.
std::string join_description(std::string_view continuation);

// Writes into name, of room bytes, the name in "info/" of the package's
// file list, whose time tells when it was installed: false for a name that
// would leave "info/" or not fit. Allocates nothing.
bool list_name(const StatusEntry &entry, char *name, size_t room);

} // namespace adm

#endif
