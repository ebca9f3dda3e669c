#include "sonabel/midi/listeners/MIDITimeout.h"

#include <algorithm>
#include <chrono>

namespace sonabel {

namespace {

std::chrono::nanoseconds delayOf(double seconds) {
    if (!(seconds > 0)) return std::chrono::nanoseconds(0); // NaN and negative
    // Far beyond any run of the process; keeps the conversion defined.
    constexpr double limit = 1e9; // seconds
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(seconds, limit) * 1e9));
}

} // namespace

std::shared_ptr<MIDITimeout> MIDITimeout::make(double timeoutInterval, bool mainThread, Action onSuccess,
                                               Action onTimeout, platform::MainQueue& queue) {
    return std::shared_ptr<MIDITimeout>(
        new MIDITimeout(timeoutInterval, mainThread, std::move(onSuccess), std::move(onTimeout), queue));
}

MIDITimeout::MIDITimeout(double timeoutInterval, bool mainThread, Action onSuccess, Action onTimeout,
                         platform::MainQueue& queue)
    : timeoutInterval_(timeoutInterval), mainThread_(mainThread), queue_(queue),
      onSuccess_(std::move(onSuccess)), onTimeout_(std::move(onTimeout)) {}

MIDITimeout::~MIDITimeout() {
    queue_.cancelAll(this);
    queue_.cancelAll(&timeoutsOwner_);
}

MIDITimeout::Action MIDITimeout::onSuccess() const {
    std::lock_guard lock(mutex_);
    return onSuccess_;
}

void MIDITimeout::setOnSuccess(Action action) {
    std::lock_guard lock(mutex_);
    onSuccess_ = std::move(action);
}

MIDITimeout::Action MIDITimeout::onTimeout() const {
    std::lock_guard lock(mutex_);
    return onTimeout_;
}

void MIDITimeout::setOnTimeout(Action action) {
    std::lock_guard lock(mutex_);
    onTimeout_ = std::move(action);
}

bool MIDITimeout::disableSuccess() const {
    std::lock_guard lock(mutex_);
    return disableSuccess_;
}

void MIDITimeout::setDisableSuccess(bool disable) {
    std::lock_guard lock(mutex_);
    disableSuccess_ = disable;
}

bool MIDITimeout::disableFailure() const {
    std::lock_guard lock(mutex_);
    return disableFailure_;
}

void MIDITimeout::setDisableFailure(bool disable) {
    std::lock_guard lock(mutex_);
    disableFailure_ = disable;
}

void MIDITimeout::sendWithTimeout(const Action& request) {
    std::weak_ptr<MIDITimeout> weak = weak_from_this();
    queue_.async(
        [weak] {
            if (auto self = weak.lock()) self->arm();
        },
        this);
    if (request) request();
}

void MIDITimeout::arm() {
    std::weak_ptr<MIDITimeout> weak = weak_from_this();
    queue_.asyncAfter(
        delayOf(timeoutInterval_),
        [weak] {
            if (auto self = weak.lock()) self->messageTimeout();
        },
        &timeoutsOwner_);
}

void MIDITimeout::successCall() {
    mainthreadSuccessCall();
}

void MIDITimeout::mainthreadSuccessCall() {
    if (!mainThread_) {
        cancelTimeouts();
        runSuccess();
        return;
    }
    std::weak_ptr<MIDITimeout> weak = weak_from_this();
    queue_.async(
        [weak] {
            if (auto self = weak.lock()) {
                self->cancelTimeouts();
                self->runSuccess();
            }
        },
        this);
}

void MIDITimeout::messageTimeout() {
    if (!mainThread_) {
        runTimeout();
        return;
    }
    std::weak_ptr<MIDITimeout> weak = weak_from_this();
    queue_.async(
        [weak] {
            if (auto self = weak.lock()) self->runTimeout();
        },
        this);
}

void MIDITimeout::cancelTimeouts() {
    queue_.cancelAll(&timeoutsOwner_);
}

void MIDITimeout::runSuccess() {
    Action action;
    {
        std::lock_guard lock(mutex_);
        if (disableSuccess_) return;
        action = onSuccess_;
    }
    if (action) action();
}

void MIDITimeout::runTimeout() {
    Action action;
    {
        std::lock_guard lock(mutex_);
        if (disableFailure_) return;
        action = onTimeout_;
    }
    if (action) action();
}

} // namespace sonabel
