// A reader process: a child for work that may never end (a read stuck in a
// driver, a library waiting for a lock), so the caller waits no longer than
// it chooses and then kills it. The child holds its socket to the caller
// and /dev/null on 0, 1 and 2, nothing of the caller's. Requests go to it
// over the socket, its answers come back in memory the two share: both are
// frames, a 32-bit length and that many bytes; a negative length is a mark,
// the child's "cannot". An answer is there for the caller as soon as the
// child has written it, before the child starts on work that may hang,
// and costs no system call: the child wakes the caller, with a byte over
// the socket, only when it waits for the next request or for room, and a
// caller waiting for more looks again every millisecond in any case. A
// caller may send several requests before it receives their answers, each
// with its own deadline.
#ifndef PROBES_PLATFORM_BASE_READER_H
#define PROBES_PLATFORM_BASE_READER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace base
{

using Clock = std::chrono::steady_clock;

// Room that the child's side leaves in front of the bytes of a frame.
inline constexpr size_t frame_header = sizeof(int32_t);

class ReaderProcess
{
  public:
    ReaderProcess() = default;
    // A child still running is killed and waited for.
    ~ReaderProcess();
    ReaderProcess(const ReaderProcess &) = delete;
    ReaderProcess &operator=(const ReaderProcess &) = delete;

    // Forks the child, which runs serve(channel, context) and ends; only
    // async-signal-safe calls where the caller may have threads. 0 or errno.
    int start(void (*serve)(int channel, void *context), void *context);
    bool running() const
    {
        return child_ >= 0;
    }
    // Sends one frame: 0, or an errno.
    int send(std::string_view bytes);
    // Appends the next frame's bytes to into, which may not pass cap bytes:
    // 0, or ENODATA for a mark, or else ETIMEDOUT when it is not whole by
    // the deadline, EPIPE when the child ended before it began, EIO when it
    // ended within it, EFBIG when into would pass the cap.
    int receive(std::string &into, size_t cap, Clock::time_point deadline);
    // Kills the child, reaped once it has ended: a read stuck in the kernel
    // may keep it for ever.
    void stop();

    // The memory the answers come back in.
    struct Shared;

  private:
    int receive_exactly(char *data, size_t size, Clock::time_point deadline);
    // Waits until the child may have written more, it has ended, or the
    // deadline: 0 or an errno.
    int wait(Clock::time_point deadline);
    // Unmaps what the child shared; the child keeps its own mapping.
    void release();

    pid_t child_ = -1;
    int channel_ = -1;
    Shared *shared_ = nullptr; // a fresh one per child
    bool ended_ = false;       // the child hung up
    std::string out_;          // the frame being sent
    std::vector<pid_t> abandoned_;
};

// The child's side. Sends the frame whose length bytes follow frame_header
// bytes of room at frame, which it fills in; a negative length sends that
// mark alone. The caller may take it at once. False when the caller is
// gone.
bool send_frame(int channel, char *frame, int32_t length);
// Wakes the caller if it waits for answers, then waits for the next frame
// of at most room bytes; false once the caller hangs up, or sends more.
bool receive_frame(int channel, char *data, size_t room, size_t &length);

} // namespace base

#endif
