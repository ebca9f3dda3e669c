#include "platform/audio/devices/RtAudioDriver.h"

#include <pthread.h>
#include <sched.h>

namespace platform {

namespace {

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
