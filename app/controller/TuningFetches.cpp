#include "app/controller/TuningFetches.h"

#include <algorithm>

namespace malvo {

TuningFetches::Ticket TuningFetches::add(std::uint64_t now) {
    std::lock_guard lock(mutex_);
    waiting_.push_back({.ticket = next_, .sentAt = now});
    return next_++;
}

bool TuningFetches::answer(std::span<const std::uint8_t> dump, std::uint64_t now) {
    constexpr auto forgetAfter = std::uint64_t(std::chrono::nanoseconds(memory).count());
    std::lock_guard lock(mutex_);
    while (!waiting_.empty() && now - std::min(now, waiting_.front().sentAt) >= forgetAfter)
        waiting_.pop_front();
    if (waiting_.empty()) return false;
    const Request oldest = waiting_.front();
    waiting_.pop_front();
    if (oldest.givenUp) return false;
    answered_.emplace(oldest.ticket, Dump(dump.begin(), dump.end()));
    return true;
}

std::optional<TuningFetches::Dump> TuningFetches::take(Ticket ticket) {
    std::lock_guard lock(mutex_);
    if (!answered_ || answered_->first != ticket) return std::nullopt;
    auto dump = std::move(answered_->second);
    answered_.reset();
    return dump;
}

std::optional<TuningFetches::Dump> TuningFetches::giveUp(Ticket ticket) {
    std::lock_guard lock(mutex_);
    if (answered_ && answered_->first == ticket) {
        auto dump = std::move(answered_->second);
        answered_.reset();
        return dump;
    }
    for (auto& request : waiting_)
        if (request.ticket == ticket) request.givenUp = true;
    return std::nullopt;
}

void TuningFetches::withdraw(Ticket ticket) {
    std::lock_guard lock(mutex_);
    std::erase_if(waiting_, [ticket](const Request& request) { return request.ticket == ticket; });
}

void TuningFetches::clear() {
    std::lock_guard lock(mutex_);
    waiting_.clear();
    answered_.reset();
}

} // namespace malvo
