#pragma once
#include "platform/audio/devices/AudioDeviceBackend.h"
#include "platform/audio/devices/RtAudioDriver.h"
#include "platform/core/HostClock.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

// The machine's audio devices through RtAudio: ALSA's by default (PulseAudio and PipeWire appear
// among them through ALSA's own "default" and "pulse" devices), or those of another RtAudio API.
// A started engine gets an output stream; when its input node feeds the graph it also gets input,
// in a stream of its own (in one duplex stream with the output on JACK, when they are one device).
// Captured frames reach the input node through a lock-free ring.
class RtAudioDeviceBackend : public AudioDeviceBackend,
                             public std::enable_shared_from_this<RtAudioDeviceBackend> {
public:
    enum class Api { alsa, pulse, jack };
    struct Configuration {
        HostClock* clock = &HostClock::system();
        std::uint32_t bufferFrameSize = 512;
        Api api = Api::alsa;
        // Periods the sound server (or the device) holds for each stream: each is latency, and room
        // for a late callback. What the device grants when it grants something else.
        std::uint32_t numberOfBuffers = 2;
        // Round-robin real-time priority asked for the streams' callback threads (on PulseAudio also
        // for the client library's threads of our streams); 0 asks for none.
        int realtimePriority = 10;
        // RtAudio's own for `api` when null.
        std::shared_ptr<RtAudioDriver> driver{};
        // How long stopping the streams may take (the engine's stop, a change of device): streams the
        // server has not let stop by then are left to stop on their own.
        std::chrono::milliseconds stopTimeout{500};

        // The defaults, with numberOfBuffers from SONABEL_AUDIO_BUFFERS (2 to 16) when it is set; a
        // value outside that is logged and left at the default.
        static Configuration fromEnvironment();
    };

    // Null when RtAudio does not open or lists no device with input or output channels. Without a
    // configuration, the one from the environment.
    static std::shared_ptr<RtAudioDeviceBackend> makeIfAvailable();
    static std::shared_ptr<RtAudioDeviceBackend> makeIfAvailable(Configuration configuration);
    ~RtAudioDeviceBackend() override;

    OSStatus deviceIDs(std::vector<AudioDeviceID>& ids) const override;
    OSStatus deviceName(AudioDeviceID id, std::string& name) const override;
    OSStatus streamChannels(AudioDeviceID id, bool input, std::vector<std::uint32_t>& streams) const override;
    bool hasDevice(AudioDeviceID id) const override;
    std::shared_ptr<AudioIOBackend> makeIO() override;

    struct Device {
        std::string name;
        unsigned index = 0; // RtAudio's index at the last listing
        unsigned inputChannels = 0;
        unsigned outputChannels = 0;
        unsigned preferredSampleRate = 0;
        bool isDefaultOutput = false;
        bool isDefaultInput = false;
    };
    // The last listing's entry for a device.
    bool device(AudioDeviceID id, Device& out) const;
    AudioDeviceID defaultDevice(bool input) const;
    const Configuration& configuration() const { return configuration_; }
    RtAudioDriver& driver() const { return *configuration_.driver; }
    // The stream options every stream is opened with; says once in the log when real-time
    // scheduling is refused.
    RtAudio::StreamOptions streamOptions();
    // Says once in the log that streams were left to stop on their own.
    void tellStopLeftRunning();

private:
    explicit RtAudioDeviceBackend(Configuration configuration);
    void refreshLocked() const;

    Configuration configuration_;
    mutable std::mutex mutex_;
    std::atomic<bool> toldRealtimeRefused_{false};
    std::atomic<bool> toldStopLeftRunning_{false};
    mutable std::map<std::string, AudioDeviceID> ids_; // names keep their ID for the session
    mutable std::map<AudioDeviceID, Device> devices_;
    mutable AudioDeviceID nextID_ = 2;
};

} // namespace platform
