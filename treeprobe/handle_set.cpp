#include "handle_set.h"

#include <cstdlib>
#include <cstring>

static size_t slot_of(const handle_set *set, uint64_t handle)
{
    // The stand-in's handles are consecutive; the multiplier spreads them.
    return static_cast<size_t>((handle * 0x9e3779b97f4a7c15ULL) >> 20) & (set->capacity - 1);
}

bool set_contains(const handle_set *set, uint64_t handle)
{
    if (handle == 0)
        return set->has_zero;
    if (set->capacity == 0)
        return false;
    for (size_t i = slot_of(set, handle);; i = (i + 1) & (set->capacity - 1)) {
        if (set->slots[i] == handle)
            return true;
        if (set->slots[i] == 0)
            return false;
    }
}

static bool set_grow(handle_set *set)
{
    handle_set grown{};
    grown.capacity = set->capacity == 0 ? 64 : set->capacity * 2;
    grown.slots = static_cast<uint64_t *>(calloc(grown.capacity, sizeof *grown.slots));
    if (grown.slots == nullptr)
        return false;
    grown.has_zero = set->has_zero;
    // Half full at most, the grown set has room for all: no insert here grows.
    for (size_t i = 0; i < set->capacity; i++)
        if (set->slots[i] != 0)
            (void)set_insert(&grown, set->slots[i]);
    free(set->slots);
    *set = grown;
    return true;
}

bool set_insert(handle_set *set, uint64_t handle)
{
    if (handle == 0) {
        set->has_zero = true;
        return true;
    }
    if (2 * (set->count + 1) > set->capacity && !set_grow(set))
        return false;
    size_t i = slot_of(set, handle);
    while (set->slots[i] != 0 && set->slots[i] != handle)
        i = (i + 1) & (set->capacity - 1);
    if (set->slots[i] == 0)
        set->count++;
    set->slots[i] = handle;
    return true;
}

void set_clear(handle_set *set)
{
    if (set->count > 0)
        memset(set->slots, 0, set->capacity * sizeof *set->slots);
    set->count = 0;
    set->has_zero = false;
}
