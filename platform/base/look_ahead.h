// Lookups, one per item of a list, that a caller takes in turn and that cost
// a system call each: a thread does them beside the caller's own work,
// from the last item back, while the caller does those it reaches first.
// They meet once, and neither waits for the other but there: a thread
// that went the caller's way would be overtaken by it and then hold it up
// at every item. A lookup may run on either side, so it allocates nothing
// and reads only what stays put until stop().
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
    // look_up(i, result) for each item, last first, that the caller has not
    // taken. Where no thread can be started, every lookup is the caller's.
    void start(size_t count, std::function<void(size_t, Result &)> look_up)
    {
        stop();
        items_ = std::make_unique<Item[]>(count);
        count_ = count;
        look_up_ = std::move(look_up);
        stopping_ = false;
        try {
            thread_ = std::thread([this] {
                for (size_t i = count_; i > 0 && !stopping_.load(std::memory_order_relaxed); i--)
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
            for (uint8_t state; (state = item.state.load(std::memory_order_acquire)) != known;)
                item.state.wait(state, std::memory_order_acquire);
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
    std::thread thread_;
};

} // namespace base

#endif
