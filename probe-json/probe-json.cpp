// probe-json: a record stream, read from standard input or from a command it
// runs, written as JSON Lines, one object per record in stream order, with
// the command's exit status last. Memory stays flat however long the stream:
// each part of a record is written as the reader hands it over.
#include "collector.h"
#include "records.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

// Like env(1): a status of its own that no collector uses, and 126 and 127
// for a command that cannot be run or is not found.
static const int own_failure = 125;
static const int command_not_runnable = 126;
static const int command_not_found = 127;

const char collector_name[] = "probe-json";
const int collector_output_failure_status = own_failure;

// A treeprobe stream has millions of short lines: they are read and written
// through buffers of their own, not a call of the C library per line.
static char input_buffer[1 << 16];
static char output_buffer[1 << 16];
static size_t output_used;

// A line longer than the input buffer, gathered piece by piece.
static std::string long_line;

// Where the object being written stands: between objects, inside the open
// value string of a record's header, or inside that of one of its fields.
static enum { between, in_value, in_field } position;

// The object being written had a byte that is not UTF-8.
static bool lossy;

// An error record is held back until it is complete: written as an error
// object when it is exactly its three lines with numbers, as a plain record
// otherwise, so nothing of a malformed one is lost.
static const char *const error_keys[] = {"id", "message", "number"};
static bool holding_error;
static size_t held_count;
static std::string held_values[3];

enum ByteClass : unsigned char { plain, control, high };

static constexpr std::array<ByteClass, 256> byte_classes = [] {
    std::array<ByteClass, 256> classes{};
    for (int byte = 0; byte < 256; byte++)
        classes[byte] = byte >= 0x80 ? high : byte < 0x20 || byte == 0x7f ? control : plain;
    classes['"'] = control;
    classes['\\'] = control;
    return classes;
}();

// Standard output is unbuffered (main), so the block goes straight to the
// descriptor and a failed write stays on the stream for finish_output.
static void flush_output()
{
    if (!ferror(stdout))
        (void)fwrite(output_buffer, 1, output_used, stdout);
    output_used = 0;
}

static void put_in_pieces(std::string_view text)
{
    while (text.size() > sizeof output_buffer - output_used) {
        size_t room = sizeof output_buffer - output_used;
        memcpy(output_buffer + output_used, text.data(), room);
        output_used += room;
        text.remove_prefix(room);
        flush_output();
    }
    memcpy(output_buffer + output_used, text.data(), text.size());
    output_used += text.size();
}

// Called for every piece of every line: the common case, room in the
// buffer, is a single copy, inline.
static inline void put(std::string_view text)
{
    // The value of a header without ": " has no storage behind it at all,
    // and memcpy may not be handed a null pointer, even for no bytes.
    if (text.empty())
        return;
    if (text.size() > sizeof output_buffer - output_used) {
        put_in_pieces(text);
        return;
    }
    memcpy(output_buffer + output_used, text.data(), text.size());
    output_used += text.size();
}

// The length of the well-formed UTF-8 sequence that starts text, or 0: no
// overlong forms, no surrogates, nothing above U+10FFFF.
static size_t utf8_length(const unsigned char *text, size_t available)
{
    unsigned char lead = text[0];
    unsigned char low = 0x80, high_limit = 0xbf;
    size_t length;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high_limit = lead == 0xed ? 0x9f : high_limit;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high_limit = lead == 0xf4 ? 0x8f : high_limit;
    } else {
        return 0;
    }
    if (available < length || text[1] < low || text[1] > high_limit)
        return 0;
    for (size_t i = 2; i < length; i++)
        if ((text[i] & 0xc0) != 0x80)
            return 0;
    return length;
}

// Writes the escape of a control character, a quote or a backslash at out
// and returns where it ends: at most six bytes, "\u001f".
static char *put_control(unsigned char byte, char *out)
{
    static const char short_escapes[] = "\"\"\\\\\bb\ff\nn\rr\tt";
    for (size_t i = 0; i + 1 < sizeof short_escapes; i += 2) {
        if (static_cast<unsigned char>(short_escapes[i]) == byte) {
            out[0] = '\\';
            out[1] = short_escapes[i + 1];
            return out + 2;
        }
    }
    static const char hex[] = "0123456789abcdef";
    memcpy(out, "\\u00", 4);
    out[4] = hex[byte >> 4];
    out[5] = hex[byte & 0xf];
    return out + 6;
}

// Whether all eight bytes at text are plain, tested a word at a time: no
// byte with its high bit set, below 0x20, or equal to a quote, a backslash
// or 0x7f. Long values are mostly plain from end to end.
static bool plain_word(const unsigned char *text)
{
    constexpr uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    uint64_t word;
    memcpy(&word, text, sizeof word);
    // A byte is zero in (word ^ each) where it equals the one sought.
    auto has_zero = [](uint64_t x) { return (x - ones) & ~x & highs; };
    uint64_t special = word & highs;
    special |= (word - 0x20 * ones) & ~word & highs;
    special |=
        has_zero(word ^ '"' * ones) | has_zero(word ^ '\\' * ones) | has_zero(word ^ 0x7f * ones);
    return special == 0;
}

// The inside of a JSON string at out, which has room for six bytes out for
// every byte in: valid UTF-8 as it is, control characters, quote and
// backslash escaped, and each byte of anything else as U+FFFD. Returns where
// it ends. Plain runs go a word at a time: a stream is millions of short
// strings, each written straight into the output buffer.
static inline char *put_escaped(char *out, std::string_view text)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text.data());
    size_t size = text.size();
    for (size_t i = 0; i < size;) {
        while (size - i >= 8 && plain_word(bytes + i)) {
            memcpy(out, bytes + i, 8);
            out += 8;
            i += 8;
        }
        while (i < size && byte_classes[bytes[i]] == plain)
            *out++ = static_cast<char>(bytes[i++]);
        if (i == size)
            break;
        ByteClass byte_class = byte_classes[bytes[i]];
        size_t length = byte_class == high ? utf8_length(bytes + i, size - i) : 0;
        if (length > 0) {
            memcpy(out, bytes + i, length);
            out += length;
            i += length;
        } else if (byte_class == high) {
            memcpy(out, "\xef\xbf\xbd", 3);
            out += 3;
            lossy = true;
            i++;
        } else {
            out = put_control(bytes[i++], out);
        }
    }
    return out;
}

// A string too long for the room the output buffer always has is escaped
// a piece at a time; a piece never ends inside a valid UTF-8 sequence.
static constexpr size_t longest_piece = sizeof output_buffer / 8;

static void put_string_text(std::string_view text)
{
    while (!text.empty()) {
        size_t length = std::min(text.size(), longest_piece);
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text.data());
        for (size_t back = 1; back <= 3 && back <= length; back++) {
            size_t start = length - back;
            size_t sequence = utf8_length(bytes + start, text.size() - start);
            if (sequence > back) {
                length = start + sequence;
                break;
            }
        }
        if (sizeof output_buffer - output_used < length * 6)
            flush_output();
        char *out = put_escaped(output_buffer + output_used, text.substr(0, length));
        output_used = static_cast<size_t>(out - output_buffer);
        text.remove_prefix(length);
    }
}

static void begin_record(std::string_view key, std::string_view value)
{
    lossy = false;
    put("{\"record\":\"");
    put_string_text(key);
    put("\",\"value\":\"");
    put_string_text(value);
    position = in_value;
}

// Most lines are a field: when its worst case fits the room the buffer
// always has, room is made once and the line written straight in.
static void put_field(std::string_view key, std::string_view value)
{
    using namespace std::string_view_literals;
    std::string_view opening = position == in_value ? "\",\"fields\":[[\""sv : "\"],[\""sv;
    position = in_field;
    if (key.size() + value.size() > longest_piece) {
        put(opening);
        put_string_text(key);
        put("\",\"");
        put_string_text(value);
        return;
    }
    if (sizeof output_buffer - output_used < (key.size() + value.size()) * 6 + 16)
        flush_output();
    char *out = output_buffer + output_used;
    memcpy(out, opening.data(), opening.size());
    out = put_escaped(out + opening.size(), key);
    memcpy(out, "\",\"", 3);
    out = put_escaped(out + 3, value);
    output_used = static_cast<size_t>(out - output_buffer);
}

static void end_object()
{
    if (lossy)
        put(",\"lossy\":true}\n");
    else
        put("}\n");
    position = between;
}

static void release_held_error()
{
    holding_error = false;
    begin_record("Node", "nivex-error");
    for (size_t i = 0; i < held_count; i++)
        put_field(error_keys[i], held_values[i]);
}

static void put_error_object()
{
    int32_t id, number;
    if (!parse_error_number(held_values[0], id) || !parse_error_number(held_values[2], number)) {
        release_held_error();
        return;
    }
    holding_error = false;
    lossy = false;
    char text[32];
    (void)snprintf(text, sizeof text, "%d", id);
    put("{\"error\":{\"id\":");
    put(text);
    put(",\"message\":\"");
    put_string_text(held_values[1]);
    (void)snprintf(text, sizeof text, "%d", number);
    put("\",\"number\":");
    put(text);
    put("}");
    end_object();
}

static void on_part(RecordPart part, std::string_view key, std::string_view text, void *)
{
    if (holding_error) {
        if (part == RecordPart::field && held_count < 3 && key == error_keys[held_count]) {
            held_values[held_count++] = text;
            return;
        }
        if (part == RecordPart::end && held_count == 3)
            put_error_object();
        else
            release_held_error();
    }
    switch (part) {
    case RecordPart::header:
        if (key == "Node" && text == "nivex-error") {
            holding_error = true;
            held_count = 0;
        } else {
            begin_record(key, text);
        }
        break;
    case RecordPart::field:
        put_field(key, text);
        break;
    case RecordPart::continuation:
        put("\\n");
        put_string_text(text);
        break;
    case RecordPart::end:
        if (position == in_value)
            put("\",\"fields\":[]");
        else if (position == in_field)
            put("\"]]");
        if (position != between)
            end_object();
        break;
    case RecordPart::stray:
        lossy = false;
        put("{\"stray\":\"");
        put_string_text(text);
        put("\"");
        end_object();
        break;
    }
}

// Converts all that can be read from fd; false when it could not be read to
// its end.
static bool convert(int fd)
{
    RecordReader reader{on_part, nullptr, false};
    size_t kept = 0; // the start of a line, at the start of the buffer
    ssize_t got;
    while ((got = read(fd, input_buffer + kept, sizeof input_buffer - kept)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        const char *start = input_buffer;
        const char *end = input_buffer + kept + got;
        const char *line_feed;
        while ((line_feed = static_cast<const char *>(memchr(start, '\n', end - start)))) {
            if (long_line.empty()) {
                read_record_line(reader, {start, line_feed});
            } else {
                read_record_line(reader, long_line.append(start, line_feed));
                long_line.clear();
            }
            start = line_feed + 1;
        }
        kept = end - start;
        if (kept == sizeof input_buffer || !long_line.empty()) {
            long_line.append(start, kept);
            kept = 0;
        } else {
            memmove(input_buffer, start, kept);
        }
    }
    end_record_stream(reader, long_line.append(input_buffer, kept));
    return got == 0;
}

// A name without a slash is looked for beside this program first, where the
// collectors are installed, then on PATH.
static void exec_command(char *argv[])
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (strchr(argv[0], '/') == nullptr && length > 0) {
        self[length] = '\0';
        char beside[PATH_MAX];
        int directory = static_cast<int>(strrchr(self, '/') - self);
        if (snprintf(beside, sizeof beside, "%.*s/%s", directory, self, argv[0]) <
                static_cast<int>(sizeof beside) &&
            access(beside, X_OK) == 0)
            (void)execv(beside, argv);
    }
    (void)execvp(argv[0], argv);
}

// Runs the command with its standard output into a pipe, converts what it
// writes and ends with its exit status, or 128 + the signal that ended it.
static int convert_command(char *argv[])
{
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        perror("probe-json: pipe");
        return own_failure;
    }
    pid_t child = fork();
    if (child == -1) {
        perror("probe-json: fork");
        return own_failure;
    }
    if (child == 0) {
        (void)dup2(pipe_ends[1], STDOUT_FILENO);
        exec_command(argv);
        int error = errno;
        (void)fprintf(stderr, "probe-json: %s: %s\n", argv[0], strerror(error));
        _exit(error == ENOENT ? command_not_found : command_not_runnable);
    }
    (void)close(pipe_ends[1]);
    bool read_whole = convert(pipe_ends[0]);
    (void)close(pipe_ends[0]);
    int status;
    pid_t waited;
    while ((waited = waitpid(child, &status, 0)) == -1 && errno == EINTR) {
    }
    if (waited == -1) {
        perror("probe-json: waitpid");
        return own_failure;
    }
    char last[32];
    if (WIFSIGNALED(status)) {
        (void)snprintf(last, sizeof last, "{\"signal\":%d}\n", WTERMSIG(status));
        status = 128 + WTERMSIG(status);
    } else {
        status = WEXITSTATUS(status);
        (void)snprintf(last, sizeof last, "{\"exit\":%d}\n", status);
    }
    put(last);
    return status == 0 && !read_whole ? own_failure : status;
}

int main(int argc, char *argv[])
{
    (void)setvbuf(stdout, nullptr, _IONBF, 0);
    // The leading "+" stops at the command's name: what follows is its own.
    bool version = false;
    bool invalid = false;
    int option;
    while ((option = getopt(argc, argv, "+V")) != -1) {
        if (option == 'V' && !version)
            version = true;
        else
            invalid = true;
    }
    if (invalid || (version && optind != argc)) {
        (void)fputs("usage: probe-json [-V] [[--] COMMAND [ARG...]]\n", stderr);
        return own_failure;
    }
    if (version) {
        display_version();
        return finish_output(status_completed);
    }
    // Nothing written could reach anyone: do not run the command at all.
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1) {
        (void)fputs("probe-json: standard output is closed\n", stderr);
        return own_failure;
    }

    int status =
        optind == argc ? (convert(STDIN_FILENO) ? 0 : own_failure) : convert_command(argv + optind);
    flush_output();
    if (ferror(stdout))
        (void)fputs("probe-json: the output could not be written\n", stderr);
    return finish_output(status);
}
