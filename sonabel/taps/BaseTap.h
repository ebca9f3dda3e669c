#pragma once
#include "platform/audio/AudioTime.h"
#include "platform/audio/PCMBuffer.h"
#include "platform/core/MainQueue.h"
#include "sonabel/nodes/Node.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace sonabel {

// Taps one output bus of a node. The render thread only trims each buffer to bufferSize frames and
// queues it to the main queue, where processTapBuffer() runs under the tap's lock. The installed tap
// block and every queued buffer keep the tap alive; stop() releases it. Make taps with
// std::make_shared.
class BaseTap : public std::enable_shared_from_this<BaseTap> {
public:
    BaseTap(std::shared_ptr<Node> input, std::uint32_t bufferSize);
    virtual ~BaseTap() = default;
    BaseTap(const BaseTap&) = delete;
    BaseTap& operator=(const BaseTap&) = delete;

    virtual std::uint32_t bufferSize() const { return bufferSize_; }
    virtual bool isStarted() const { return isStarted_.load(); }
    virtual int bus() const { return bus_.load(); }
    // While started, a new bus stops and starts the tap again.
    virtual void setBus(int bus);
    virtual std::shared_ptr<Node> input() const;
    // While started, a different node stops and starts the tap again; the same node changes nothing.
    virtual void setInput(std::shared_ptr<Node> input);

    virtual void start();
    // The tap block's body, on the render thread.
    virtual void receiveTapBuffer(std::shared_ptr<platform::PCMBuffer> buffer, platform::AudioTime time);
    // Main thread, under the tap's lock; must not start, stop or re-target its own tap.
    virtual void processTapBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime& time);
    virtual void stop();
    // The caller holds the tap's lock.
    virtual void removeTap();
    virtual void stopIfStarted();

    // Where buffers are processed; the shared main queue unless set before start().
    void setMainQueue(platform::MainQueue& queue) { queue_.store(&queue); }

protected:
    std::mutex unfairLock;

private:
    std::uint32_t busIndex() const;

    const std::uint32_t bufferSize_;
    // Written under the lock, read without it by stopIfStarted() and the setters.
    std::atomic<bool> isStarted_{false};
    std::atomic<int> bus_{0};
    mutable std::mutex inputMutex_;
    std::shared_ptr<Node> input_;
    std::atomic<platform::MainQueue*> queue_{&platform::MainQueue::shared()};
};

} // namespace sonabel
