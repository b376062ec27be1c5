// The library's tree model: nodes with their property lists, tables of
// cells, and the result codes injected for fault tests. Whatever fills it
// (a platform description file, or the running host) only calls the
// builders below; the library's operations only read it, after asking
// complete() to fill in what a source left pending.
#ifndef PROBES_PLATFORM_LUMO_TREE_H
#define PROBES_PLATFORM_LUMO_TREE_H

#include "lumo.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lumo
{

enum class Kind : uint8_t { node, property, table, cell };

// Operations that a fault can be injected on, by the object they are
// asked of.
enum Operation : uint8_t {
    op_first_prop, // node: lumo_get_first_prop
    op_name,       // node: lumo_get_propval_by_name "name"
    op_child,      // node: lumo_get_propval_by_name "_child"
    op_peer,       // node: lumo_get_propval_by_name "_peer"
    op_info,       // property or cell: lumo_get_propinfo
    op_value,      // property or cell: lumo_get_propval
    op_next,       // property: lumo_get_next_prop; cell: lumo_get_next_by_row
    op_next_row,   // a row's first cell: lumo_get_next_by_col
    op_first_cell, // table: lumo_get_next_by_col
    op_count,
};

// One object of the tree. The links mean, by kind:
//   node:     first/last = its properties, down/last_down = its children,
//             next = its next peer
//   property: next = the next property of its node
//   table:    first = the first row's first cell, last_down = the last
//             row's first cell, last = the last row's last cell
//   cell:     next = the next cell of its row, down = the next row's first
//             cell (a row's first cell only)
// A link is the handle it leads to, 0 for none. Links and offsets are 32
// bits wide, and a node's or table's lists share their room with the value
// and the name that only properties and cells have, so that a
// million-object tree stays small: the kind tells which of each pair holds.
// A cell's name is empty, whatever down holds.
// A pending object is one its source fills in when it is first asked for:
// a node whose properties after its name and whose children are not listed
// yet, or a property whose value is not read yet. origin is the source's
// own reference to where the object comes from.
struct Object {
    uint32_t next = 0;
    union {
        uint32_t first = 0; // node, table
        uint32_t value_offset;
    };
    union {
        uint32_t down = 0; // node, cell
        uint32_t name_offset;
    };
    union {
        uint32_t last = 0; // node, table
        uint32_t value_length;
    };
    union {
        uint32_t last_down = 0; // node, table
        int32_t type;
    };
    uint32_t origin = 0;
    Kind kind = Kind::node;
    bool faulty = false;
    bool pending = false;
    // Its source failed to fill it in for want of memory: every operation
    // on it fails, rather than serve what was there before.
    bool broken = false;
};

class Tree;

// Fills in the pending objects of a tree, each once.
class Source
{
  public:
    virtual ~Source() = default;
    // Adds the node's remaining properties and its children.
    virtual void list(Tree &tree, uint64_t node, uint32_t origin) = 0;
    // Gives the property its value with set_value and returns 0, or returns
    // the code that fetching its value answers with from then on. It may
    // fill in other pending properties on the way (Tree::fill), as one
    // trip to where the values come from serves several.
    virtual int read(Tree &tree, uint64_t property, uint32_t origin) = 0;
};

class Tree
{
  public:
    // Room for that many bytes of values, so that a large tree's are not
    // copied as they grow. Untouched room costs nothing.
    void reserve(size_t bytes)
    {
        values_.reserve(bytes);
    }

    // The offset of a name among the tree's names, the name added there
    // the first time: a tree of many nodes names their properties alike, so
    // each name is kept once, and two names are the same when their
    // offsets are.
    uint32_t intern(std::string_view name);

    // The root is the first node added without a parent; there is one.
    uint64_t add_node(uint64_t parent, std::string_view name);
    // Appends a property to the node's list; the value's length is its size.
    // Given string, the value is a character string: its type is
    // LUMO_TYPE_STRING and a NUL is added to its bytes, as to each below.
    uint64_t add_property(uint64_t node, std::string_view name, int32_t type,
                          std::string_view value, bool string = false)
    {
        return add_property(node, intern(name), type, value, string);
    }
    // The same with a name that intern gave.
    uint64_t add_property(uint64_t node, uint32_t name, int32_t type, std::string_view value,
                          bool string = false);
    uint64_t add_string(uint64_t node, std::string_view name, std::string_view text)
    {
        return add_property(node, name, LUMO_TYPE_STRING, text, true);
    }
    uint64_t add_table();
    // Starts a new row of the table; cells then go into it.
    void add_row(uint64_t table);
    uint64_t add_cell(uint64_t table, int32_t type, std::string_view value, bool string = false);
    // Result code that the operation on the object answers with instead.
    void set_fault(uint64_t handle, Operation operation, int32_t code);
    // Makes the node's first child, or its next peer, any 32-bit handle.
    void set_link(uint64_t node, bool child, uint64_t target);

    // Objects that the source fills in later; a pending property is a
    // character string until it is read.
    uint64_t add_pending_node(uint64_t parent, std::string_view name, uint32_t origin)
    {
        return pending(add_node(parent, name), origin);
    }
    uint64_t add_pending_property(uint64_t node, std::string_view name, uint32_t origin)
    {
        return pending(add_property(node, name, LUMO_TYPE_STRING, {}), origin);
    }
    void set_value(uint64_t property, int32_t type, std::string_view value, bool string = false);
    // Marks a pending property filled in: with its value set, for code 0,
    // or answering code when its value is fetched from then on.
    void fill(uint64_t property, int code);
    // Has the source fill in the object if it is pending; anything else,
    // an unknown handle included, is left as it is. Only running out of
    // memory throws, and leaves the object broken.
    void complete(uint64_t handle);
    std::unique_ptr<Source> source;

    // Null for a handle that names no object.
    const Object *find(uint64_t handle) const
    {
        uint64_t index = handle - first_handle;
        return index < object_count_ ? &blocks_[index / block_objects][index % block_objects]
                                     : nullptr;
    }
    // 0 when no fault is injected there; 1 (failure) on a broken object.
    int32_t fault(uint64_t handle, const Object &object, Operation operation) const;
    const char *name(const Object &object) const
    {
        return object.kind == Kind::property ? names_.data() + object.name_offset : "";
    }
    const unsigned char *value(const Object &object) const
    {
        return reinterpret_cast<const unsigned char *>(values_.data()) + object.value_offset;
    }
    uint64_t root() const
    {
        return root_;
    }

    // Codes that lumo_initialize and lumo_get_root answer with instead.
    int32_t initialize_fault = 0;
    int32_t root_fault = 0;

    // Handles are positions in the order of creation, offset so that no
    // object has the handle 0: the same input always gives the same handles.
    static constexpr uint64_t first_handle = 0x10000;

  private:
    // A string's value has a NUL added. The name is an offset from intern.
    uint32_t add(Kind kind, uint32_t name, int32_t type, std::string_view value,
                 bool string = false);
    uint64_t pending(uint64_t handle, uint32_t origin);
    // Gives the object the value, with a NUL added for a string.
    void store(Object &object, int32_t type, std::string_view value, bool string);
    // Links the object after the tail of a list along the objects' next.
    void append(uint32_t &head, uint32_t &tail, uint32_t handle);
    Object &at(uint64_t handle)
    {
        uint64_t index = handle - first_handle;
        return blocks_[index / block_objects][index % block_objects];
    }

    // The objects in blocks that never move, so that a growing tree is
    // never copied and never held twice.
    static constexpr size_t block_objects = 65536;
    std::vector<std::vector<Object>> blocks_;
    size_t object_count_ = 0;
    std::string names_ = std::string(1, '\0'); // offset 0: cells' and tables' empty name
    // The offsets of the names, open addressed by their hash; 0 is free.
    std::vector<uint32_t> name_slots_;
    size_t name_count_ = 0;
    // Appended to without first zeroing what is appended.
    std::string values_;
    std::unordered_map<uint64_t, std::array<int32_t, op_count>> faults_;
    uint64_t root_ = 0;
};

} // namespace lumo

#endif
