#include "tree.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace lumo
{

namespace
{

// The hash of a name for the name slots: names are short, so eight bytes
// at a time, the last eight (or, of a shorter name, its first and last
// bytes) in one more step.
size_t name_hash(std::string_view name)
{
    constexpr uint64_t multiplier = 0x9e3779b97f4a7c15;
    const char *at = name.data();
    size_t size = name.size();
    uint64_t hash = size * multiplier;
    uint64_t word = 0;
    if (size >= 8) {
        for (; size > 8; at += 8, size -= 8) {
            memcpy(&word, at, sizeof word);
            hash = (hash ^ word) * multiplier;
            hash ^= hash >> 29;
        }
        memcpy(&word, at + size - 8, sizeof word);
    } else if (size >= 4) {
        uint32_t first;
        uint32_t last;
        memcpy(&first, at, sizeof first);
        memcpy(&last, at + size - 4, sizeof last);
        word = uint64_t{first} << 32 | last;
    } else if (size > 0) {
        word = static_cast<unsigned char>(at[0]) << 16 |
               static_cast<unsigned char>(at[size / 2]) << 8 |
               static_cast<unsigned char>(at[size - 1]);
    }
    hash = (hash ^ word) * multiplier;
    return static_cast<size_t>(hash ^ hash >> 32);
}

// Objects whose room is faulted in with one call as the first of them is
// added: faulting a page at a time costs this machine more than filling
// the objects does, and a run of them ahead adds little to the peak.
constexpr size_t populate_objects = 4096;

// Has the kernel map the whole pages of the range writable at once, where
// it can; any other page faults in when first written, as it would.
void populate(void *first, size_t bytes)
{
#ifdef MADV_POPULATE_WRITE
    static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(first) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(first) + bytes) & ~(page - 1);
    if (end > start)
        (void)madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
    (void)first;
    (void)bytes;
#endif
}

} // namespace

uint32_t Tree::intern(std::string_view name)
{
    if (name.empty())
        return 0;
    // Kept at most half full, so that a probe ends soon at a free slot.
    if (2 * (name_count_ + 1) > name_slots_.size()) {
        std::vector<uint32_t> slots(std::max<size_t>(64, 2 * name_slots_.size()), 0);
        for (uint32_t offset : name_slots_) {
            if (offset == 0)
                continue;
            size_t at = name_hash(names_.data() + offset) & (slots.size() - 1);
            while (slots[at] != 0)
                at = (at + 1) & (slots.size() - 1);
            slots[at] = offset;
        }
        name_slots_.swap(slots);
    }
    size_t mask = name_slots_.size() - 1;
    size_t at = name_hash(name) & mask;
    for (; name_slots_[at] != 0; at = (at + 1) & mask)
        if (names_.compare(name_slots_[at], name.size(), name) == 0 &&
            names_[name_slots_[at] + name.size()] == '\0')
            return name_slots_[at];
    if (names_.size() + name.size() >= UINT32_MAX)
        throw std::bad_alloc();
    auto offset = static_cast<uint32_t>(names_.size());
    names_.append(name).push_back('\0');
    name_slots_[at] = offset;
    name_count_++;
    return offset;
}

void Tree::store(Object &object, int32_t type, std::string_view value, bool string)
{
    // Beyond what 32-bit offsets reach, the tree is too large.
    if (values_.size() + value.size() + 1 >= UINT32_MAX)
        throw std::bad_alloc();
    object.type = string ? LUMO_TYPE_STRING : type;
    object.value_offset = static_cast<uint32_t>(values_.size());
    object.value_length = static_cast<uint32_t>(value.size() + (string ? 1 : 0));
    values_.append(value);
    if (string)
        values_.push_back('\0');
}

uint32_t Tree::add(Kind kind, uint32_t name, int32_t type, std::string_view value, bool string)
{
    if (first_handle + object_count_ >= UINT32_MAX)
        throw std::bad_alloc();
    if (object_count_ / block_objects == blocks_.size()) {
        blocks_.emplace_back();
        blocks_.back().reserve(block_objects);
    }
    static_assert(block_objects % populate_objects == 0, "a block holds whole runs");
    if (size_t at = object_count_ % block_objects; at % populate_objects == 0)
        populate(blocks_.back().data() + at, populate_objects * sizeof(Object));
    Object object;
    object.kind = kind;
    // Nodes and tables hold lists where the others hold a name and a value.
    if (kind == Kind::property || kind == Kind::cell) {
        object.name_offset = name;
        store(object, type, value, string);
    }
    blocks_.back().push_back(object);
    return static_cast<uint32_t>(first_handle + object_count_++);
}

void Tree::append(uint32_t &head, uint32_t &tail, uint32_t handle)
{
    if (tail == 0)
        head = handle;
    else
        at(tail).next = handle;
    tail = handle;
}

uint64_t Tree::add_node(uint64_t parent, std::string_view name)
{
    uint32_t handle = add(Kind::node, 0, 0, {});
    if (parent == 0) {
        root_ = handle;
    } else {
        Object &up = at(parent);
        append(up.down, up.last_down, handle);
    }
    // Every node lists its name first, as a character string.
    add_string(handle, "name", name);
    return handle;
}

uint64_t Tree::add_property(uint64_t node, uint32_t name, int32_t type, std::string_view value,
                            bool string)
{
    uint32_t handle = add(Kind::property, name, type, value, string);
    Object &owner = at(node);
    append(owner.first, owner.last, handle);
    return handle;
}

uint64_t Tree::add_table()
{
    return add(Kind::table, 0, 0, {});
}

void Tree::add_row(uint64_t table)
{
    // A row exists once its first cell does; mark it to come by clearing
    // the last cell, so the next cell starts the row.
    at(table).last = 0;
}

uint64_t Tree::add_cell(uint64_t table, int32_t type, std::string_view value, bool string)
{
    uint32_t handle = add(Kind::cell, 0, type, value, string);
    Object &owner = at(table);
    if (owner.last != 0) {
        at(owner.last).next = handle;
    } else {
        if (owner.last_down == 0)
            owner.first = handle;
        else
            at(owner.last_down).down = handle;
        owner.last_down = handle;
    }
    owner.last = handle;
    return handle;
}

void Tree::set_fault(uint64_t handle, Operation operation, int32_t code)
{
    auto [entry, added] = faults_.try_emplace(handle);
    if (added)
        entry->second.fill(0);
    entry->second[operation] = code;
    at(handle).faulty = true;
}

void Tree::set_link(uint64_t node, bool child, uint64_t target)
{
    (child ? at(node).down : at(node).next) = static_cast<uint32_t>(target);
}

uint64_t Tree::pending(uint64_t handle, uint32_t origin)
{
    at(handle).pending = true;
    at(handle).origin = origin;
    return handle;
}

void Tree::set_value(uint64_t property, int32_t type, std::string_view value, bool string)
{
    store(at(property), type, value, string);
}

void Tree::fill(uint64_t property, int code)
{
    at(property).pending = false;
    if (code != 0)
        set_fault(property, op_value, code);
}

void Tree::complete(uint64_t handle)
{
    const Object *object = find(handle);
    if (object == nullptr || !object->pending)
        return;
    // Cleared first: a source that fails halfway is not asked again.
    at(handle).pending = false;
    Kind kind = object->kind;
    uint32_t origin = object->origin;
    try {
        if (kind == Kind::node) {
            source->list(*this, handle, origin);
            return;
        }
        fill(handle, source->read(*this, handle, origin));
    } catch (...) {
        at(handle).broken = true;
        throw;
    }
}

int32_t Tree::fault(uint64_t handle, const Object &object, Operation operation) const
{
    if (object.broken)
        return LUMO_FAILURE;
    if (!object.faulty)
        return 0;
    return faults_.at(handle)[operation];
}

} // namespace lumo
