// treeprobe: writes one record per node of the platform information tree.
// The library is bound at run time; everything reaches it through the
// pointers below, which the unit tests point at a test double instead.
#ifndef PROBES_TREEPROBE_H
#define PROBES_TREEPROBE_H

#include "lumo.h"

#include <cstddef>
#include <cstdint>

// treeprobe's statuses beyond the shared ones: the library could not be
// bound; every other failure, and output that was lost.
inline constexpr int treeprobe_library_not_bound_status = 2;
inline constexpr int treeprobe_failure_status = 3;

extern decltype(&lumo_initialize) lumo_initialize_ptr;
extern decltype(&lumo_shutdown) lumo_shutdown_ptr;
extern decltype(&lumo_get_root) lumo_get_root_ptr;
extern decltype(&lumo_get_first_prop) lumo_get_first_prop_ptr;
extern decltype(&lumo_get_next_prop) lumo_get_next_prop_ptr;
extern decltype(&lumo_get_propinfo) lumo_get_propinfo_ptr;
extern decltype(&lumo_get_propval) lumo_get_propval_ptr;
extern decltype(&lumo_get_propval_by_name) lumo_get_propval_by_name_ptr;
extern decltype(&lumo_get_next_by_row) lumo_get_next_by_row_ptr;
extern decltype(&lumo_get_next_by_col) lumo_get_next_by_col_ptr;
extern decltype(&lumo_strerror) lumo_strerror_ptr;

// Largest value a property or cell may have; every value buffer holds this.
inline constexpr size_t value_buffer_size = 524288;

// The bytes the last table's text needed, its terminator included.
extern uint32_t tablestringbufneed;

// 1 when the library is loaded and all eleven operations are bound, else 0;
// dlerror() then says why.
int load_lumo_libs();

// The run after the library is bound: initialize, walk from the root, shut
// down. Returns the exit status; fatal failures exit on their own.
int walk_platform_tree();

// The text of a property's value, in a buffer the next call overwrites.
const char *lumostrval(uint64_t handle, const lumo_propinfo_t &info, const void *value);

// Writes what "%#llx" does for the number, "0x" and the lowercase digits
// or 0 alone, and a NUL to text, which has room for 19 bytes. Returns the
// length without the NUL.
size_t put_hex(unsigned long long number, char *text);

// ---- Shared by the walk and the renderer ----

// The library's text for a code; never a null pointer for "%s".
const char *error_text(int code);

// Codes after which nothing the library says can be trusted.
bool is_fatal(int code);

// The one end of a failed run: writes the error record, its message
// formatted into errmsg, then exits through the frame's way out with
// treeprobe_failure_status.
[[noreturn]] void fatal_error(int32_t id, int32_t number, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// fatal_error for a failed allocation, whose error number is in errno.
[[noreturn]] void allocation_failure();

#endif
