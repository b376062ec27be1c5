// The collector frame: the record output format, the error record, the
// version line, the command-line check and the way out shared by every
// collector.
#ifndef PROBES_COMMON_COLLECTOR_H
#define PROBES_COMMON_COLLECTOR_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The statuses every program shares; each program names its further ones.
inline constexpr int status_completed = 0; // a completed run, and -V
inline constexpr int status_invalid_command_line = 1;

// Each program defines these two beside its main: its name for the version
// line, and the status it ends with when its output did not reach standard
// output.
extern const char collector_name[];
extern const int collector_output_failure_status;

// Messages that need arguments are formatted here, cut at 255 characters.
extern char errmsg[256];

// Returns only when the program is to go on with its work: ends the process
// for -V and for an invalid command line.
void parse_command_line(int argc, char *argv[]);

// The one way out of every program: main returns it, a fatal failure exits
// with it. Flushes standard output and returns status, or, when status is
// status_completed but some output was lost (a write failed, or standard
// output was closed when parse_command_line ran), the program's
// collector_output_failure_status: a parent takes a stream cut short by a
// full disk for a complete one unless the status says otherwise.
int finish_output(int status);

// Writes at most max_length bytes of text, up to its NUL, so that it cannot
// start a line of its own: the parent takes every line for a record line, so
// a line feed or carriage return inside a value would forge records. Those
// two, and with every_control any other byte below 0x20 and DEL, are written
// as "\n", "\r" or "\xHH"; every other byte is written as it is.
void put_one_line(const char *text, size_t max_length, bool every_control);

// Writes the record line "key: value", the value as put_one_line writes it.
void put_field(const char *key, const char *value, size_t max_length, bool every_control);

// The ids of error records: a failed system call's is 5000 plus its error
// number; every other failure (a library's own code, a loop in what the
// platform hands out, a value that cannot be read) has error_id_other.
constexpr int32_t errno_error_id(int error)
{
    return 5000 + error;
}
inline constexpr int32_t error_id_other = 5203;

void display_error(const char *message, int32_t id, int32_t number);

// Format into errmsg, then write the error record.
void display_errorf(int32_t id, int32_t number, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void display_errorv(int32_t id, int32_t number, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

// The error record of a system call that failed with error: its id, the
// error number, the message formatted into errmsg.
void display_errno_error(int error, const char *format, ...) __attribute__((format(printf, 2, 3)));

void display_version();

#endif
