#include "description.h"

#include "io.h"
#include "text.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

namespace lumo
{

namespace
{

// The bit of a name among a node's few (see Block).
uint64_t name_bit(uint32_t name)
{
    return uint64_t{1} << ((name * uint64_t{0x9e3779b97f4a7c15}) >> 58);
}

// A value (after size=) may not exceed this: large enough for any value a
// reader can fetch, small enough that a typo cannot exhaust memory.
constexpr uint64_t largest_size = 16 * 1024 * 1024;
// All values together, for the same reason.
constexpr uint64_t largest_total = 256 * 1024 * 1024;

// A word of a line: in the line itself, or for a quoted one, its text
// with the escapes undone, in the reader's room for that line.
struct Word {
    std::string_view text;
    bool quoted = false;
};

struct Block {
    enum { node, table, row } kind;
    uint64_t handle;
    size_t line;
    // A node's property names so far, so that a lookup by name has one
    // answer: from names_from on in the reader's list while they are few,
    // in a set of their own when they are many.
    size_t names_from = 0;
    // One bit of 64 for each name among the few, so that a new name is
    // mostly known as new without the look along them.
    uint64_t few_bits = 0;
    std::unordered_set<uint32_t> many = {};
};

struct Attributes {
    bool has_size = false;
    uint64_t size = 0;
    std::vector<std::pair<Operation, int32_t>> faults;
    std::vector<std::pair<Operation, uint64_t>> links; // op_child or op_peer, and its target
};

// A node's child or peer link set to any handle by link=, applied once the
// whole tree is read so the nodes that follow cannot undo it.
struct Link {
    uint64_t node;
    Operation operation;
    uint64_t target;
};

constexpr struct {
    std::string_view name;
    int32_t code;
} type_names[] = {
    {"none", LUMO_TYPE_NONE},     {"void", LUMO_TYPE_VOID},      {"int", LUMO_TYPE_INT},
    {"uint", LUMO_TYPE_UINT},     {"float", LUMO_TYPE_FLOAT},    {"handle", LUMO_TYPE_HANDLE},
    {"table", LUMO_TYPE_TABLE},   {"time", LUMO_TYPE_TIMESTAMP}, {"bytes", LUMO_TYPE_BYTES},
    {"string", LUMO_TYPE_STRING},
};

const char *const operation_names[op_count] = {
    "first_prop", "name", "child", "peer", "info", "value", "next", "next_row", "first_cell",
};

// The value of a hexadecimal digit, or -1.
int hex_digit(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

// The byte of two hexadecimal digits at text[at], or -1.
int hex_byte(std::string_view text, size_t at)
{
    if (at >= text.size() || text.size() - at < 2)
        return -1;
    int high = hex_digit(text[at]);
    int low = hex_digit(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high << 4 | low;
}

// Blanks part the words of a line; all of them are at most ' ', so a byte
// above it is never one.
bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The first byte from p on that is at most ' ', a blank or another control
// byte, or last. Words are looked along eight bytes at a time: a byte below
// 0x21 sets the top bit of its place in (word - 0x21...) & ~word, and the
// lowest such place is the first such byte, borrows only running upwards.
const char *word_end(const char *p, const char *last)
{
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t ones = 0x0101010101010101;
        constexpr uint64_t tops = 0x8080808080808080;
        for (; last - p >= 8; p += 8) {
            uint64_t word;
            memcpy(&word, p, sizeof word);
            uint64_t low = (word - 0x21 * ones) & ~word & tops;
            if (low != 0)
                return p + std::countr_zero(low) / 8;
        }
    }
    while (p != last && static_cast<unsigned char>(*p) > ' ')
        p++;
    return p;
}

// Splits a line into words at blanks and tabs. A word in double quotes may
// hold blanks and the escapes \n \t \r \\ \" and \xHH; a word that starts
// with # outside quotes starts a comment, to the end of the line. Quoted
// words are written to room, which never holds more than the line. The
// words are the first count of words, which only grows, so that a line
// costs no allocation once one as long has been read.
bool split_words(std::string_view line, std::vector<Word> &words, size_t &count, std::string &room,
                 std::string &problem)
{
    count = 0;
    room.clear();
    room.reserve(line.size());
    auto add = [&words, &count](std::string_view text, bool quoted) {
        if (count == words.size())
            words.resize(2 * count + 8);
        words[count++] = {text, quoted};
    };
    const char *const first = line.data();
    const char *const last = first + line.size();
    const char *p = first;
    while (p != last) {
        if (is_blank(*p)) {
            p++;
            continue;
        }
        if (*p == '#')
            return true;
        if (*p != '"') {
            const char *start = p;
            for (;;) {
                p = word_end(p, last);
                if (p == last || is_blank(*p))
                    break;
                p++;
            }
            add({start, static_cast<size_t>(p - start)}, false);
            continue;
        }
        size_t start = room.size();
        size_t i = static_cast<size_t>(p - first) + 1;
        for (;;) {
            // Up to the closing quote or the next escape in one go.
            size_t stop = i;
            while (stop < line.size() && line[stop] != '"' && line[stop] != '\\')
                stop++;
            if (stop == line.size()) {
                problem = "unterminated string";
                return false;
            }
            room.append(line.substr(i, stop - i));
            i = stop + 1;
            if (line[stop] == '"')
                break;
            char escape = i < line.size() ? line[i++] : '\0';
            constexpr std::string_view letters = "ntr\\\"", bytes = "\n\t\r\\\"";
            if (size_t plain = letters.find(escape); plain != letters.npos) {
                room.push_back(bytes[plain]);
                continue;
            }
            if (escape != 'x') {
                problem = "unknown escape in string";
                return false;
            }
            int byte = hex_byte(line, i);
            if (byte < 0) {
                problem = "\\x needs two hexadecimal digits";
                return false;
            }
            room.push_back(static_cast<char>(byte));
            i += 2;
        }
        if (i < line.size() && !is_blank(line[i])) {
            problem = "text right after a closing quote";
            return false;
        }
        add(std::string_view(room).substr(start), true);
        p = first + i;
    }
    return true;
}

// Decimal, or hexadecimal after 0x, with an optional minus sign.
bool parse_integer(std::string_view text, bool negative_allowed, uint64_t &magnitude,
                   bool &negative)
{
    negative = !text.empty() && text[0] == '-';
    if (negative) {
        if (!negative_allowed)
            return false;
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    // Digits only, and no more than 64 bits hold: 19 decimal or 16
    // hexadecimal digits always do.
    uint64_t number = 0;
    if (text.size() <= (base == 10 ? 19u : 16u)) {
        for (char c : text) {
            int digit = base == 16 ? hex_digit(c) : c >= '0' && c <= '9' ? c - '0' : -1;
            if (digit < 0)
                return false;
            number = number * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        }
        magnitude = number;
        return true;
    }
    for (char c : text) {
        int digit = base == 16 ? hex_digit(c) : c >= '0' && c <= '9' ? c - '0' : -1;
        if (digit < 0 || __builtin_mul_overflow(number, static_cast<uint64_t>(base), &number) ||
            __builtin_add_overflow(number, static_cast<uint64_t>(digit), &number))
            return false;
    }
    magnitude = number;
    return true;
}

bool parse_signed(std::string_view text, int64_t &number)
{
    uint64_t magnitude;
    bool negative;
    if (!parse_integer(text, true, magnitude, negative) ||
        magnitude > (negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX}))
        return false;
    number = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

bool parse_unsigned(std::string_view text, uint64_t &number)
{
    bool negative;
    return parse_integer(text, false, number, negative);
}

// OPERATION:CODE, with a signed 32-bit code.
bool parse_fault(std::string_view text, std::string_view &operation, int32_t &code)
{
    size_t colon = text.find(':');
    int64_t number;
    if (colon == std::string_view::npos || !parse_signed(text.substr(colon + 1), number) ||
        number < INT32_MIN || number > INT32_MAX)
        return false;
    operation = text.substr(0, colon);
    code = static_cast<int32_t>(number);
    return true;
}

class Reader
{
  public:
    Reader(Tree &tree, std::string &problem)
        : tree_(tree), problem_(problem), taken_{tree.intern("name"), tree.intern("_child"),
                                                 tree.intern("_peer")}
    {
    }
    // Reads the next line of the description, false on a fault.
    bool line(std::string_view text);
    // After the last line: false when the description is not whole.
    bool finish();

  private:
    bool statement(std::span<const Word> words);
    bool open_node(std::span<const Word> words);
    bool global_fault(std::span<const Word> words);
    bool value_line(std::span<const Word> words);
    bool attributes(std::span<const Word> words, size_t &at, Attributes &found);
    bool encode(int32_t type, bool named, std::span<const Word> words, size_t at,
                const Attributes &found, std::string_view &value, bool &nul);
    // Adds the name to the innermost node's, false when it has it already.
    bool name_is_new(uint32_t name);
    bool operation_fits(Operation operation, bool in_row, bool is_table);
    bool fail(const std::string &problem)
    {
        problem_ = problem;
        return false;
    }

    Tree &tree_;
    std::string &problem_;
    std::vector<Block> open_;
    std::vector<Word> words_;     // of the line being read, kept for its room
    std::string room_;            // the line's quoted words
    std::string value_;           // the line's value where it is built or cut to size
    char number_[8];              // the line's value where it is a number
    std::vector<uint32_t> names_; // the open nodes' property names, innermost last
    uint32_t taken_[3];           // the library's own names, "name" first
    size_t line_ = 0;
    uint64_t total_ = 0; // bytes of all values so far
    bool had_root_ = false;
    std::vector<Link> links_;
};

bool Reader::line(std::string_view text)
{
    line_++;
    std::string problem;
    size_t count;
    if (!split_words(text, words_, count, room_, problem) ||
        !statement(std::span<const Word>(words_.data(), count))) {
        if (!problem.empty())
            problem_ = problem;
        problem_ = "line " + std::to_string(line_) + ": " + problem_;
        return false;
    }
    return true;
}

bool Reader::finish()
{
    if (!open_.empty()) {
        problem_ = "line " + std::to_string(open_.back().line) + ": block has no end";
        return false;
    }
    if (!had_root_) {
        problem_ = "no root node";
        return false;
    }
    for (const Link &link : links_)
        tree_.set_link(link.node, link.operation == op_child, link.target);
    return true;
}

bool Reader::statement(std::span<const Word> words)
{
    if (words.empty())
        return true;
    if (words[0].quoted)
        return fail("a line starts with a keyword or a type, not a string");
    std::string_view keyword = words[0].text;
    if (keyword == "end") {
        if (words.size() > 1)
            return fail("text after end");
        if (open_.empty())
            return fail("end without a block to close");
        if (open_.back().kind == Block::node)
            names_.resize(open_.back().names_from);
        open_.pop_back();
        return true;
    }
    if (keyword == "node")
        return open_node(words);
    if (keyword == "fail")
        return global_fault(words);
    if (keyword == "row") {
        if (words.size() > 1)
            return fail("text after row");
        if (open_.empty() || open_.back().kind != Block::table)
            return fail("a row outside a table");
        tree_.add_row(open_.back().handle);
        open_.push_back({Block::row, open_.back().handle, line_});
        return true;
    }
    return value_line(words);
}

bool Reader::open_node(std::span<const Word> words)
{
    uint64_t parent = 0;
    if (open_.empty()) {
        if (had_root_)
            return fail("a second root node");
    } else if (open_.back().kind == Block::node) {
        parent = open_.back().handle;
    } else {
        return fail("a node inside a table");
    }
    if (words.size() < 2)
        return fail("a node needs a name");
    std::string_view name = words[1].text;
    if (name.find('\0') != name.npos)
        return fail("a name may not hold a NUL byte");
    size_t at = 2;
    Attributes found;
    if (!attributes(words, at, found))
        return false;
    if (at != words.size())
        return fail("text after the node's name");
    if (found.has_size)
        return fail("a node has no size");
    uint64_t node = tree_.add_node(parent, name);
    for (auto [operation, code] : found.faults) {
        if (operation > op_peer)
            return fail(std::string("a node has no operation ") + operation_names[operation]);
        tree_.set_fault(node, operation, code);
    }
    for (auto [operation, target] : found.links)
        links_.push_back({node, operation, target});
    had_root_ = true;
    open_.push_back({Block::node, node, line_, names_.size()});
    names_.insert(names_.end(), std::begin(taken_), std::end(taken_));
    for (uint32_t taken : taken_)
        open_.back().few_bits |= name_bit(taken);
    return true;
}

bool Reader::name_is_new(uint32_t name)
{
    Block &node = open_.back();
    if (!node.many.empty())
        return node.many.insert(name).second;
    // Most nodes have a few properties: a look along them is quickest, and
    // a set only pays for a node of many.
    auto from = static_cast<ptrdiff_t>(node.names_from);
    uint64_t bit = name_bit(name);
    if ((node.few_bits & bit) != 0 &&
        std::find(names_.begin() + from, names_.end(), name) != names_.end())
        return false;
    node.few_bits |= bit;
    // The list may move as it grows: its start is taken after.
    names_.push_back(name);
    if (names_.size() - node.names_from > 32) {
        node.many.insert(names_.begin() + from, names_.end());
        names_.resize(node.names_from);
    }
    return true;
}

// fail initialize:CODE or fail root:CODE, before the root node.
bool Reader::global_fault(std::span<const Word> words)
{
    if (!open_.empty())
        return fail("fail lines belong outside every node");
    if (words.size() != 2)
        return fail("fail needs one OPERATION:CODE");
    std::string_view operation;
    int32_t code;
    if (!parse_fault(words[1].text, operation, code))
        return fail("fail needs OPERATION:CODE with a signed 32-bit code");
    if (operation == "initialize")
        tree_.initialize_fault = code;
    else if (operation == "root")
        tree_.root_fault = code;
    else
        return fail("fail outside a node takes initialize or root");
    return true;
}

// size=N and fail=OPERATION:CODE words, from words[at] on.
bool Reader::attributes(std::span<const Word> words, size_t &at, Attributes &found)
{
    for (; at < words.size() && !words[at].quoted; at++) {
        std::string_view word = words[at].text;
        // Every attribute is a five-letter word and "=" before its value.
        if (word.size() < 5 || word[4] != '=')
            break;
        if (word.substr(0, 5) == "size=") {
            if (!parse_unsigned(word.substr(5), found.size) || found.size > largest_size)
                return fail("size= needs a number up to " + std::to_string(largest_size));
            found.has_size = true;
        } else if (word.substr(0, 5) == "fail=") {
            std::string_view name;
            int32_t code;
            if (!parse_fault(word.substr(5), name, code))
                return fail("fail= needs OPERATION:CODE with a signed 32-bit code");
            int operation = 0;
            while (operation < op_count && name != operation_names[operation])
                operation++;
            if (operation == op_count)
                return fail("unknown operation " + std::string(name));
            found.faults.emplace_back(static_cast<Operation>(operation), code);
        } else if (word.substr(0, 5) == "link=") {
            size_t colon = word.find(':');
            std::string_view link = word.substr(5, colon == word.npos ? 0 : colon - 5);
            uint64_t target;
            if ((link != "child" && link != "peer") ||
                !parse_unsigned(word.substr(colon + 1), target) || target > UINT32_MAX)
                return fail("link= needs child:HANDLE or peer:HANDLE with a 32-bit handle");
            found.links.emplace_back(link == "child" ? op_child : op_peer, target);
        } else {
            break;
        }
    }
    return true;
}

bool Reader::operation_fits(Operation operation, bool in_row, bool is_table)
{
    return operation == op_info || operation == op_value || operation == op_next ||
           (operation == op_next_row && in_row) || (operation == op_first_cell && is_table);
}

// A property (in a node: TYPE NAME ...) or a cell (in a row: TYPE ...).
bool Reader::value_line(std::span<const Word> words)
{
    if (open_.empty())
        return fail("a value outside every node");
    if (open_.back().kind == Block::table)
        return fail("a table holds rows only");
    bool in_row = open_.back().kind == Block::row;

    int32_t type = -1;
    bool named = false;
    std::string_view word = words[0].text;
    // The first letter rules out most names without a call to compare.
    for (const auto &entry : type_names)
        if (word.size() == entry.name.size() && word[0] == entry.name[0] && word == entry.name) {
            type = entry.code;
            named = true;
            break;
        }
    if (!named) {
        int64_t code;
        if (!parse_signed(words[0].text, code) || code < INT32_MIN || code > INT32_MAX)
            return fail("unknown type " + std::string(words[0].text));
        type = static_cast<int32_t>(code);
    }

    size_t at = 1;
    uint32_t name = 0;
    if (!in_row) {
        if (at >= words.size())
            return fail("a property needs a name");
        std::string_view text = words[at++].text;
        if (text.empty() || text.size() > 255 || text.find('\0') != text.npos)
            return fail("a property name has 1 to 255 bytes and no NUL");
        name = tree_.intern(text);
        if (!name_is_new(name))
            return fail("the node already has a property \"" + std::string(text) + "\"");
    }
    Attributes found;
    if (!attributes(words, at, found))
        return false;
    if (!found.links.empty())
        return fail("only a node has links");

    bool is_table = named && type == LUMO_TYPE_TABLE;
    uint64_t table = 0;
    std::string_view value;
    bool nul = false;
    if (is_table) {
        if (at != words.size())
            return fail("a table's cells go in rows below it");
        table = tree_.add_table();
        memcpy(number_, &table, sizeof table);
        value = {number_, sizeof table};
    } else if (!encode(type, named, words, at, found, value, nul)) {
        return false;
    }
    if (found.has_size) {
        // Cut or padded to the size, a string's NUL counting as its last byte.
        if (value.data() != value_.data())
            value_.assign(value);
        if (nul)
            value_.push_back('\0');
        value_.resize(found.size, '\0');
        value = value_;
        nul = false;
    }
    total_ += value.size() + (nul ? 1 : 0);
    if (total_ > largest_total)
        return fail("values add up to more than " + std::to_string(largest_total) + " bytes");

    uint64_t handle = in_row ? tree_.add_cell(open_.back().handle, type, value, nul)
                             : tree_.add_property(open_.back().handle, name, type, value, nul);
    for (auto [operation, code] : found.faults) {
        if (!operation_fits(operation, in_row, is_table))
            return fail(std::string("no operation ") + operation_names[operation] + " here");
        tree_.set_fault(operation == op_first_cell ? table : handle, operation, code);
    }
    if (is_table)
        open_.push_back({Block::table, table, line_});
    return true;
}

// The value's bytes in their natural width: 4 for integers that fit in 32
// bits, else 8; 4 for floats; 8 for handles and times. With size= an
// integer starts from its 8 bytes and a float of size 8 is a double, so
// that cutting or padding to the size keeps the number. value is left
// where the bytes already are (in number_, value_ or the line's words);
// nul says a string's NUL follows them.
bool Reader::encode(int32_t type, bool named, std::span<const Word> words, size_t at,
                    const Attributes &found, std::string_view &value, bool &nul)
{
    size_t count = words.size() - at;
    bool one_bare_word = count == 1 && !words[at].quoted;
    // A type given by its code, named or not, takes hexadecimal bytes.
    switch (named ? type : -1) {
    case LUMO_TYPE_NONE:
    case LUMO_TYPE_VOID:
        if (count != 0)
            return fail("this type has no value");
        return true;
    case LUMO_TYPE_INT:
    case LUMO_TYPE_TIMESTAMP: {
        int64_t number;
        if (!one_bare_word || !parse_signed(words[at].text, number))
            return fail("needs one signed 64-bit integer");
        bool narrow = type == LUMO_TYPE_INT && number >= INT32_MIN && number <= INT32_MAX;
        memcpy(number_, &number, sizeof number);
        value = {number_, narrow && !found.has_size ? 4 : sizeof number};
        return true;
    }
    case LUMO_TYPE_UINT:
    case LUMO_TYPE_HANDLE: {
        uint64_t number;
        if (!one_bare_word || !parse_unsigned(words[at].text, number))
            return fail("needs one unsigned 64-bit integer");
        bool narrow = type == LUMO_TYPE_UINT && number <= UINT32_MAX;
        memcpy(number_, &number, sizeof number);
        value = {number_, narrow && !found.has_size ? 4 : sizeof number};
        return true;
    }
    case LUMO_TYPE_FLOAT: {
        double number;
        std::string_view text = words[at < words.size() ? at : 0].text;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (!one_bare_word || error != std::errc() || end != text.data() + text.size())
            return fail("needs one number");
        float single = static_cast<float>(number);
        if (found.has_size && found.size == 8) {
            memcpy(number_, &number, sizeof number);
            value = {number_, sizeof number};
        } else {
            memcpy(number_, &single, sizeof single);
            value = {number_, sizeof single};
        }
        return true;
    }
    case LUMO_TYPE_STRING:
        if (count != 1 || !words[at].quoted)
            return fail("needs one quoted string");
        value = words[at].text;
        nul = true;
        return true;
    default:
        // Byte arrays, and types given by code: hexadecimal bytes.
        value_.clear();
        value = value_;
        for (; at < words.size(); at++) {
            std::string_view text = words[at].text;
            if (words[at].quoted || text.size() % 2 != 0)
                return fail("bytes are pairs of hexadecimal digits");
            for (size_t i = 0; i < text.size(); i += 2) {
                int byte = hex_byte(text, i);
                if (byte < 0)
                    return fail("bytes are pairs of hexadecimal digits");
                value_.push_back(static_cast<char>(byte));
            }
        }
        value = value_;
        return true;
    }
}

} // namespace

// Only a regular file is read, so a FIFO or a device named as the
// description can neither block the caller nor feed it without end. It is
// read a piece at a time, each whole line of a piece taken before the next
// is read, so that the file is never held whole beside the tree made of it.
bool read_description_file(const char *path, Tree &tree, std::string &problem)
{
    int opened;
    size_t size;
    int error = base::open_regular_file(AT_FDCWD, path, true, largest_description, opened, size);
    base::Fd fd(opened);
    Reader reader(tree, problem);
    // No more bytes of values than the file holds, size= apart.
    tree.reserve(size);
    std::string piece(std::min(size + 1, size_t{256 * 1024}), '\0');
    size_t held = 0;  // bytes of piece that hold a line not yet taken
    size_t total = 0; // bytes read
    for (bool more = error == 0; more;) {
        if (held == piece.size())
            piece.resize(2 * piece.size());
        ssize_t got = base::read_all(fd.get(), piece.data() + held, piece.size() - held);
        if (got < 0) {
            error = errno;
            break;
        }
        total += static_cast<size_t>(got);
        if (total > largest_description) {
            error = EFBIG;
            break;
        }
        more = got > 0;
        std::string_view text(piece.data(), held + static_cast<size_t>(got));
        // Every whole line, and at the end the last one, whole or not.
        for (size_t end; (end = text.find('\n')) != text.npos || (!more && !text.empty());) {
            if (!reader.line(text.substr(0, end)))
                return false;
            text.remove_prefix(end == text.npos ? text.size() : end + 1);
        }
        held = text.size();
        memmove(piece.data(), text.data(), held);
    }
    if (error == EISDIR || error == EINVAL)
        problem = "not a regular file";
    else if (error == EFBIG)
        problem = "larger than " + std::to_string(largest_description) + " bytes";
    else if (error != 0)
        problem = strerror(error);
    return error == 0 && reader.finish();
}

bool read_description(std::string_view text, Tree &tree, std::string &problem)
{
    tree.reserve(text.size());
    Reader reader(tree, problem);
    while (!text.empty())
        if (!reader.line(base::next_line(text)))
            return false;
    return reader.finish();
}

} // namespace lumo
