#include "reader.h"

#include "io.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace base
{

// A ring of the bytes of the child's frames: the child writes from written
// on and publishes them by moving written; the caller takes them from taken
// on. Each side writes its own position only, on a cache line of its own.
struct ReaderProcess::Shared {
    static constexpr size_t room = 262144;
    alignas(64) std::atomic<uint64_t> written{0};
    alignas(64) std::atomic<uint64_t> taken{0};
    // Set while the caller sleeps for more, so that the child wakes it.
    alignas(64) std::atomic<bool> caller_waiting{false};
    char bytes[room];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the ring is shared with a process that may only make async-signal-safe calls");

namespace
{

// How long a waiting caller sleeps before it looks at the ring again, so
// that an answer the child wrote before it hung is taken within its bound.
constexpr int look_again_ms = 1;

// The child's ring: set in the child once it is forked.
ReaderProcess::Shared *child_ring;

// What the child has received and not taken yet: a request comes in with
// one read, its length and its bytes together, however many the caller
// sent at once.
char child_in[4096];
size_t child_in_at;
size_t child_in_end;

// The next size bytes from the caller; false once it hangs up.
bool take_in(int channel, char *data, size_t size)
{
    while (size > 0) {
        if (child_in_at == child_in_end) {
            ssize_t got;
            do
                got = read(channel, child_in, sizeof child_in);
            while (got < 0 && errno == EINTR);
            if (got <= 0)
                return false;
            child_in_at = 0;
            child_in_end = static_cast<size_t>(got);
        }
        size_t taken = std::min(size, child_in_end - child_in_at);
        memcpy(data, child_in + child_in_at, taken);
        child_in_at += taken;
        data += taken;
        size -= taken;
    }
    return true;
}

// Wakes the caller if it sleeps; false when it is gone.
bool wake_caller(int channel)
{
    // Against the caller's setting caller_waiting and then looking at
    // written: one of the two sees the other's store.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!child_ring->caller_waiting.load(std::memory_order_relaxed))
        return true;
    char wake = 0;
    return repeat_io(1, [&](size_t) { return send(channel, &wake, 1, MSG_NOSIGNAL); }) == 1;
}

// Writes the bytes into the ring as room comes; false when the caller is
// gone.
bool write_ring(int channel, const char *data, size_t size)
{
    ReaderProcess::Shared &ring = *child_ring;
    while (size > 0) {
        uint64_t written = ring.written.load(std::memory_order_relaxed);
        size_t used = static_cast<size_t>(written - ring.taken.load(std::memory_order_acquire));
        if (used == ring.room) {
            // Full: the caller is told, and looked at again in a while.
            // Only its hanging up ends the wait early.
            pollfd gone{channel, 0, 0};
            if (!wake_caller(channel) || poll(&gone, 1, look_again_ms) > 0)
                return false;
            continue;
        }
        size_t at = written % ring.room;
        size_t chunk = std::min({size, ring.room - used, ring.room - at});
        memcpy(ring.bytes + at, data, chunk);
        ring.written.store(written + chunk, std::memory_order_release);
        data += chunk;
        size -= chunk;
    }
    return true;
}

} // namespace

int ReaderProcess::start(void (*serve)(int channel, void *context), void *context)
{
    void *memory =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return errno;
    shared_ = new (memory) Shared;
    ended_ = false;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        int error = errno;
        release();
        return error;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // The channel goes to 3, above the three that /dev/null takes, and
        // every other descriptor is closed.
        int channel = fcntl(ends[1], F_DUPFD, 3);
        int null = open("/dev/null", O_RDWR);
        if (channel < 0 || null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 ||
            dup2(null, 2) < 0 || dup2(channel, 3) < 0 || close_range(4, ~0U, 0) != 0)
            _exit(127);
        child_ring = shared_;
        serve(3, context);
        _exit(0);
    }
    int error = errno;
    (void)close(ends[1]);
    if (pid < 0) {
        (void)close(ends[0]);
        release();
        return error;
    }
    child_ = pid;
    channel_ = ends[0];
    return 0;
}

int ReaderProcess::send(std::string_view bytes)
{
    auto length = static_cast<int32_t>(bytes.size());
    out_.assign(reinterpret_cast<const char *>(&length), sizeof length).append(bytes);
    ssize_t sent = repeat_io(out_.size(), [&](size_t done) {
        return ::send(channel_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL);
    });
    return sent == static_cast<ssize_t>(out_.size()) ? 0 : sent < 0 ? errno : EPIPE;
}

int ReaderProcess::wait(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return ETIMEDOUT;
    uint64_t taken = shared_->taken.load(std::memory_order_relaxed);
    shared_->caller_waiting.store(true, std::memory_order_seq_cst);
    int polled = 0;
    pollfd ready{channel_, POLLIN, 0};
    // Against the child's writing and then looking at caller_waiting.
    if (shared_->written.load(std::memory_order_seq_cst) == taken)
        polled = poll(&ready, 1, static_cast<int>(std::min<long>(left.count(), look_again_ms)));
    shared_->caller_waiting.store(false, std::memory_order_relaxed);
    if (polled < 0)
        return errno == EINTR ? 0 : errno;
    if (polled == 0)
        return 0;
    // The child's wakes, or its end.
    char wakes[64];
    ssize_t got = recv(channel_, wakes, sizeof wakes, MSG_DONTWAIT);
    if (got == 0)
        ended_ = true;
    return got >= 0 || errno == EAGAIN || errno == EINTR ? 0 : errno;
}

int ReaderProcess::receive_exactly(char *data, size_t size, Clock::time_point deadline)
{
    // What the child has written is taken in as much at a time as has
    // come, so that a run of small answers costs no system call.
    if (shared_ == nullptr)
        return EPIPE;
    size_t done = 0;
    while (done < size) {
        uint64_t taken = shared_->taken.load(std::memory_order_relaxed);
        size_t ready =
            static_cast<size_t>(shared_->written.load(std::memory_order_acquire) - taken);
        if (ready == 0) {
            // The child wrote all it did before it ended.
            if (ended_)
                return done == 0 ? EPIPE : EIO;
            if (int error = wait(deadline); error != 0)
                return error;
            continue;
        }
        size_t at = taken % Shared::room;
        size_t chunk = std::min({size - done, ready, Shared::room - at});
        memcpy(data + done, shared_->bytes + at, chunk);
        shared_->taken.store(taken + chunk, std::memory_order_release);
        done += chunk;
    }
    return 0;
}

int ReaderProcess::receive(std::string &into, size_t cap, Clock::time_point deadline)
{
    int32_t length;
    int error = receive_exactly(reinterpret_cast<char *>(&length), sizeof length, deadline);
    if (error != 0 || length < 0)
        return error != 0 ? error : ENODATA;
    size_t had = into.size();
    if (static_cast<size_t>(length) > cap - std::min(had, cap))
        return EFBIG;
    into.resize(had + static_cast<size_t>(length));
    error = receive_exactly(into.data() + had, static_cast<size_t>(length), deadline);
    return error == EPIPE ? EIO : error;
}

void ReaderProcess::release()
{
    if (shared_ != nullptr)
        (void)munmap(shared_, sizeof(Shared));
    shared_ = nullptr;
}

void ReaderProcess::stop()
{
    // With no child, kill(-1) would signal every process the caller may.
    if (child_ <= 0)
        return;
    (void)kill(child_, SIGKILL);
    (void)close(channel_);
    abandoned_.push_back(child_);
    std::erase_if(abandoned_, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
    child_ = -1;
    channel_ = -1;
    // What the child wrote but no one asked for goes with it; the next
    // child gets a ring of its own, which this one cannot reach even
    // while its end is on its way.
    release();
}

ReaderProcess::~ReaderProcess()
{
    if (child_ >= 0) {
        // Not stuck, or it would have been stopped: it ends at once.
        (void)close(channel_);
        (void)kill(child_, SIGKILL);
        (void)waitpid(child_, nullptr, 0);
    }
    release();
    for (pid_t pid : abandoned_)
        (void)waitpid(pid, nullptr, WNOHANG);
}

bool send_frame(int channel, char *frame, int32_t length)
{
    memcpy(frame, &length, sizeof length);
    return write_ring(channel, frame, frame_header + static_cast<size_t>(std::max(length, 0)));
}

bool receive_frame(int channel, char *data, size_t room, size_t &length)
{
    // The caller may be waiting for the last answers: tell it before
    // sleeping.
    if (!wake_caller(channel))
        return false;
    int32_t header;
    if (!take_in(channel, reinterpret_cast<char *>(&header), sizeof header) || header < 0 ||
        static_cast<size_t>(header) > room)
        return false;
    length = static_cast<size_t>(header);
    return take_in(channel, data, length);
}

} // namespace base
