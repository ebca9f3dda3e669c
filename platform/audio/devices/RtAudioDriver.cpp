#include "platform/audio/devices/RtAudioDriver.h"

#include <optional>
#include <pthread.h>
#include <sched.h>

namespace platform {

namespace {

// While it lives, the calling thread runs round-robin at `priority`, and so do the threads it starts
// that take their scheduling from it. The PulseAudio client library starts one of its own for each
// stream and moves the stream's data on it; RtAudio's real-time flag leaves it at normal priority.
// Raised at its birth, it is ours by construction: no other stream's thread, no search by name.
class InheritedPriority {
public:
    explicit InheritedPriority(int priority) {
        if (pthread_getschedparam(pthread_self(), &policy_, &parameter_) != 0) return;
        sched_param raised{};
        raised.sched_priority = priority;
        raised_ = pthread_setschedparam(pthread_self(), SCHED_RR, &raised) == 0;
    }
    ~InheritedPriority() {
        if (raised_) pthread_setschedparam(pthread_self(), policy_, &parameter_);
    }
    InheritedPriority(const InheritedPriority&) = delete;
    InheritedPriority& operator=(const InheritedPriority&) = delete;

private:
    int policy_ = SCHED_OTHER;
    sched_param parameter_{};
    bool raised_ = false;
};

class RtStream final : public RtAudioDriver::Stream {
public:
    explicit RtStream(std::unique_ptr<RtAudio> rt) : rt_(std::move(rt)) {}
    ~RtStream() override {
        try {
            if (rt_->isStreamRunning()) rt_->stopStream();
            if (rt_->isStreamOpen()) rt_->closeStream();
        } catch (const RtAudioError&) {
        }
    }
    void start() override { rt_->startStream(); }

private:
    std::unique_ptr<RtAudio> rt_;
};

class RtDriver final : public RtAudioDriver {
public:
    explicit RtDriver(RtAudio::Api api) : api_(api), listing_(api) { listing_.showWarnings(false); }

    std::vector<RtAudio::DeviceInfo> devices() override {
        std::vector<RtAudio::DeviceInfo> found;
        const unsigned count = listing_.getDeviceCount();
        for (unsigned i = 0; i < count; ++i)
            found.push_back(listing_.getDeviceInfo(i));
        return found;
    }

    std::unique_ptr<Stream> open(Request& request) override {
        auto rt = std::make_unique<RtAudio>(api_);
        rt->showWarnings(false);
        std::optional<InheritedPriority> raised;
        if (api_ == RtAudio::LINUX_PULSE && (request.options.flags & RTAUDIO_SCHEDULE_REALTIME))
            raised.emplace(request.options.priority);
        rt->openStream(request.output, request.input, RTAUDIO_FLOAT32, request.sampleRate, &request.frames,
                       request.callback, request.user, &request.options);
        return std::make_unique<RtStream>(std::move(rt));
    }

    // The thread RtAudio starts, asked for the same way: a thread that ends at once.
    bool grantsRealtime(int priority) override {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return false;
        sched_param parameter{};
        parameter.sched_priority = priority;
        bool granted = pthread_attr_setschedpolicy(&attributes, SCHED_RR) == 0 &&
                       pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED) == 0 &&
                       pthread_attr_setschedparam(&attributes, &parameter) == 0;
        pthread_t thread;
        granted = granted && pthread_create(
                                 &thread, &attributes, [](void*) -> void* { return nullptr; }, nullptr) == 0;
        pthread_attr_destroy(&attributes);
        if (granted) pthread_join(thread, nullptr);
        return granted;
    }

private:
    const RtAudio::Api api_;
    RtAudio listing_;
};

} // namespace

std::shared_ptr<RtAudioDriver> RtAudioDriver::make(RtAudio::Api api) {
    return std::make_shared<RtDriver>(api);
}

} // namespace platform
