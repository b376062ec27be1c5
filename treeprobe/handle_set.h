// A set of the library's 64-bit handles: which tables a value has reached,
// which nodes the walk has written.
#ifndef PROBES_TREEPROBE_HANDLE_SET_H
#define PROBES_TREEPROBE_HANDLE_SET_H

#include <cstddef>
#include <cstdint>

// Open addressing with linear probing: membership in constant time, on
// malloc alone, so the program needs no C++ runtime. Slot value 0 marks a
// free slot; handle 0, a valid handle, is kept aside in has_zero. A
// zero-initialized set is empty.
struct handle_set {
    uint64_t *slots;
    size_t capacity; // a power of two, or 0
    size_t count;
    bool has_zero;
};

bool set_contains(const handle_set *set, uint64_t handle);
// False when the set had to grow and could not; errno says why.
bool set_insert(handle_set *set, uint64_t handle);
// Empties the set and keeps its slots for the next use.
void set_clear(handle_set *set);

#endif
