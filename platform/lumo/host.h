// The running Linux host as a platform tree, read from its sysfs folder
// tree: the machine's identity on the root, and below it one node for
// every folder of the device hierarchy, with the folder's attribute files
// as properties. Folders are listed and files read only when the tree's
// reader first asks for them.
#ifndef PROBES_PLATFORM_LUMO_HOST_H
#define PROBES_PLATFORM_LUMO_HOST_H

#include "tree.h"

#include <cstddef>
#include <string>

namespace lumo
{

// Larger attribute files answer 28 instead of their value.
inline constexpr size_t attribute_cap = 65536;

// Makes the empty tree serve the host whose sysfs is at sysfs ("/sys" on a
// running host; tests give a folder of their own). Returns false with
// problem set when its device folder cannot be served.
bool serve_host(Tree &tree, const std::string &sysfs, std::string &problem);

} // namespace lumo

#endif
