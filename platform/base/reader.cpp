#include "reader.h"

#include "io.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace base
{

int ReaderProcess::start(void (*serve)(int channel, void *context), void *context)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return errno;
    pid_t pid = fork();
    if (pid == 0) {
        // The channel goes to 3, above the three that /dev/null takes, and
        // every other descriptor is closed.
        int channel = fcntl(ends[1], F_DUPFD, 3);
        int null = open("/dev/null", O_RDWR);
        if (channel < 0 || null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 ||
            dup2(null, 2) < 0 || dup2(channel, 3) < 0 || close_range(4, ~0U, 0) != 0)
            _exit(127);
        serve(3, context);
        _exit(0);
    }
    int error = errno;
    (void)close(ends[1]);
    if (pid < 0) {
        (void)close(ends[0]);
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

int ReaderProcess::receive_exactly(char *data, size_t size, Clock::time_point deadline)
{
    // What the child has sent is taken in as much at a time as has come,
    // so that a run of small answers costs one wait and one receive.
    size_t done = 0;
    while (done < size) {
        if (in_at_ == in_end_) {
            in_.resize(in_room);
            in_at_ = in_end_ = 0;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd ready{channel_, POLLIN, 0};
            int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
            ssize_t got = polled > 0 ? recv(channel_, in_.data(), in_.size(), 0) : -1;
            if (got < 0 && polled != 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return polled == 0 ? ETIMEDOUT : got < 0 ? errno : done == 0 ? EPIPE : EIO;
            in_end_ = static_cast<size_t>(got);
        }
        size_t taken = std::min(size - done, in_end_ - in_at_);
        memcpy(data + done, in_.data() + in_at_, taken);
        in_at_ += taken;
        done += taken;
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
    // What the child sent but no one asked for goes with it.
    in_at_ = in_end_ = 0;
}

ReaderProcess::~ReaderProcess()
{
    if (child_ >= 0) {
        // Not stuck, or it would have been stopped: it ends at once.
        (void)close(channel_);
        (void)kill(child_, SIGKILL);
        (void)waitpid(child_, nullptr, 0);
    }
    for (pid_t pid : abandoned_)
        (void)waitpid(pid, nullptr, WNOHANG);
}

bool send_frame(int channel, char *frame, int32_t length)
{
    memcpy(frame, &length, sizeof length);
    return write_all(channel, frame, frame_header + static_cast<size_t>(std::max(length, 0)));
}

bool receive_frame(int channel, char *data, size_t room, size_t &length)
{
    int32_t header;
    if (read_all(channel, &header, sizeof header) != sizeof header || header < 0 ||
        static_cast<size_t>(header) > room)
        return false;
    length = static_cast<size_t>(header);
    return read_all(channel, data, length) == header;
}

} // namespace base
