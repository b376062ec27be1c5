// Lookups, one per item of a list, that a caller takes in turn and that cost
// a system call each: a thread does them beside the caller's own work, and
// the caller does those it reaches first. The thread goes ahead of the
// caller while it can keep ahead; once the caller keeps waiting for it, it
// goes on from the last item back, so that the two meet once rather than
// the caller waiting at every item. A lookup may run on either side,
// so it allocates nothing and reads only what stays put until stop().
#ifndef PROBES_PLATFORM_BASE_LOOK_AHEAD_H
#define PROBES_PLATFORM_BASE_LOOK_AHEAD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace base
{

template <typename Result> class LookAhead
{
  public:
    LookAhead() = default;
    ~LookAhead()
    {
        stop();
    }
    LookAhead(const LookAhead &) = delete;
    LookAhead &operator=(const LookAhead &) = delete;

    // Makes room for count items and starts the thread, which calls
    // look_up(i, result) for each item that the caller has not taken. Where
    // no thread can be started, every lookup is the caller's.
    void start(size_t count, std::function<void(size_t, Result &)> look_up)
    {
        stop();
        items_ = std::make_unique<Item[]>(count);
        count_ = count;
        look_up_ = std::move(look_up);
        stopping_ = false;
        waits_ = 0;
        try {
            thread_ = std::thread([this] {
                size_t ahead = 0;
                while (ahead < count_ && !stopping_.load(std::memory_order_relaxed) &&
                       waits_.load(std::memory_order_relaxed) < overtaken)
                    (void)claim(ahead++);
                for (size_t i = count_; i > ahead && !stopping_.load(std::memory_order_relaxed);
                     i--)
                    (void)claim(i - 1);
            });
        } catch (...) {
        }
    }

    // The result for item i, looked up now unless the thread has.
    const Result &get(size_t i)
    {
        Item &item = items_[i];
        if (!claim(i))
            for (uint8_t state; (state = item.state.load(std::memory_order_acquire)) != known;) {
                waits_.fetch_add(1, std::memory_order_relaxed);
                item.state.wait(state, std::memory_order_acquire);
            }
        return item.result;
    }

    // Ends the thread; what it looked up stays.
    void stop()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
    }

  private:
    enum : uint8_t { unclaimed, claimed, known };
    struct Item {
        std::atomic<uint8_t> state{unclaimed};
        Result result{};
    };

    // Looks item i up unless the other side has taken it: false then.
    bool claim(size_t i)
    {
        Item &item = items_[i];
        uint8_t expected = unclaimed;
        if (!item.state.compare_exchange_strong(expected, claimed))
            return false;
        look_up_(i, item.result);
        item.state.store(known, std::memory_order_release);
        item.state.notify_all();
        return true;
    }

    std::unique_ptr<Item[]> items_;
    size_t count_ = 0;
    std::function<void(size_t, Result &)> look_up_;
    std::atomic<bool> stopping_ = false;
    // How often the caller has waited for the thread, and how often means it
    // keeps up with the thread rather than having met it as it started.
    std::atomic<size_t> waits_ = 0;
    static constexpr size_t overtaken = 32;
    std::thread thread_;
};

} // namespace base

#endif
