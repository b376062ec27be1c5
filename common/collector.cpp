#include "collector.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

char errmsg[256];

static bool stdout_was_closed;

int finish_output(int status)
{
    bool lost = fflush(stdout) != 0 || ferror(stdout) || stdout_was_closed;
    return status == status_completed && lost ? collector_output_failure_status : status;
}

// With standard output closed, the next open() would take descriptor 1 and
// records would be written into whatever file that is. Park a read-only
// descriptor there so every write fails, and remember the loss.
static void guard_closed_stdout()
{
    if (fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF)
        return;
    stdout_was_closed = true;
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd != -1 && fd != STDOUT_FILENO) {
        (void)dup2(fd, STDOUT_FILENO);
        (void)fcntl(STDOUT_FILENO, F_SETFD, FD_CLOEXEC);
        (void)close(fd);
    }
}

void parse_command_line(int argc, char *argv[])
{
    guard_closed_stdout();

    int version_count = 0;
    int error_count = 0;
    int option;
    // The leading "+" keeps glibc from permuting argv: parsing stops at the
    // first operand, so an option after an operand is an operand too.
    while ((option = getopt(argc, argv, "+V")) != -1) {
        if (option == 'V') {
            if (version_count > 0)
                error_count++;
            version_count++;
        } else {
            error_count++;
        }
    }

    if (error_count > 0) {
        display_errno_error(EINVAL, "Invalid command line argument");
        exit(finish_output(status_invalid_command_line));
    }
    if (version_count > 0) {
        display_version();
        exit(finish_output(status_completed));
    }
}

// What each byte is to a line of a record: text, or a byte that ends or
// breaks it. A scan stops at a byte whose class shares a bit with its stop
// mask, so that a run of plain text costs one lookup a byte.
enum : unsigned char {
    plain_byte = 0,
    line_break = 1,   // a line feed or carriage return, escaped in every value
    control_byte = 2, // escaped only where every control byte is
    end_of_text = 3,  // NUL: stops every scan
};

static constexpr struct ByteClasses {
    unsigned char of[256];
    constexpr ByteClasses() : of()
    {
        for (int byte = 1; byte < 0x20; byte++)
            of[byte] = control_byte;
        of[0x7f] = control_byte;
        of[static_cast<unsigned char>('\n')] = line_break;
        of[static_cast<unsigned char>('\r')] = line_break;
        of[0] = end_of_text;
    }
} byte_classes;

static unsigned char stop_mask(bool every_control)
{
    return every_control ? line_break | control_byte : line_break;
}

// The end of the run of bytes from at on that need no escape, before limit.
static size_t plain_run(const char *text, size_t at, size_t limit, unsigned char stop)
{
    while (at < limit && (byte_classes.of[static_cast<unsigned char>(text[at])] & stop) == 0)
        at++;
    return at;
}

void put_one_line(const char *text, size_t max_length, bool every_control)
{
    unsigned char stop = stop_mask(every_control);
    size_t start = 0;
    for (;;) {
        size_t end = plain_run(text, start, max_length, stop);
        (void)fwrite(text + start, 1, end - start, stdout);
        if (end == max_length || text[end] == '\0')
            return;
        unsigned char byte = static_cast<unsigned char>(text[end]);
        if (byte == '\n')
            (void)fputs("\\n", stdout);
        else if (byte == '\r')
            (void)fputs("\\r", stdout);
        else
            (void)printf("\\x%02x", byte);
        start = end + 1;
    }
}

void put_field(const char *key, const char *value, size_t max_length, bool every_control)
{
    // Most lines are short and need no escape: written whole in one call,
    // not four. Any other goes piece by piece below.
    char line[512];
    size_t key_length = strlen(key);
    if (key_length + 3 <= sizeof line) {
        size_t room = sizeof line - 3 - key_length;
        size_t end =
            plain_run(value, 0, max_length < room ? max_length : room, stop_mask(every_control));
        if (end == max_length || value[end] == '\0') {
            memcpy(line, key, key_length);
            memcpy(line + key_length, ": ", 2);
            memcpy(line + key_length + 2, value, end);
            line[key_length + 2 + end] = '\n';
            (void)fwrite(line, 1, key_length + end + 3, stdout);
            return;
        }
    }
    (void)fputs(key, stdout);
    (void)fputs(": ", stdout);
    put_one_line(value, max_length, every_control);
    (void)putchar('\n');
}

// A message may carry a file name or a library's text, so it is kept to its
// own line like any value.
void display_error(const char *message, int32_t id, int32_t number)
{
    (void)printf("*Node: nivex-error\nid: %d\n", id);
    put_field("message", message, SIZE_MAX, false);
    (void)printf("number: %d\n", number);
}

void display_errorv(int32_t id, int32_t number, const char *format, va_list args)
{
    (void)vsnprintf(errmsg, sizeof errmsg, format, args);
    display_error(errmsg, id, number);
}

void display_errorf(int32_t id, int32_t number, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    display_errorv(id, number, format, args);
    va_end(args);
}

void display_errno_error(int error, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    display_errorv(errno_error_id(error), error, format, args);
    va_end(args);
}

void display_version()
{
    (void)printf("%s\t%s\n", collector_name, PROBES_VERSION);
}
