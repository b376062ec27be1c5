// A test double of the platform information library: a tree that each test
// builds in memory, with any result code injected on any call. bind_fake()
// points treeprobe's library pointers at it.
#ifndef PROBES_TESTS_TREEPROBE_FAKE_LUMO_H
#define PROBES_TESTS_TREEPROBE_FAKE_LUMO_H

#include "lumo.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// One node, property, table or cell. A code of 0 lets the call succeed;
// a link of 0 ends its list (11) or, for child and peer, is missing (7).
struct FakeObject {
    // node
    std::string name;
    int name_code = 0;
    uint64_t first_prop = 0;
    int first_prop_code = 0;
    uint64_t child = 0;
    int child_code = 0;
    uint64_t peer = 0;
    int peer_code = 0;
    // property or cell
    lumo_propinfo_t info{};
    int info_code = 0;
    std::string value;
    int value_code = 0;
    uint64_t next = 0; // next property, or next cell of the row
    int next_code = 0;
    // table: its first cell; a row's first cell: the next row's first cell
    uint64_t below = 0;
    int below_code = 0;
};

struct FakeLibrary {
    std::map<uint64_t, FakeObject> objects;
    uint64_t root = 0;
    int initialize_code = 0;
    int root_code = 0;
    std::vector<size_t> fetch_sizes; // the size of every lumo_get_propval
    uint64_t next_handle = 0x100;

    // Builders: each returns the new object's handle.
    uint64_t node(const std::string &name, uint64_t parent = 0);
    uint64_t prop(uint64_t node, const std::string &name, int32_t type, const std::string &value);
    // A table value: rows of cells, each made with cell().
    uint64_t table(const std::vector<std::vector<uint64_t>> &rows);
    uint64_t cell(int32_t type, const std::string &value);
    // A table property of the node holding that table.
    uint64_t table_prop(uint64_t node, const std::string &name, uint64_t table);
    FakeObject &operator[](uint64_t handle)
    {
        return objects.at(handle);
    }
};

extern FakeLibrary fake;

// Empties the double and binds treeprobe's pointers to it.
void bind_fake();

// The double's text for a code: "text N".
std::string fake_text(int code);

// Value bytes of a number, in the machine's byte order.
template <typename Number> std::string bytes_of(Number number)
{
    return std::string(reinterpret_cast<const char *>(&number), sizeof number);
}
inline std::string string_value(const std::string &text)
{
    return text + std::string(1, '\0');
}

#endif
