#pragma once
#include <RtAudio.h>

#include <memory>
#include <vector>

namespace platform {

// RtAudio as the device backend uses it: the devices of one API and streams opened on them. Tests
// put a fake in its place to see what the backend asks for and to run its callbacks.
class RtAudioDriver {
public:
    // An open stream; destroying it stops and closes it.
    class Stream {
    public:
        virtual ~Stream() = default;
        virtual void start() = 0; // throws RtAudioError
    };
    struct Request {
        RtAudio::StreamParameters* output = nullptr;
        RtAudio::StreamParameters* input = nullptr;
        unsigned sampleRate = 0;
        unsigned frames = 0; // the period asked for; the one granted on return
        RtAudioCallback callback = nullptr;
        void* user = nullptr;
        // numberOfBuffers comes back as granted where the API says (ALSA's periods).
        RtAudio::StreamOptions options;
    };

    virtual ~RtAudioDriver() = default;
    // Every device the API lists, in RtAudio's order (its index). Throws RtAudioError.
    virtual std::vector<RtAudio::DeviceInfo> devices() = 0;
    // Throws RtAudioError. A stream asked with RTAUDIO_SCHEDULE_REALTIME on PulseAudio gets the
    // client library's threads it starts at that priority too, where the system grants it.
    virtual std::unique_ptr<Stream> open(Request& request) = 0;
    // Whether a stream's callback thread would get round-robin real-time scheduling at `priority`:
    // RtAudio asks for it when the thread starts and, refused, starts the thread without it.
    virtual bool grantsRealtime(int priority) = 0;

    // RtAudio's own, for one API. Throws RtAudioError.
    static std::shared_ptr<RtAudioDriver> make(RtAudio::Api api);
};

} // namespace platform
