// Any text given as a platform description is either read or refused with
// a problem; it never crashes the library.
#include "description.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    lumo::Tree tree;
    std::string problem;
    bool read = lumo::read_description(std::string_view(reinterpret_cast<const char *>(data), size),
                                       tree, problem);
    if (read != problem.empty())
        __builtin_trap();
    return 0;
}
