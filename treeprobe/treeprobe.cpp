// treeprobe: binds the platform information library and walks its tree
// depth first, one record per node; render.cpp turns each property value
// into text.
#include "treeprobe.h"

#include "collector.h"
#include "handle_set.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

static_assert(sizeof(lumo_propinfo_t) == 268, "the library's property info record is 268 bytes");

decltype(&lumo_initialize) lumo_initialize_ptr;
decltype(&lumo_shutdown) lumo_shutdown_ptr;
decltype(&lumo_get_root) lumo_get_root_ptr;
decltype(&lumo_get_first_prop) lumo_get_first_prop_ptr;
decltype(&lumo_get_next_prop) lumo_get_next_prop_ptr;
decltype(&lumo_get_propinfo) lumo_get_propinfo_ptr;
decltype(&lumo_get_propval) lumo_get_propval_ptr;
decltype(&lumo_get_propval_by_name) lumo_get_propval_by_name_ptr;
decltype(&lumo_get_next_by_row) lumo_get_next_by_row_ptr;
decltype(&lumo_get_next_by_col) lumo_get_next_by_col_ptr;
decltype(&lumo_strerror) lumo_strerror_ptr;

static void *lumolib_hdl;

// ---- Library binding ----

template <typename Function> static bool bind(Function &pointer, const char *name)
{
    void *symbol = dlsym(lumolib_hdl, name);
    if (symbol == nullptr)
        return false;
    pointer = reinterpret_cast<Function>(symbol);
    return true;
}

int load_lumo_libs()
{
    lumolib_hdl = dlopen("/usr/lib/liblumo.so", RTLD_NOW);
    if (lumolib_hdl == nullptr)
        return 0;
    bool bound =
        bind(lumo_get_first_prop_ptr, "lumo_get_first_prop") &&
        bind(lumo_get_next_by_col_ptr, "lumo_get_next_by_col") &&
        bind(lumo_get_next_by_row_ptr, "lumo_get_next_by_row") &&
        bind(lumo_get_next_prop_ptr, "lumo_get_next_prop") &&
        bind(lumo_get_propinfo_ptr, "lumo_get_propinfo") &&
        bind(lumo_get_propval_ptr, "lumo_get_propval") &&
        bind(lumo_get_propval_by_name_ptr, "lumo_get_propval_by_name") &&
        bind(lumo_get_root_ptr, "lumo_get_root") && bind(lumo_initialize_ptr, "lumo_initialize") &&
        bind(lumo_shutdown_ptr, "lumo_shutdown") && bind(lumo_strerror_ptr, "lumo_strerror");
    return bound ? 1 : 0;
}

const char *error_text(int code)
{
    const char *text = lumo_strerror_ptr(code);
    return text != nullptr ? text : "unknown error";
}

bool is_fatal(int code)
{
    return code == LUMO_NOT_INITIALIZED || code == LUMO_STALE_HANDLE || code == LUMO_INVALID_HANDLE;
}

static void flush_lines();

void fatal_error(int32_t id, int32_t number, const char *format, ...)
{
    flush_lines();
    va_list args;
    va_start(args, format);
    display_errorv(id, number, format, args);
    va_end(args);
    exit(finish_output(treeprobe_failure_status));
}

void allocation_failure()
{
    int error = errno;
    fatal_error(errno_error_id(error), error, "%s", strerror(error));
}

// ---- Tree walk ----

// The node's value buffer, one byte beyond what the library may fill
// staying zero.
static char node_value[value_buffer_size + 1];

// A node's lines are gathered here and written in few calls: a tree has
// millions. Whatever else writes to standard output (an error record, the
// end of the run) comes after flush_lines, which fatal_error and the end
// of every node record call; a line too long for the room goes out
// piecewise after what is gathered.
static char lines[8192];
static size_t lines_length;

static void flush_lines()
{
    if (lines_length > 0)
        (void)fwrite(lines, 1, lines_length, stdout);
    lines_length = 0;
}

// Makes room for length bytes at the end of the gathered lines; false
// when they cannot hold that many, with the gathered lines written.
static bool room_for(size_t length)
{
    if (length <= sizeof lines - lines_length)
        return true;
    flush_lines();
    return length <= sizeof lines;
}

static void add_text(const char *text, size_t length)
{
    memcpy(lines + lines_length, text, length);
    lines_length += length;
}

// One property line, "%s: %s\n".
static void print_property(const char *name, const char *separator, const char *text)
{
    size_t name_length = strlen(name);
    size_t separator_length = strlen(separator);
    size_t text_length = strlen(text);
    if (room_for(name_length + separator_length + text_length + 1)) {
        add_text(name, name_length);
        add_text(separator, separator_length);
        add_text(text, text_length);
        add_text("\n", 1);
        return;
    }
    (void)fputs(name, stdout);
    (void)fputs(separator, stdout);
    (void)fputs(text, stdout);
    (void)putc_unlocked('\n', stdout);
}

// The node's header lines: "*node: %s\nnivex-id: %#llx\n", and
// "nivex-parent-id: %#llx\n" below the root.
static void print_node(const char *name, uint64_t node, const uint64_t *parent)
{
    static const char node_key[] = "*node: ";
    static const char id_key[] = "\nnivex-id: ";
    static const char parent_key[] = "nivex-parent-id: ";
    char id[24];
    char parent_id[24];
    size_t id_length = put_hex(node, id);
    size_t parent_length = parent != nullptr ? put_hex(*parent, parent_id) : 0;
    size_t name_length = strlen(name);
    size_t length = sizeof node_key - 1 + name_length + sizeof id_key - 1 + id_length + 1 +
                    (parent != nullptr ? sizeof parent_key - 1 + parent_length + 1 : 0);
    if (!room_for(length)) {
        (void)printf("*node: %s\nnivex-id: %#llx\n", name, static_cast<unsigned long long>(node));
        if (parent != nullptr)
            (void)printf("nivex-parent-id: %#llx\n", static_cast<unsigned long long>(*parent));
        return;
    }
    add_text(node_key, sizeof node_key - 1);
    add_text(name, name_length);
    add_text(id_key, sizeof id_key - 1);
    add_text(id, id_length);
    add_text("\n", 1);
    if (parent != nullptr) {
        add_text(parent_key, sizeof parent_key - 1);
        add_text(parent_id, parent_length);
        add_text("\n", 1);
    }
}

// Gathers the node record; an error record goes out after what came before.
static int gather_properties(const uint64_t *node, const uint64_t *parent)
{
    char *value = node_value;
    lumo_propinfo_t info;
    uint64_t prop;

    int code = lumo_get_propval_by_name_ptr(*node, "name", value, value_buffer_size);
    if (code != LUMO_OK) {
        flush_lines();
        display_errorf(error_id_other, code, "Error getting name: %s", error_text(code));
        return 1;
    }
    print_node(value, *node, parent);

    code = lumo_get_first_prop_ptr(*node, &prop);
    if (code != LUMO_OK) {
        flush_lines();
        display_errorf(error_id_other, code, "Error in lumo_get_first_prop: %s", error_text(code));
        return 1;
    }
    for (;;) {
        code = lumo_get_propinfo_ptr(prop, &info);
        if (code != LUMO_OK) {
            flush_lines();
            display_errorf(error_id_other, code, "Error in lumo_get_propinfo: %s",
                           error_text(code));
            return 1;
        }
        info.name[sizeof info.name - 1] = '\0';
        code = lumo_get_propval_ptr(prop, value, value_buffer_size);
        if (code == LUMO_OK) {
            print_property(info.name, ": ", lumostrval(prop, info, value));
        } else if (is_fatal(code)) {
            flush_lines();
            display_errorf(error_id_other, code, "Error in lumo_get_propval: %s", error_text(code));
            return 1;
        } else if (code == LUMO_NOT_READABLE) {
            print_property(info.name, ": ", "(not readable)");
        } else {
            print_property(info.name, ": ERROR: ", error_text(code));
        }

        code = lumo_get_next_prop_ptr(prop, &prop);
        if (code == LUMO_END_OF_LIST)
            return 0;
        if (code != LUMO_OK) {
            flush_lines();
            display_errorf(error_id_other, code, "Error in lumo_get_next_prop: %s",
                           error_text(code));
            return 1;
        }
    }
}

// Writes the node record.
static int show_properties(const uint64_t *node, const uint64_t *parent)
{
    int failed = gather_properties(node, parent);
    flush_lines();
    return failed;
}

// The walk writes the nodes depth first, each before its children,
// reaching a node's first child through its "_child" property and the
// next child through the previous one's "_peer".
//
// It is a loop, not a recursion: nothing bounds a platform tree's depth,
// so a stack frame per level (with a value buffer in it) could overflow
// the stack. What a recursion would keep there is kept on the heap: the
// path, one walk_level per level from the root to the node being written,
// each holding its node (the parent of the level below) and which of its
// children is being walked (to ask that one for its peer). The one value
// buffer is static, used by one level at a time.
//
// Every node written goes into a set. A link that leads to one of them
// again, up the path, across to a peer's subtree or round a loop of peers,
// is a failure caught before anything is written twice, so the output
// stays linear in the distinct nodes whatever links the library returns.
//
// A failure ends the walk with the error chain a recursion would write as
// each level gave up in turn: the failing call's record, one "Error
// processing child" for each level above the failing node, and one "Error
// processing node" for the walk as a whole.

// One level of the path from the root to the node being written: its node
// and the child of it being walked.
struct walk_level {
    uint64_t node;
    uint64_t child;
};

static walk_level *path;
static size_t path_length;
static size_t path_capacity;
static handle_set written;

static void link_back(const char *link, uint64_t node)
{
    display_errorf(error_id_other, 0, "Error getting %s node: link back to %#llx", link,
                   static_cast<unsigned long long>(node));
}

// Writes a node's record, after which it is walked as the deepest level.
static bool enter_node(uint64_t node)
{
    const uint64_t *parent = path_length == 0 ? nullptr : &path[path_length - 1].node;
    if (!set_insert(&written, node))
        allocation_failure();
    if (show_properties(&node, parent) != 0) {
        display_error("Error showing node properties", error_id_other, 0);
        return false;
    }
    if (path_length == path_capacity) {
        size_t capacity = path_capacity == 0 ? 256 : path_capacity * 2;
        auto *grown = static_cast<walk_level *>(realloc(path, capacity * sizeof *path));
        if (grown == nullptr)
            allocation_failure();
        path = grown;
        path_capacity = capacity;
    }
    path[path_length++] = {node, 0};
    return true;
}

// Finds the node to write after the deepest level's: its first child, or
// else the next peer of the nearest level that has one, leaving the levels
// done. Returns 1 with *next set, 0 when the walk is done, -1 after writing
// a failure's record.
static int next_node(uint64_t *next)
{
    walk_level *level = &path[path_length - 1];
    int code = lumo_get_propval_by_name_ptr(level->node, "_child", next, sizeof *next);
    if (code == LUMO_OK) {
        if (set_contains(&written, *next)) {
            link_back("child", *next);
            return -1;
        }
        level->child = *next;
        return 1;
    }
    if (code != LUMO_NO_SUCH_PROPERTY) {
        display_errorf(error_id_other, code, "Error getting child node: %s", error_text(code));
        return -1;
    }
    for (;;) {
        if (--path_length == 0)
            return 0;
        level = &path[path_length - 1];
        code = lumo_get_propval_by_name_ptr(level->child, "_peer", next, sizeof *next);
        if (code == LUMO_NO_SUCH_PROPERTY)
            continue;
        if (code != LUMO_OK) {
            display_errorf(error_id_other, code, "Error getting peer node: %s", error_text(code));
            return -1;
        }
        if (set_contains(&written, *next)) {
            link_back("peer", *next);
            return -1;
        }
        level->child = *next;
        return 1;
    }
}

// Returns 0 when the whole tree is written, 1 after the error chain.
static int process_tree(uint64_t root)
{
    path_length = 0;
    set_clear(&written);
    bool failed = !enter_node(root);
    size_t failed_level = 0;
    while (!failed) {
        uint64_t node;
        int found = next_node(&node);
        if (found == 0)
            return 0;
        failed_level = path_length - 1;
        failed = found < 0 || !enter_node(node);
        if (failed && found > 0)
            failed_level++;
    }
    for (size_t level = 0; level < failed_level; level++)
        display_error("Error processing child", error_id_other, 0);
    display_error("Error processing node", error_id_other, 0);
    return 1;
}

int walk_platform_tree()
{
    int code = lumo_initialize_ptr();
    if (code != LUMO_OK) {
        display_errorf(error_id_other, code, "Error in lumo_initialize: %s", error_text(code));
        return treeprobe_failure_status;
    }
    uint64_t root;
    code = lumo_get_root_ptr(&root);
    if (code != LUMO_OK) {
        display_errorf(error_id_other, code, "Error in lumo_get_root: %s", error_text(code));
        return treeprobe_failure_status;
    }
    if (process_tree(root) != 0)
        return treeprobe_failure_status;
    (void)lumo_shutdown_ptr();
    return status_completed;
}
