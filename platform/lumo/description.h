// The platform description file: a small text format that a person can
// write, read into the tree model. The format is documented in README.md.
#ifndef PROBES_PLATFORM_LUMO_DESCRIPTION_H
#define PROBES_PLATFORM_LUMO_DESCRIPTION_H

#include "tree.h"

#include <string>
#include <string_view>

namespace lumo
{

// Adds the described tree to an empty tree. On a fault returns false with
// problem set to "line N: what is wrong".
bool read_description(std::string_view text, Tree &tree, std::string &problem);

// The same for the description in a file, which must be a regular file of
// at most largest_description bytes; problem then says why it is refused.
bool read_description_file(const char *path, Tree &tree, std::string &problem);
inline constexpr size_t largest_description = 256 * 1024 * 1024;

} // namespace lumo

#endif
