// The running Linux host as a platform tree from its sysfs: the machine's
// identity on the root, below it a node per folder of the device hierarchy
// with its attribute files as properties, each listed or read when first
// asked for (a folder may be listed and its files read a little before,
// while the files of the one before it in a walk are read), files by a
// reader process: a read stuck in a driver costs one property and a
// bounded wait.
#ifndef PROBES_PLATFORM_LUMO_LINUX_SYSFS_H
#define PROBES_PLATFORM_LUMO_LINUX_SYSFS_H

#include "tree.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumo
{

// Larger attribute files answer 28 instead of their value.
inline constexpr size_t attribute_cap = 65536;

// A driver may make a read wait for its device, for ever. A file not read
// within attribute_ms answers 28, and once the reads of a run have taken
// run_ms together, every file asked for after that answers 28 unread.
struct ReadBounds {
    int attribute_ms = 1000;
    int run_ms = 30000;
};

// An attribute the tree's own names already take (the node's "name", the
// links "_child" and "_peer", the root's identity) is served under its name
// with this in front, as many times as it takes to be unique.
inline constexpr const char renamed_prefix[] = "sysfs_";

// For tests: the reading process calls it with each file's path just before
// opening it, so that a test can make a read hang as a driver can.
extern void (*before_attribute_read)(const char *path);

// Makes the empty tree serve the host whose sysfs is at sysfs ("/sys" on a
// running host; tests give a folder of their own). Returns false with
// problem set when its device folder cannot be served.
bool serve_host(Tree &tree, const std::string &sysfs, std::string &problem, ReadBounds bounds = {});

// What a folder lists that the tree serves.
enum class EntryKind : uint8_t { folder, attribute, link };
struct Entry {
    std::string name;
    EntryKind kind;
    std::string link_target; // a link's: the last component of its target
    std::string served;      // an attribute's: the property name (name_entries)
};

// Sorts a folder's entries by name and gives each attribute the name it is
// served under, unique among taken (the node's names so far) and the
// entries' own names.
void name_entries(std::vector<Entry> &entries, std::vector<std::string> taken);

// Gives the property an attribute file's bytes as its value: a byte array,
// a character string of one line, or a table of one string per line.
void set_attribute(Tree &tree, uint64_t property, std::string_view bytes);

} // namespace lumo

#endif
