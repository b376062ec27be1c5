// Property value rendering: every value the library hands out as one line
// of text, a table as its cells joined in row order.
#include "collector.h"
#include "handle_set.h"
#include "treeprobe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Tables held in table cells are rendered in place up to this depth, the
// outermost table counting as 1.
static const int table_nesting_limit = 4;

// A value's text; a byte array's is four characters per byte.
static char strvalbuf[4 * value_buffer_size + 1];
// The text of the last table, grown to what it needs and kept for the next.
static char *tablestringbuf;
static uint32_t tablestringbufsz;
uint32_t tablestringbufneed;
// Characters of the table text, so that appending a cell never rescans it.
static size_t tablestringlen;

// The tables the current value has reached: each is written once, so a
// table that holds itself, or one met again, cannot multiply the output.
static handle_set tables_reached;

// The table cells' value buffer: static, so nested tables need no stack
// for it. One byte beyond what the library may fill stays zero.
static unsigned char cell_value[value_buffer_size + 1];

static char *gettablestring(uint64_t table);
static char *getbytearraystring(char *dest, const lumo_propinfo_t *info,
                                const unsigned char *value);

// Values are read in the machine's byte order from wherever they lie.
template <typename Number> static Number number_at(const unsigned char *value)
{
    Number number;
    memcpy(&number, value, sizeof number);
    return number;
}

// The decimal digits of a number, written to end backwards; returns the
// first.
static char *decimal_digits(unsigned long long number, char *end)
{
    do {
        *--end = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    return end;
}

// What "%lld" writes, without a format to interpret: a tree has millions.
static const char *decimal_text(long long number)
{
    char digits[24];
    char *end = digits + sizeof digits;
    unsigned long long magnitude = static_cast<unsigned long long>(number);
    if (number < 0)
        magnitude = 0 - magnitude;
    char *first = decimal_digits(magnitude, end);
    if (number < 0)
        *--first = '-';
    size_t length = static_cast<size_t>(end - first);
    memcpy(strvalbuf, first, length);
    strvalbuf[length] = '\0';
    return strvalbuf;
}

size_t put_hex(unsigned long long number, char *text)
{
    static const char hex_digits[] = "0123456789abcdef";
    if (number == 0) {
        memcpy(text, "0", 2);
        return 1;
    }
    char digits[24];
    char *end = digits + sizeof digits;
    char *first = end;
    for (; number != 0; number >>= 4)
        *--first = hex_digits[number & 0xf];
    *--first = 'x';
    *--first = '0';
    size_t length = static_cast<size_t>(end - first);
    memcpy(text, first, length);
    text[length] = '\0';
    return length;
}

static const char *hex_text(unsigned long long number)
{
    (void)put_hex(number, strvalbuf);
    return strvalbuf;
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
        fatal_error(error_id_other, 0, "Integer error");
    }
    return decimal_text(number);
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
        fatal_error(error_id_other, 0, "Integer error");
    }
    // "%#llx" writes what "%#x" does for the narrower ones.
    return hex_text(number);
}

// The "%f" texts of the numbers met last, by their bits: a tree holds few
// distinct numbers, and formatting one costs more than all else in a line.
// An empty text is an unused entry; a longer text than fits is not kept.
struct float_text_entry {
    uint64_t bits;
    char text[24];
};
static float_text_entry float_texts[1024];

static const char *float_text(uint32_t size, const unsigned char *value)
{
    double number;
    if (size == 4)
        number = number_at<float>(value);
    else if (size == 8)
        number = number_at<double>(value);
    else
        return strcpy(strvalbuf, "(not readable)");
    uint64_t bits;
    memcpy(&bits, &number, sizeof bits);
    float_text_entry *entry = &float_texts[(bits * 0x9e3779b97f4a7c15U) >> 54];
    if (entry->text[0] != '\0' && entry->bits == bits)
        return static_cast<const char *>(memcpy(strvalbuf, entry->text, sizeof entry->text));
    int length = snprintf(strvalbuf, sizeof strvalbuf, "%f", number);
    if (length > 0 && static_cast<size_t>(length) < sizeof entry->text) {
        memcpy(entry->text, strvalbuf, static_cast<size_t>(length) + 1);
        entry->bits = bits;
    }
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

// Two digits of a number below 100 at text.
static void two_digits(char *text, int number)
{
    text[0] = static_cast<char>('0' + number / 10);
    text[1] = static_cast<char>('0' + number % 10);
}

// asctime's text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", laid out by hand
// where every field has its fixed width: a year of four digits and the
// others in their ranges. Returns false for any other time.
static bool fixed_time_text(const struct tm *local, char *text)
{
    static const char day_names[] = "SunMonTueWedThuFriSat";
    static const char month_names[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (local->tm_year < 1000 - 1900 || local->tm_year > 9999 - 1900 || local->tm_wday < 0 ||
        local->tm_wday > 6 || local->tm_mon < 0 || local->tm_mon > 11 || local->tm_mday < 1 ||
        local->tm_mday > 31 || local->tm_hour < 0 || local->tm_hour > 99 || local->tm_min < 0 ||
        local->tm_min > 99 || local->tm_sec < 0 || local->tm_sec > 99)
        return false;
    int year = local->tm_year + 1900;
    memcpy(text, day_names + 3 * local->tm_wday, 3);
    text[3] = ' ';
    memcpy(text + 4, month_names + 3 * local->tm_mon, 3);
    text[7] = ' ';
    two_digits(text + 8, local->tm_mday);
    if (local->tm_mday < 10)
        text[8] = ' ';
    text[10] = ' ';
    two_digits(text + 11, local->tm_hour);
    text[13] = ':';
    two_digits(text + 14, local->tm_min);
    text[16] = ':';
    two_digits(text + 17, local->tm_sec);
    text[19] = ' ';
    two_digits(text + 20, year / 100);
    two_digits(text + 22, year % 100);
    text[24] = '\n';
    text[25] = '\0';
    return true;
}

static const char *timestamp_text(uint32_t size, const unsigned char *value)
{
    time_t when = static_cast<time_t>(static_cast<int64_t>(leading_bytes(size, value)));
    // The text of ctime, which is asctime of localtime; localtime_r looks up
    // the time zone once per run where localtime checks it at every call.
    // The text keeps its line feed; a year it cannot express gives null.
    struct tm local;
    if (localtime_r(&when, &local) == nullptr)
        return strcpy(strvalbuf, "(not readable)");
    if (fixed_time_text(&local, strvalbuf))
        return strvalbuf;
    const char *text = asctime(&local);
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
    if (is_fatal(code))
        fatal_error(error_id_other, 0, "Error interpreting LUMO value");
    if (code == LUMO_NOT_READABLE)
        return strcpy(strvalbuf, "(not readable)");
    (void)snprintf(strvalbuf, sizeof strvalbuf, "ERROR: %s", error_text(code));
    return strvalbuf;
}

const char *lumostrval(uint64_t handle, const lumo_propinfo_t &info, const void *value)
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
        return hex_text(leading_bytes(info.size, bytes));
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

static char *getbytearraystring(char *dest, const lumo_propinfo_t *info, const unsigned char *value)
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
        if (!set_insert(&tables_reached, inner))
            allocation_failure();
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
        fatal_error(error_id_other, code, "Error in lumo_get_next_by_col: %s", error_text(code));
    for (;;) {
        cell = row;
        for (;;) {
            code = lumo_get_propinfo_ptr(cell, &info);
            if (code != LUMO_OK)
                fatal_error(error_id_other, code, "Error in lumo_get_propinfo: %s",
                            error_text(code));
            bool separator = cells++ > 0;
            if (info.size > value_buffer_size) {
                // Fetching it would overrun the cell value buffer.
                append_table_text("ERROR:  value larger than 524288 bytes", separator);
            } else {
                code = lumo_get_propval_ptr(cell, value, info.size);
                if (is_fatal(code))
                    fatal_error(error_id_other, code, "Error in lumo_get_propval: %s",
                                error_text(code));
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
                fatal_error(error_id_other, code, "Error in lumo_get_next_by_row: %s",
                            error_text(code));
        }
        code = lumo_get_next_by_col_ptr(row, &row);
        if (code == LUMO_END_OF_LIST)
            return;
        if (code != LUMO_OK)
            fatal_error(error_id_other, code, "Error in lumo_get_next_by_col: %s",
                        error_text(code));
    }
}

static char *gettablestring(uint64_t table)
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
    if (!set_insert(&tables_reached, table))
        allocation_failure();
    append_table_cells(table, 1);
    return tablestringbuf;
}
