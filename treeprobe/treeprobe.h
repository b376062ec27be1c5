// treeprobe: writes one record per node of the platform information tree.
// The library is bound at run time; everything reaches it through the
// pointers below, which the unit tests point at a test double instead.
#ifndef PROBES_TREEPROBE_H
#define PROBES_TREEPROBE_H

#include "lumo.h"

#include <cstddef>
#include <cstdint>

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
// Tables held in table cells are rendered in place up to this depth, the
// outermost table counting as 1.
inline constexpr int table_nesting_limit = 4;

extern char strvalbuf[4 * value_buffer_size + 1];
extern char *tablestringbuf;
extern uint32_t tablestringbufsz;
extern uint32_t tablestringbufneed;

// 1 when the library is loaded and all eleven operations are bound, else 0;
// dlerror() then says why.
int load_lumo_libs();

// The run after the library is bound: initialize, walk from the root, shut
// down. Returns the exit status; fatal failures exit on their own.
int walk_platform_tree();

const char *lumostrval(uint64_t handle, lumo_propinfo_t info, const void *value);
char *getbytearraystring(char *dest, const lumo_propinfo_t *info, const unsigned char *value);
char *gettablestring(uint64_t table);

#endif
