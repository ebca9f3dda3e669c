#include "platform/audio/devices/NullAudioDeviceBackend.h"

#include "platform/audio/AudioOutputNode.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/LogSink.h"

#include <atomic>
#include <thread>

namespace platform {

namespace {

class NullIO final : public AudioIOBackend {
public:
    explicit NullIO(NullAudioDeviceBackend::Configuration configuration) : configuration_(configuration) {}
    ~NullIO() override { stop(); }

    void start(AudioEngine& engine) override {
        if (running_) return;
        if (std::this_thread::get_id() == renderThread_.load()) {
            running_ = true; // restarted from its own render thread: the loop goes on
            return;
        }
        jobs_.joinAll(); // a loop stopped from its own thread ends here
        engine.prepareForCycles(configuration_.bufferFrameSize);
        running_ = true;
        LogSink::emit({"io.sonabel.platform", "audio", LogLevel::info,
                       "No audio output device: real-time output is unavailable, the graph is rendered "
                       "and discarded"});
        jobs_.run([this, &engine] { loop(engine); });
    }

    void stop() override {
        running_ = false;
        // A completion handler may stop the engine from the render thread; that thread ends by itself.
        if (std::this_thread::get_id() != renderThread_.load()) jobs_.joinAll();
    }

    AudioFormat outputFormat() const override {
        return AudioFormat::standard(configuration_.sampleRate, 2).value_or(AudioFormat{});
    }
    OSStatus bufferFrameSize(std::uint32_t& frames) const override {
        frames = configuration_.bufferFrameSize;
        return noErr;
    }

private:
    void loop(AudioEngine& engine) {
        renderThread_ = std::this_thread::get_id();
        const std::uint32_t frames = configuration_.bufferFrameSize ? configuration_.bufferFrameSize : 512;
        auto buffer = PCMBuffer::make(engine.outputNode()->outputFormat(0), frames);
        HostClock& clock = *configuration_.clock;
        const auto period = static_cast<std::uint64_t>(double(frames) * 1e9 / configuration_.sampleRate);
        std::uint64_t next = clock.now();
        while (running_ && buffer) {
            engine.renderCycle(frames, *buffer, clock.now(), false);
            next += period;
            const std::uint64_t now = clock.now();
            if (next > now)
                configuration_.sleeper->sleepFor(std::chrono::nanoseconds(next - now));
            else if (now - next > HostClock::ticksPerSecond)
                next = now; // far behind (a stalled machine): go on from now rather than catch up in a burst
        }
        renderThread_ = std::thread::id();
    }

    NullAudioDeviceBackend::Configuration configuration_;
    std::atomic<bool> running_{false};
    std::atomic<std::thread::id> renderThread_{};
    BackgroundJobs jobs_;
};

} // namespace

OSStatus NullAudioDeviceBackend::deviceIDs(std::vector<AudioDeviceID>& ids) const {
    ids.clear();
    return noErr;
}

OSStatus NullAudioDeviceBackend::deviceName(AudioDeviceID, std::string&) const {
    return kAudioHardwareBadDeviceError;
}

OSStatus NullAudioDeviceBackend::streamChannels(AudioDeviceID, bool, std::vector<std::uint32_t>&) const {
    return kAudioHardwareBadDeviceError;
}

std::shared_ptr<AudioIOBackend> NullAudioDeviceBackend::makeIO() {
    return std::make_shared<NullIO>(configuration_);
}

} // namespace platform
