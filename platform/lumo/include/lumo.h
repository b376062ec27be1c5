// The platform information library: a tree of nodes, each with a list of
// typed properties, some of whose values are tables of cells. Every object
// is named by an opaque 64-bit handle; every operation but lumo_strerror
// returns a result code, 0 for success.
#ifndef PROBES_PLATFORM_LUMO_H
#define PROBES_PLATFORM_LUMO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    int32_t type;   // one of the LUMO_TYPE_ codes, or any other code
    int32_t access; // not used by the readers
    uint32_t size;  // bytes of the value
    char name[256]; // NUL-terminated
} lumo_propinfo_t;

enum {
    LUMO_TYPE_NONE = 0,
    LUMO_TYPE_VOID = 1,
    LUMO_TYPE_INT = 2,
    LUMO_TYPE_UINT = 3,
    LUMO_TYPE_FLOAT = 4,
    LUMO_TYPE_HANDLE = 5,
    LUMO_TYPE_TABLE = 6,
    LUMO_TYPE_TIMESTAMP = 7,
    LUMO_TYPE_BYTES = 8,
    LUMO_TYPE_STRING = 9,
};

enum {
    LUMO_OK = 0,
    LUMO_FAILURE = 1,
    LUMO_NOT_INITIALIZED = 2,
    LUMO_INVALID_ARGUMENT = 3,
    LUMO_NO_SUCH_PROPERTY = 7,
    LUMO_END_OF_LIST = 11,
    LUMO_STALE_HANDLE = 15,
    LUMO_INVALID_HANDLE = 16,
    LUMO_NOT_READABLE = 28,
    LUMO_BAD_DESCRIPTION = 40,
    LUMO_VALUE_TOO_LARGE = 41, // the value does not fit the caller's buffer
};

int lumo_initialize(void);
int lumo_shutdown(void);
int lumo_get_root(uint64_t *root);
int lumo_get_first_prop(uint64_t node, uint64_t *prop);
int lumo_get_next_prop(uint64_t prop, uint64_t *next);
int lumo_get_propinfo(uint64_t prop, lumo_propinfo_t *info);
int lumo_get_propval(uint64_t prop, void *buf, size_t size);
int lumo_get_propval_by_name(uint64_t node, const char *name, void *buf, size_t size);
int lumo_get_next_by_row(uint64_t cell, uint64_t *next);
int lumo_get_next_by_col(uint64_t table_or_cell, uint64_t *next);
const char *lumo_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif
