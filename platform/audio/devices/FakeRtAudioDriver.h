#pragma once
#include "platform/audio/devices/RtAudioDriver.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

// Devices as a test lists them, and every stream the backend opens on them, with what it asked for.
// A test runs a stream's callback as RtAudio's thread would.
class FakeRtAudioDriver final : public RtAudioDriver {
public:
    struct Opened {
        std::optional<RtAudio::StreamParameters> output, input;
        unsigned sampleRate = 0;
        unsigned framesAsked = 0;
        RtAudio::StreamOptions options; // as asked
        bool started = false;
        bool closed = false;
    };

    // Returns the device's index.
    unsigned addDevice(std::string name, unsigned inputChannels, unsigned outputChannels,
                       unsigned preferredSampleRate = 44100);
    // The period the next streams are granted, those with input only another where given; by default
    // the one they ask.
    void grantFrames(std::optional<unsigned> frames, std::optional<unsigned> inputOnly = std::nullopt);
    void setRealtimeGranted(bool granted);
    int realtimeQueries() const;
    // The next opens throw this.
    void failOpen(std::optional<std::string> message);
    // While held, a stream's stop (its destruction) waits, as RtAudio's does for a server that has
    // stalled or whose sink is suspended.
    void holdStops(bool held);

    std::vector<Opened> opened() const;
    // Runs the callback of the stream opened `index`-th, interleaved buffers of its channels (null
    // where it has no such direction). Returns the callback's result.
    int run(std::size_t index, unsigned frames, const float* input, float* output,
            RtAudioStreamStatus status = 0);
    // The callback of the stream opened `index`-th as RtAudio's own thread holds it: calling it takes
    // no lock of the driver's and allocates nothing, so that a test can watch the rendering alone.
    // Empty for a stream that is not running.
    struct Callback {
        RtAudioCallback callback = nullptr;
        void* user = nullptr;
        bool output = false, input = false;
        explicit operator bool() const { return callback != nullptr; }
        int operator()(unsigned frames, const float* in, float* out, RtAudioStreamStatus status) const {
            return callback(output ? out : nullptr, input ? const_cast<float*>(in) : nullptr, frames, 0.0,
                            status, user);
        }
    };
    Callback callbackOf(std::size_t index) const;

    std::vector<RtAudio::DeviceInfo> devices() override;
    std::unique_ptr<Stream> open(Request& request) override;
    bool grantsRealtime(int priority) override;

private:
    class FakeStream;
    struct Entry {
        Opened opened;
        RtAudioCallback callback = nullptr;
        void* user = nullptr;
    };

    mutable std::mutex mutex_;
    std::vector<RtAudio::DeviceInfo> devices_;
    std::vector<Entry> streams_;
    std::optional<unsigned> grantedFrames_, grantedInputOnlyFrames_;
    bool realtime_ = true;
    int realtimeQueries_ = 0;
    std::optional<std::string> openError_;
    bool stopsHeld_ = false;
    std::condition_variable stopsReleased_;
};

} // namespace platform
