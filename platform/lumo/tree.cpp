#include "tree.h"

#include <cstring>
#include <new>

namespace lumo
{

void Tree::reserve(size_t objects, size_t bytes)
{
    objects_.reserve(objects);
    names_.reserve(bytes);
    values_.reserve(bytes);
}

void Tree::store(Object &object, int32_t type, std::string_view value, bool string)
{
    // Beyond what 32-bit offsets reach, the tree is too large.
    if (values_.size() + value.size() + 1 >= UINT32_MAX)
        throw std::bad_alloc();
    object.type = string ? LUMO_TYPE_STRING : type;
    object.value_offset = static_cast<uint32_t>(values_.size());
    object.value_length = static_cast<uint32_t>(value.size() + (string ? 1 : 0));
    values_.insert(values_.end(), value.begin(), value.end());
    if (string)
        values_.push_back('\0');
}

uint32_t Tree::add(Kind kind, std::string_view name, int32_t type, std::string_view value,
                   bool string)
{
    if (first_handle + objects_.size() >= UINT32_MAX || names_.size() + name.size() >= UINT32_MAX)
        throw std::bad_alloc();
    Object object;
    object.kind = kind;
    if (!name.empty()) {
        object.name_offset = static_cast<uint32_t>(names_.size());
        names_.append(name);
        names_.push_back('\0');
    }
    store(object, type, value, string);
    objects_.push_back(object);
    return static_cast<uint32_t>(first_handle + objects_.size() - 1);
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
    uint32_t handle = add(Kind::node, {}, 0, {});
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

uint64_t Tree::add_property(uint64_t node, std::string_view name, int32_t type,
                            std::string_view value, bool string)
{
    uint32_t handle = add(Kind::property, name, type, value, string);
    Object &owner = at(node);
    append(owner.first, owner.last, handle);
    return handle;
}

uint64_t Tree::add_table()
{
    return add(Kind::table, {}, 0, {});
}

void Tree::add_row(uint64_t table)
{
    // A row exists once its first cell does; mark it to come by clearing
    // the last cell, so the next cell starts the row.
    at(table).last = 0;
}

uint64_t Tree::add_cell(uint64_t table, int32_t type, std::string_view value, bool string)
{
    uint32_t handle = add(Kind::cell, {}, type, value, string);
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
