// treeprobe: binds the platform information library, walks its tree depth
// first and writes one record per node, every property value rendered as
// text.
#include "treeprobe.h"

#include "collector.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

char strvalbuf[4 * value_buffer_size + 1];
char *tablestringbuf;
uint32_t tablestringbufsz;
uint32_t tablestringbufneed;

static void *lumolib_hdl;
// Characters of the table text, so that appending a cell never rescans it.
static size_t tablestringlen;
// A set of handles with open addressing and linear probing: membership in
// constant time, on malloc alone, so the program needs no C++ runtime and a
// failed allocation is reported like any other. Slot value 0 marks a free
// slot; handle 0, a valid handle, is kept aside in has_zero.
struct handle_set {
    uint64_t *slots;
    size_t capacity; // a power of two, or 0
    size_t count;
    bool has_zero;
};

// The tables the current value has reached: each is written once, so a
// table that holds itself, or one met again, cannot multiply the output.
static handle_set tables_reached;

// The value buffers, one for the node's properties and one for table
// cells: static, so neither a deep tree nor nested tables need stack for
// them. One byte beyond what the library may fill stays zero.
static char node_value[value_buffer_size + 1];
static unsigned char cell_value[value_buffer_size + 1];

enum { exit_failure = 3 };

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

// The library's text for a code; never a null pointer for "%s".
static const char *error_text(int code)
{
    const char *text = lumo_strerror_ptr(code);
    return text != nullptr ? text : "unknown error";
}

// Codes after which nothing the library says can be trusted.
static bool is_fatal(int code)
{
    return code == LUMO_NOT_INITIALIZED || code == LUMO_STALE_HANDLE || code == LUMO_INVALID_HANDLE;
}

[[noreturn]] static void fail(int32_t number, const char *format, const char *text)
{
    display_errorf(5203, number, format, text);
    exit(finish_output(exit_failure));
}

// ---- Value rendering ----

[[noreturn]] static void integer_error()
{
    display_error("Integer error", 5203, 0);
    exit(finish_output(exit_failure));
}

// Values are read in the machine's byte order from wherever they lie.
template <typename Number> static Number number_at(const unsigned char *value)
{
    Number number;
    memcpy(&number, value, sizeof number);
    return number;
}

static const char *signed_text(uint32_t size, const unsigned char *value)
{
    long long number;
    switch (size) {
    case 1:
        number = number_at<int8_t>(value);
        break;
    case 2:
        number = number_at<int16_t>(value);
        break;
    case 4:
        number = number_at<int32_t>(value);
        break;
    case 8:
        number = number_at<int64_t>(value);
        break;
    default:
        integer_error();
    }
    (void)snprintf(strvalbuf, sizeof strvalbuf, "%lld", number);
    return strvalbuf;
}

static const char *unsigned_text(uint32_t size, const unsigned char *value)
{
    unsigned long long number;
    switch (size) {
    case 1:
        number = number_at<uint8_t>(value);
        break;
    case 2:
        number = number_at<uint16_t>(value);
        break;
    case 4:
        number = number_at<uint32_t>(value);
        break;
    case 8:
        number = number_at<uint64_t>(value);
        break;
    default:
        integer_error();
    }
    // "%#llx" writes what "%#x" does for the narrower ones.
    (void)snprintf(strvalbuf, sizeof strvalbuf, "%#llx", number);
    return strvalbuf;
}

static const char *float_text(uint32_t size, const unsigned char *value)
{
    double number;
    if (size == 4)
        number = number_at<float>(value);
    else if (size == 8)
        number = number_at<double>(value);
    else
        return strcpy(strvalbuf, "(not readable)");
    (void)snprintf(strvalbuf, sizeof strvalbuf, "%f", number);
    return strvalbuf;
}

// The first size bytes of a value, at most 8; bytes past size read as zero,
// so a short value never shows what an earlier one left in the buffer.
static uint64_t leading_bytes(uint32_t size, const unsigned char *value)
{
    uint64_t number = 0;
    memcpy(&number, value, size < sizeof number ? size : sizeof number);
    return number;
}

// A string ends at its first NUL or at its size, whichever comes first.
static const char *string_text(uint32_t size, const char *value)
{
    size_t limit = size < value_buffer_size ? size : value_buffer_size;
    const void *nul = memchr(value, '\0', limit);
    size_t length =
        nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - value) : limit;
    memcpy(strvalbuf, value, length);
    strvalbuf[length] = '\0';
    return strvalbuf;
}

static const char *timestamp_text(uint32_t size, const unsigned char *value)
{
    time_t when = static_cast<time_t>(static_cast<int64_t>(leading_bytes(size, value)));
    // The text of ctime, which is asctime of localtime; localtime_r looks up
    // the time zone once per run where localtime checks it at every call.
    // The text keeps its line feed; a year it cannot express gives null.
    struct tm local;
    const char *text = localtime_r(&when, &local) != nullptr ? asctime(&local) : nullptr;
    (void)snprintf(strvalbuf, sizeof strvalbuf, "%s", text != nullptr ? text : "(not readable)");
    return strvalbuf;
}

// The table handle goes into an 8-byte place, so a larger size field is
// cut to 8. Returns null when the handle is there, else the value's text.
static const char *fetch_table_handle(uint64_t handle, uint32_t size, uint64_t *table)
{
    *table = 0;
    int code = lumo_get_propval_ptr(handle, table, size < sizeof *table ? size : sizeof *table);
    if (code == LUMO_OK)
        return nullptr;
    if (is_fatal(code)) {
        display_error("Error interpreting LUMO value", 5203, 0);
        exit(finish_output(exit_failure));
    }
    if (code == LUMO_NOT_READABLE)
        return strcpy(strvalbuf, "(not readable)");
    (void)snprintf(strvalbuf, sizeof strvalbuf, "ERROR: %s", error_text(code));
    return strvalbuf;
}

const char *lumostrval(uint64_t handle, lumo_propinfo_t info, const void *value)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(value);
    switch (info.type) {
    case LUMO_TYPE_NONE:
    case LUMO_TYPE_VOID:
        return "";
    case LUMO_TYPE_INT:
        return signed_text(info.size, bytes);
    case LUMO_TYPE_UINT:
        return unsigned_text(info.size, bytes);
    case LUMO_TYPE_FLOAT:
        return float_text(info.size, bytes);
    case LUMO_TYPE_HANDLE:
        (void)snprintf(strvalbuf, sizeof strvalbuf, "%#llx",
                       static_cast<unsigned long long>(leading_bytes(info.size, bytes)));
        return strvalbuf;
    case LUMO_TYPE_TABLE: {
        uint64_t table;
        const char *failure = fetch_table_handle(handle, info.size, &table);
        return failure != nullptr ? failure : gettablestring(table);
    }
    case LUMO_TYPE_TIMESTAMP:
        return timestamp_text(info.size, bytes);
    case LUMO_TYPE_BYTES:
        // Only the bytes of the value are in a value buffer; more would
        // also overrun strvalbuf.
        if (info.size > value_buffer_size)
            return strcpy(strvalbuf, "(not readable)");
        // The text is appended after what strvalbuf holds and terminated,
        // so emptying it is enough: clearing all 2 MiB per value would cost
        // more than rendering it, and shows nothing more.
        strvalbuf[0] = '\0';
        return getbytearraystring(strvalbuf, &info, bytes);
    case LUMO_TYPE_STRING:
        return string_text(info.size, static_cast<const char *>(value));
    default:
        (void)snprintf(strvalbuf, sizeof strvalbuf, "(unknown type %d)", info.type);
        return strvalbuf;
    }
}

char *getbytearraystring(char *dest, const lumo_propinfo_t *info, const unsigned char *value)
{
    static const char digits[] = "0123456789abcdef";
    char *end = dest + strlen(dest);
    for (uint32_t i = 0; i < info->size; i++) {
        *end++ = ' ';
        *end++ = digits[value[i] >> 4];
        *end++ = digits[value[i] & 0xf];
        *end++ = ' ';
    }
    *end = '\0';
    return dest;
}

[[noreturn]] static void allocation_failure()
{
    int error = errno;
    display_error(strerror(error), 5000 + error, error);
    exit(finish_output(exit_failure));
}

static size_t slot_of(const handle_set *set, uint64_t handle)
{
    // The stand-in's handles are consecutive; the multiplier spreads them.
    return static_cast<size_t>((handle * 0x9e3779b97f4a7c15ULL) >> 20) & (set->capacity - 1);
}

static bool set_contains(const handle_set *set, uint64_t handle)
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

static void set_insert(handle_set *set, uint64_t handle);

static void set_grow(handle_set *set)
{
    handle_set grown{};
    grown.capacity = set->capacity == 0 ? 64 : set->capacity * 2;
    grown.slots = static_cast<uint64_t *>(calloc(grown.capacity, sizeof *grown.slots));
    if (grown.slots == nullptr)
        allocation_failure();
    grown.has_zero = set->has_zero;
    for (size_t i = 0; i < set->capacity; i++)
        if (set->slots[i] != 0)
            set_insert(&grown, set->slots[i]);
    free(set->slots);
    *set = grown;
}

static void set_insert(handle_set *set, uint64_t handle)
{
    if (handle == 0) {
        set->has_zero = true;
        return;
    }
    if (2 * (set->count + 1) > set->capacity)
        set_grow(set);
    size_t i = slot_of(set, handle);
    while (set->slots[i] != 0 && set->slots[i] != handle)
        i = (i + 1) & (set->capacity - 1);
    if (set->slots[i] == 0)
        set->count++;
    set->slots[i] = handle;
}

static void set_clear(handle_set *set)
{
    if (set->count > 0)
        memset(set->slots, 0, set->capacity * sizeof *set->slots);
    set->count = 0;
    set->has_zero = false;
}

// Appends one cell's text, after ", " unless it is the table's first cell.
// Every separator is counted as 3 bytes, and the buffer grows to exactly
// the count, never by doubling.
static void append_table_text(const char *text, bool separator)
{
    size_t length = strlen(text);
    uint64_t need = uint64_t{tablestringbufneed} + (separator ? 3 : 0) + length;
    if (need > UINT32_MAX) {
        errno = ENOMEM;
        allocation_failure();
    }
    tablestringbufneed = static_cast<uint32_t>(need);
    if (tablestringbufneed > tablestringbufsz) {
        char *grown = static_cast<char *>(realloc(tablestringbuf, tablestringbufneed));
        if (grown == nullptr)
            allocation_failure();
        tablestringbuf = grown;
        tablestringbufsz = tablestringbufneed;
    }
    char *end = tablestringbuf + tablestringlen;
    if (separator) {
        memcpy(end, ", ", 2);
        end += 2;
    }
    memcpy(end, text, length + 1);
    tablestringlen = static_cast<size_t>(end - tablestringbuf) + length;
}

static void append_table_cells(uint64_t table, int level);

// A cell whose value is itself a table contributes that table's cells, in
// place and joined the same way, as its text; a table the value has
// reached before is named instead, like a node link that loops.
static void append_nested_table(uint64_t cell, uint32_t size, int level, bool separator)
{
    uint64_t inner;
    const char *failure = fetch_table_handle(cell, size, &inner);
    if (failure != nullptr) {
        append_table_text(failure, separator);
    } else if (set_contains(&tables_reached, inner)) {
        char text[64];
        (void)snprintf(text, sizeof text, "link back to %#llx",
                       static_cast<unsigned long long>(inner));
        append_table_text(text, separator);
    } else if (level >= table_nesting_limit) {
        append_table_text("ERROR:  tables nested too deeply", separator);
    } else {
        set_insert(&tables_reached, inner);
        append_table_text("", separator);
        append_table_cells(inner, level + 1);
    }
}

// A nested table's cells are appended before the next cell is fetched, so
// every level can share the one cell value buffer.
static void append_table_cells(uint64_t table, int level)
{
    unsigned char *value = cell_value;
    lumo_propinfo_t info;
    uint64_t row;
    uint64_t cell;
    int cells = 0;

    int code = lumo_get_next_by_col_ptr(table, &row);
    if (code == LUMO_END_OF_LIST)
        return;
    if (code != LUMO_OK)
        fail(code, "Error in lumo_get_next_by_col: %s", error_text(code));
    for (;;) {
        cell = row;
        for (;;) {
            code = lumo_get_propinfo_ptr(cell, &info);
            if (code != LUMO_OK)
                fail(code, "Error in lumo_get_propinfo: %s", error_text(code));
            bool separator = cells++ > 0;
            if (info.size > value_buffer_size) {
                // Fetching it would overrun the cell value buffer.
                append_table_text("ERROR:  value larger than 524288 bytes", separator);
            } else {
                code = lumo_get_propval_ptr(cell, value, info.size);
                if (is_fatal(code))
                    fail(code, "Error in lumo_get_propval: %s", error_text(code));
                if (code != LUMO_OK) {
                    (void)snprintf(errmsg, sizeof errmsg, "ERROR:  %s", error_text(code));
                    append_table_text(errmsg, separator);
                } else if (info.type == LUMO_TYPE_TABLE) {
                    append_nested_table(cell, info.size, level, separator);
                } else {
                    append_table_text(lumostrval(cell, info, value), separator);
                }
            }

            code = lumo_get_next_by_row_ptr(cell, &cell);
            if (code == LUMO_END_OF_LIST)
                break;
            if (code != LUMO_OK)
                fail(code, "Error in lumo_get_next_by_row: %s", error_text(code));
        }
        code = lumo_get_next_by_col_ptr(row, &row);
        if (code == LUMO_END_OF_LIST)
            return;
        if (code != LUMO_OK)
            fail(code, "Error in lumo_get_next_by_col: %s", error_text(code));
    }
}

char *gettablestring(uint64_t table)
{
    if (tablestringbuf == nullptr) {
        tablestringbuf = static_cast<char *>(malloc(1024));
        if (tablestringbuf == nullptr)
            allocation_failure();
        tablestringbufsz = 1024;
    }
    tablestringbufneed = 1;
    tablestringbuf[0] = '\0';
    tablestringlen = 0;
    set_clear(&tables_reached);
    set_insert(&tables_reached, table);
    append_table_cells(table, 1);
    return tablestringbuf;
}

// ---- Tree walk ----

// One property line, "%s: %s\n", written piecewise: a tree has millions.
static void print_property(const char *name, const char *separator, const char *text)
{
    (void)fputs(name, stdout);
    (void)fputs(separator, stdout);
    (void)fputs(text, stdout);
    (void)putc_unlocked('\n', stdout);
}

// Writes the node record.
static int show_properties(const uint64_t *node, const uint64_t *parent)
{
    char *value = node_value;
    lumo_propinfo_t info;
    uint64_t prop;

    int code = lumo_get_propval_by_name_ptr(*node, "name", value, value_buffer_size);
    if (code != LUMO_OK) {
        display_errorf(5203, code, "Error getting name: %s", error_text(code));
        return 1;
    }
    (void)printf("*node: %s\nnivex-id: %#llx\n", value, static_cast<unsigned long long>(*node));
    if (parent != nullptr)
        (void)printf("nivex-parent-id: %#llx\n", static_cast<unsigned long long>(*parent));

    code = lumo_get_first_prop_ptr(*node, &prop);
    if (code != LUMO_OK) {
        display_errorf(5203, code, "Error in lumo_get_first_prop: %s", error_text(code));
        return 1;
    }
    for (;;) {
        code = lumo_get_propinfo_ptr(prop, &info);
        if (code != LUMO_OK) {
            display_errorf(5203, code, "Error in lumo_get_propinfo: %s", error_text(code));
            return 1;
        }
        info.name[sizeof info.name - 1] = '\0';
        code = lumo_get_propval_ptr(prop, value, value_buffer_size);
        if (code == LUMO_OK) {
            print_property(info.name, ": ", lumostrval(prop, info, value));
        } else if (is_fatal(code)) {
            display_errorf(5203, code, "Error in lumo_get_propval: %s", error_text(code));
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
            display_errorf(5203, code, "Error in lumo_get_next_prop: %s", error_text(code));
            return 1;
        }
    }
}

// One level of the path from the root to the node being written: its node
// and the child of it being walked.
struct walk_level {
    uint64_t node;
    uint64_t child;
};

// The walk keeps its path here rather than on the stack, so no depth can
// overflow it. Every node written is remembered: a link that leads to one
// of them again, up the path, across to a peer's subtree or round a loop of
// peers, is caught before anything is written twice, so the output stays
// linear in the distinct nodes whatever links the library returns.
static walk_level *path;
static size_t path_length;
static size_t path_capacity;
static handle_set written;

static void link_back(const char *link, uint64_t node)
{
    (void)snprintf(errmsg, sizeof errmsg, "Error getting %s node: link back to %#llx", link,
                   static_cast<unsigned long long>(node));
    display_error(errmsg, 5203, 0);
}

// Writes a node's record, after which it is walked as the deepest level.
static bool enter_node(uint64_t node)
{
    const uint64_t *parent = path_length == 0 ? nullptr : &path[path_length - 1].node;
    set_insert(&written, node);
    if (show_properties(&node, parent) != 0) {
        display_error("Error showing node properties", 5203, 0);
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
        display_errorf(5203, code, "Error getting child node: %s", error_text(code));
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
            display_errorf(5203, code, "Error getting peer node: %s", error_text(code));
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

// Walks the tree depth first, each node before its children. A failure
// ends the walk with one record for each level above the failing one, as
// each would give up in turn, then one for the whole walk.
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
        display_error("Error processing child", 5203, 0);
    display_error("Error processing node", 5203, 0);
    return 1;
}

int walk_platform_tree()
{
    int code = lumo_initialize_ptr();
    if (code != LUMO_OK) {
        display_errorf(5203, code, "Error in lumo_initialize: %s", error_text(code));
        return exit_failure;
    }
    uint64_t root;
    code = lumo_get_root_ptr(&root);
    if (code != LUMO_OK) {
        display_errorf(5203, code, "Error in lumo_get_root: %s", error_text(code));
        return exit_failure;
    }
    if (process_tree(root) != 0)
        return exit_failure;
    (void)lumo_shutdown_ptr();
    return 0;
}
