#pragma once
// A one-shot watchdog: sendWithTimeout arms a time-out on the main queue and runs the request;
// unless a success call cancels it within the interval, the time-out action runs. Every send arms
// one more time-out; only a success call or destruction cancels them, all at once. With mainThread
// set, both actions run on the main queue, and a success call followed by a send, from any thread,
// leaves exactly one time-out pending (both go through the main queue in order).
#include "platform/core/MainQueue.h"

#include <functional>
#include <memory>
#include <mutex>

namespace sonabel {

class MIDITimeout : public std::enable_shared_from_this<MIDITimeout> {
public:
    using Action = std::function<void()>;

    // A negative or NaN interval times out at once.
    static std::shared_ptr<MIDITimeout> make(double timeoutInterval, bool mainThread, Action onSuccess,
                                             Action onTimeout,
                                             platform::MainQueue& queue = platform::MainQueue::shared());
    virtual ~MIDITimeout();
    MIDITimeout(const MIDITimeout&) = delete;
    MIDITimeout& operator=(const MIDITimeout&) = delete;

    virtual Action onSuccess() const;
    virtual void setOnSuccess(Action action);
    virtual Action onTimeout() const;
    virtual void setOnTimeout(Action action);
    virtual bool disableSuccess() const;
    virtual void setDisableSuccess(bool disable);
    virtual bool disableFailure() const;
    virtual void setDisableFailure(bool disable);
    double timeoutInterval() const { return timeoutInterval_; }
    bool mainThread() const { return mainThread_; }

    // Arms a time-out (on the main queue, shortly after), then runs the request on this thread.
    virtual void sendWithTimeout(const Action& request);
    // A success reported by the code that sent; only calls mainthreadSuccessCall().
    virtual void successCall();
    // Cancels every pending time-out, then runs onSuccess unless disabled.
    virtual void mainthreadSuccessCall();
    // The time-out itself: runs onTimeout unless disabled.
    virtual void messageTimeout();

protected:
    MIDITimeout(double timeoutInterval, bool mainThread, Action onSuccess, Action onTimeout,
                platform::MainQueue& queue);

private:
    void arm();
    void cancelTimeouts();
    void runSuccess();
    void runTimeout();

    const double timeoutInterval_;
    const bool mainThread_;
    platform::MainQueue& queue_;
    mutable std::mutex mutex_;
    Action onSuccess_;
    Action onTimeout_;
    bool disableSuccess_ = false;
    bool disableFailure_ = false;
    // Owner token of the armed time-outs, apart from the queued arming and action calls (owned by
    // `this`), so cancelling time-outs never drops an arming queued after the cancel.
    const char timeoutsOwner_ = 0;
};

} // namespace sonabel
