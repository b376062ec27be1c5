// liblumo.so: the platform information library's operations over the tree
// model, filled from the platform description file, or from the running
// host when there is no description.
#include "lumo.h"

#include "description.h"
#include "sysfs.h"
#include "tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using lumo::Kind;
using lumo::Object;
using lumo::Operation;
using lumo::Tree;

namespace
{

std::unique_ptr<Tree> tree;
// Why the last lumo_initialize failed: the file, the line and the problem,
// or the host folder that cannot be served; or no memory to say it.
std::string description_problem;
bool out_of_memory = false;

const char default_description[] = "/etc/lumo/platform";
const char host_sysfs[] = "/sys";

// The description the caller names, unless the process runs with more
// privilege than its caller (set-user-ID or set-group-ID, file capabilities,
// or identities changed since): it would open any file for the caller, and
// its error text would tell whether that file exists and what it holds.
const char *chosen_description()
{
    if (getuid() != geteuid() || getgid() != getegid())
        return nullptr;
    return secure_getenv("LUMO_PLATFORM");
}

int load_description()
{
    const char *path = chosen_description();
    std::string problem;
    auto loaded = std::make_unique<Tree>();
    // Without a description the library serves the host it runs on.
    bool host = false;
    if (path == nullptr || path[0] == '\0') {
        path = default_description;
        struct stat status;
        host = lstat(path, &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
    }
    if (host ? !lumo::serve_host(*loaded, host_sysfs, problem)
             : !lumo::read_description_file(path, *loaded, problem)) {
        description_problem =
            host ? problem : "platform description " + std::string(path) + ": " + problem;
        return LUMO_BAD_DESCRIPTION;
    }
    if (loaded->initialize_fault != 0)
        return loaded->initialize_fault;
    tree = std::move(loaded);
    return LUMO_OK;
}

// Looks up an object of one of the kinds the operation takes, filled in
// first if its source left it pending and the operation needs it filled.
// Returns the code to answer, 0 to go on. The object stays in place until
// the next lookup.
int find_object(uint64_t handle, Kind kind, Kind other_kind, const Object *&object,
                bool fill = true)
{
    if (!tree)
        return LUMO_NOT_INITIALIZED;
    // Objects never move, so filling one in leaves it where it was found.
    object = tree->find(handle);
    try {
        // Asked only of a pending object: most were filled in when loaded.
        if (fill && object != nullptr && object->pending)
            tree->complete(handle);
    } catch (...) {
        return LUMO_FAILURE;
    }
    if (object == nullptr || (object->kind != kind && object->kind != other_kind))
        return LUMO_INVALID_HANDLE;
    return LUMO_OK;
}

// The same, then the fault injected on the operation there. Going to the
// next property needs the list, which is there, not the value.
int lookup(uint64_t handle, Kind kind, Kind other_kind, Operation operation, const Object *&object)
{
    bool fill = !(kind == Kind::property && operation == lumo::op_next);
    int code = find_object(handle, kind, other_kind, object, fill);
    return code != LUMO_OK ? code : tree->fault(handle, *object, operation);
}

int link(uint64_t to, uint64_t *out)
{
    if (to == 0)
        return LUMO_END_OF_LIST;
    *out = to;
    return LUMO_OK;
}

// Follows one link of the object the operation is asked of.
int follow(uint64_t handle, Kind kind, Operation operation, uint32_t Object::*to, uint64_t *out)
{
    const Object *object;
    int code = lookup(handle, kind, kind, operation, object);
    if (code != LUMO_OK)
        return code;
    return out == nullptr ? LUMO_INVALID_ARGUMENT : link(object->*to, out);
}

// A value is given whole or not at all: a cut value would pass for the
// real one.
int copy_value(const void *value, size_t length, void *buf, size_t size)
{
    if (buf == nullptr && size > 0)
        return LUMO_INVALID_ARGUMENT;
    if (length > size)
        return LUMO_VALUE_TOO_LARGE;
    if (length > 0)
        memcpy(buf, value, length);
    return LUMO_OK;
}

// Every operation answers with a code, never an exception across the C
// boundary: running out of memory while loading is a failure like others.
template <typename Operation> int guarded(Operation operation)
{
    try {
        return operation();
    } catch (const std::bad_alloc &) {
        out_of_memory = true;
        return LUMO_BAD_DESCRIPTION;
    } catch (...) {
        return LUMO_FAILURE;
    }
}

} // namespace

extern "C" {

int lumo_initialize(void)
{
    out_of_memory = false;
    description_problem.clear();
    return guarded([] { return load_description(); });
}

int lumo_shutdown(void)
{
    if (!tree)
        return LUMO_NOT_INITIALIZED;
    tree.reset();
    return LUMO_OK;
}

int lumo_get_root(uint64_t *root)
{
    if (!tree)
        return LUMO_NOT_INITIALIZED;
    if (root == nullptr)
        return LUMO_INVALID_ARGUMENT;
    if (tree->root_fault != 0)
        return tree->root_fault;
    *root = tree->root();
    return LUMO_OK;
}

int lumo_get_first_prop(uint64_t node, uint64_t *prop)
{
    return follow(node, Kind::node, lumo::op_first_prop, &Object::first, prop);
}

int lumo_get_next_prop(uint64_t prop, uint64_t *next)
{
    return follow(prop, Kind::property, lumo::op_next, &Object::next, next);
}

int lumo_get_propinfo(uint64_t prop, lumo_propinfo_t *info)
{
    const Object *object;
    int code = lookup(prop, Kind::property, Kind::cell, lumo::op_info, object);
    if (code != LUMO_OK)
        return code;
    if (info == nullptr)
        return LUMO_INVALID_ARGUMENT;
    info->type = object->type;
    info->access = 1;
    info->size = object->value_length;
    // Cut to the record's room, as a formatted copy would, without paying
    // for formatting on every property of a walk.
    const char *name = tree->name(*object);
    size_t length = strnlen(name, sizeof info->name - 1);
    memcpy(info->name, name, length);
    info->name[length] = '\0';
    return LUMO_OK;
}

// Copies the value when the buffer holds all of it.
int lumo_get_propval(uint64_t prop, void *buf, size_t size)
{
    const Object *object;
    int code = lookup(prop, Kind::property, Kind::cell, lumo::op_value, object);
    if (code != LUMO_OK)
        return code;
    return copy_value(tree->value(*object), object->value_length, buf, size);
}

// "_child" and "_peer" give the node's links as node handles; they are not
// listed among its properties. Any other name is looked up in the list.
int lumo_get_propval_by_name(uint64_t node, const char *name, void *buf, size_t size)
{
    const Object *object;
    int code = find_object(node, Kind::node, Kind::node, object);
    if (code != LUMO_OK)
        return code;
    if (name == nullptr)
        return LUMO_INVALID_ARGUMENT;
    bool is_child = strcmp(name, "_child") == 0;
    if (is_child || strcmp(name, "_peer") == 0) {
        code = tree->fault(node, *object, is_child ? lumo::op_child : lumo::op_peer);
        if (code != LUMO_OK)
            return code;
        uint64_t link = is_child ? object->down : object->next;
        if (link == 0)
            return LUMO_NO_SUCH_PROPERTY;
        return copy_value(&link, sizeof link, buf, size);
    }
    if (strcmp(name, "name") == 0 && (code = tree->fault(node, *object, lumo::op_name)) != 0)
        return code;
    for (uint64_t prop = object->first; prop != 0;) {
        const Object *candidate = tree->find(prop);
        if (strcmp(tree->name(*candidate), name) == 0)
            return lumo_get_propval(prop, buf, size);
        prop = candidate->next;
    }
    return LUMO_NO_SUCH_PROPERTY;
}

int lumo_get_next_by_row(uint64_t cell, uint64_t *next)
{
    return follow(cell, Kind::cell, lumo::op_next, &Object::next, next);
}

int lumo_get_next_by_col(uint64_t table_or_cell, uint64_t *next)
{
    const Object *object;
    int code = find_object(table_or_cell, Kind::table, Kind::cell, object);
    if (code != LUMO_OK)
        return code;
    bool is_table = object->kind == Kind::table;
    code = tree->fault(table_or_cell, *object, is_table ? lumo::op_first_cell : lumo::op_next_row);
    if (code != LUMO_OK)
        return code;
    if (next == nullptr)
        return LUMO_INVALID_ARGUMENT;
    return link(is_table ? object->first : object->down, next);
}

const char *lumo_strerror(int code)
{
    constexpr struct {
        int code;
        const char *text;
    } texts[] = {
        {LUMO_OK, "success"},
        {LUMO_FAILURE, "failure"},
        {LUMO_NOT_INITIALIZED, "library not initialized"},
        {LUMO_INVALID_ARGUMENT, "invalid argument"},
        {LUMO_NO_SUCH_PROPERTY, "no such property"},
        {LUMO_END_OF_LIST, "end of list"},
        {LUMO_STALE_HANDLE, "stale handle"},
        {LUMO_INVALID_HANDLE, "invalid handle"},
        {LUMO_NOT_READABLE, "value not readable"},
        {LUMO_VALUE_TOO_LARGE, "value larger than the buffer"},
    };
    for (const auto &entry : texts)
        if (entry.code == code)
            return entry.text;
    if (code == LUMO_BAD_DESCRIPTION)
        return out_of_memory                 ? "out of memory"
               : description_problem.empty() ? "bad platform description"
                                             : description_problem.c_str();
    // Only a description file's injected faults give other codes.
    static char text[32];
    (void)snprintf(text, sizeof text, "error %d", code);
    return text;
}

} // extern "C"
