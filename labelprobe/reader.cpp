// The label reader: a child process that opens each entry and reads its
// label, so that an open or a read that never returns (a FIFO put in an
// entry's place, a dead path to a disk, a read in uninterruptible sleep) is
// abandoned with the child instead of holding the run. The child answers in
// the order it was asked; the parent asks a little ahead, so reading labels
// and resolving paths go on side by side.
#include "labelprobe.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vtoc.h>
#include <time.h>
#include <unistd.h>

void (*before_label_open)(const char *path);

static_assert(sizeof(vtoc::v_asciilabel) == label_size, "the label field of the VTOC");

// What the reader sends back for one entry: whether it was read, and if so
// read_vtoc's result and the label.
struct reader_answer {
    int32_t read; // 0: skipped, 1: read
    int32_t result;
    char label[label_size];
};

// Entries asked for and not yet taken; a bound on both keeps the lookahead
// small and what is sent within any socket buffer.
enum { queue_length = 64, sent_bytes_limit = 16384 };

static pid_t reader_pid = -1;
static int reader_socket = -1;
static int deadline_ms;

static char queued_names[queue_length][path_size];
static size_t queue_first;
static size_t queue_count;
static size_t queued_bytes;
// Requests not yet handed to the socket, which the parent never lets block.
static char outgoing[sent_bytes_limit];
static size_t outgoing_length;
// Requests go out a few at a time as they are queued, so that the reader
// has work while the parent writes the records before them, and all at
// once when an answer is waited for.
enum { names_per_send = queue_length / 4 };
static size_t unsent_names;
// Answers received and not yet taken: incoming_length bytes from
// incoming_start.
static char incoming[queue_length * sizeof(reader_answer)];
static size_t incoming_start;
static size_t incoming_length;

static bool is_label_holder(mode_t mode)
{
    return S_ISCHR(mode) || S_ISBLK(mode) || S_ISREG(mode);
}

// In the reader. Only a device or a regular file (an image standing for a
// disk) can hold a label: a FIFO, whose open would wait for a writer, is
// not opened. The open stays a plain blocking one, since on removable media
// a non-blocking open may succeed without a medium; an entry that changes
// its type after the check is caught by the deadline, or after the open.
static reader_answer read_entry(const char *name)
{
    reader_answer answer = {};
    struct stat status;
    if (stat(name, &status) != 0 || !is_label_holder(status.st_mode))
        return answer;
    if (before_label_open != nullptr)
        before_label_open(name);
    int fd = open(name, O_RDONLY);
    if (fd < 0)
        return answer;
    if (fstat(fd, &status) == 0 && is_label_holder(status.st_mode)) {
        struct vtoc vtoc = {};
        answer.read = 1;
        answer.result = read_vtoc(fd, &vtoc);
        memcpy(answer.label, vtoc.v_asciilabel, sizeof answer.label);
    }
    (void)close(fd);
    return answer;
}

static bool send_all(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The reader's life: NUL-ended entry names in, one answer out for each, until
// the parent closes its end or goes. The names are entries of the working
// directory, which the reader shares with the parent from the start.
[[noreturn]] static void serve(int fd)
{
    static char names[sent_bytes_limit];
    size_t length = 0;
    for (;;) {
        ssize_t n = recv(fd, names + length, sizeof names - length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(0);
        length += static_cast<size_t>(n);
        size_t start = 0;
        for (const char *end; (end = static_cast<const char *>(
                                   memchr(names + start, '\0', length - start))) != nullptr;) {
            reader_answer answer = read_entry(names + start);
            if (!send_all(fd, &answer, sizeof answer))
                _exit(0);
            start = static_cast<size_t>(end - names) + 1;
        }
        memmove(names, names + start, length - start);
        length -= start;
    }
}

int start_label_reader(int deadline)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return errno;
    pid_t pid = fork();
    if (pid < 0) {
        int error = errno;
        (void)close(ends[0]);
        (void)close(ends[1]);
        return error;
    }
    if (pid == 0) {
        // The reader may outlive the run, stuck in a read: it must not keep
        // the parent's output open, or whoever reads it would wait as long.
        (void)close(ends[0]);
        for (int fd = 0; fd <= 2; fd++)
            (void)close(fd);
        serve(ends[1]);
    }
    (void)close(ends[1]);
    int flags = fcntl(ends[0], F_GETFL);
    if (flags == -1 || fcntl(ends[0], F_SETFL, flags | O_NONBLOCK) == -1) {
        int error = errno;
        (void)close(ends[0]);
        (void)kill(pid, SIGKILL);
        return error;
    }
    reader_pid = pid;
    reader_socket = ends[0];
    deadline_ms = deadline;
    return 0;
}

// A reader that did not answer in time, or lost its way, is killed and left
// unwaited: one stuck in uninterruptible sleep ends only when its read does.
static void abandon_reader()
{
    (void)kill(reader_pid, SIGKILL);
    (void)close(reader_socket);
    reader_socket = -1;
}

static long long ms_since(const struct timespec &since)
{
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000LL + (now.tv_nsec - since.tv_nsec) / 1000000;
}

static void send_outgoing()
{
    ssize_t n = send(reader_socket, outgoing, outgoing_length, MSG_NOSIGNAL);
    if (n > 0) {
        memmove(outgoing, outgoing + n, outgoing_length - static_cast<size_t>(n));
        outgoing_length -= static_cast<size_t>(n);
    }
    unsent_names = 0;
    for (size_t at = 0; at < outgoing_length; at++)
        unsent_names += outgoing[at] == '\0';
}

bool label_queue_full()
{
    return queue_count == queue_length || queued_bytes + path_size > sent_bytes_limit;
}

bool label_queue_empty()
{
    return queue_count == 0;
}

void queue_label_read(const char *name)
{
    size_t length = strlen(name) + 1;
    char *slot = queued_names[(queue_first + queue_count) % queue_length];
    memcpy(slot, name, length);
    queue_count++;
    queued_bytes += length;
    memcpy(outgoing + outgoing_length, name, length);
    outgoing_length += length;
    if (++unsent_names >= names_per_send)
        send_outgoing();
}

// Takes in what the reader has sent, without waiting: false once it has
// ended or failed.
static bool receive_ready()
{
    // Called with less than an answer left: what is left moves to the
    // front, so answers are taken without moving the rest each time.
    memmove(incoming, incoming + incoming_start, incoming_length);
    incoming_start = 0;
    ssize_t n =
        recv(reader_socket, incoming + incoming_length, sizeof incoming - incoming_length, 0);
    if (n > 0)
        incoming_length += static_cast<size_t>(n);
    return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK));
}

// Waits for the oldest entry's answer, at most the deadline from when the
// wait began; the outcome. An answer already there costs no wait, and no
// flush: the reader is usually ahead.
static label_outcome await_answer()
{
    if (reader_socket < 0)
        return label_reader_lost;
    if (incoming_length < sizeof(reader_answer)) {
        if (outgoing_length > 0)
            send_outgoing();
        if (!receive_ready())
            return label_reader_lost;
    }
    struct timespec since;
    bool waiting = false;
    while (incoming_length < sizeof(reader_answer)) {
        if (outgoing_length > 0)
            send_outgoing();
        if (!waiting)
            (void)clock_gettime(CLOCK_MONOTONIC, &since);
        waiting = true;
        long long left = deadline_ms - ms_since(since);
        if (left <= 0)
            return label_timed_out;
        // Whatever is written goes out before any wait, so the collector
        // that started the run has every record even if it ends the run at
        // a deadline of its own.
        (void)fflush(stdout);
        struct pollfd ready = {reader_socket, POLLIN, 0};
        ready.events = static_cast<short>(POLLIN | (outgoing_length > 0 ? POLLOUT : 0));
        int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno != EINTR)
            return label_reader_lost;
        if (polled <= 0 || (ready.revents & ~POLLOUT) == 0)
            continue;
        if (!receive_ready())
            return label_reader_lost;
    }
    return label_answered;
}

label_outcome take_label(char (&name)[path_size], int *result, char (&label)[label_size])
{
    memcpy(name, queued_names[queue_first], strlen(queued_names[queue_first]) + 1);
    label_outcome outcome = await_answer();
    if (outcome != label_answered) {
        if (reader_socket >= 0)
            abandon_reader();
        return outcome;
    }
    reader_answer answer;
    memcpy(&answer, incoming + incoming_start, sizeof answer);
    incoming_start += sizeof answer;
    incoming_length -= sizeof answer;
    queued_bytes -= strlen(name) + 1;
    queue_first = (queue_first + 1) % queue_length;
    queue_count--;
    *result = answer.result;
    memcpy(label, answer.label, sizeof label);
    return answer.read != 0 ? label_answered : label_skipped;
}
