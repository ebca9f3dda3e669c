#pragma once
// The slot-table fetches waiting for their dump. A dump names no slot, so it is told apart by
// order: the instrument answers in order, so a dump answers the oldest request not yet answered.
// A request is forgotten 5 s after it was sent. A dump that answers a fetch already given up, or
// no request at all, is dropped, so no file ever gets another slot's table. Requests are made on
// the main thread; dumps arrive on the MIDI thread.
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace malvo {

class TuningFetches {
public:
    using Ticket = std::uint64_t;
    using Dump = std::vector<std::uint8_t>;

    static constexpr std::chrono::seconds memory{5};

    // A request about to be sent; `now` in host-clock nanoseconds, as for answer().
    Ticket add(std::uint64_t now);
    // The dump answers the oldest request remembered at `now`; false when it is dropped.
    bool answer(std::span<const std::uint8_t> dump, std::uint64_t now);
    // The dump that answered the request, once; nullopt until it came.
    std::optional<Dump> take(Ticket ticket);
    // Ends the wait for the request: a dump that answers it later is dropped. Returns the dump when
    // it came in the meantime.
    std::optional<Dump> giveUp(Ticket ticket);
    // A request that never went out: nothing can answer it, so it takes no dump meant for another.
    void withdraw(Ticket ticket);
    // Requests of an instrument no longer open answer nothing.
    void clear();

private:
    struct Request {
        Ticket ticket = 0;
        std::uint64_t sentAt = 0;
        bool givenUp = false;
    };

    std::mutex mutex_;
    Ticket next_ = 1;
    std::deque<Request> waiting_; // unanswered, oldest first
    std::optional<std::pair<Ticket, Dump>> answered_;
};

} // namespace malvo
