#pragma once
// Every write to the sequencer goes through here, one send at a time: the chunks of one send go
// out under one lock, so two messages never interleave toward a destination. Toward kernel MIDI
// ports each event waits for room (AlsaOutputPacer); toward user-space clients a full queue is
// waited for and the event retried. Nothing is dropped: a send either goes out whole or fails
// with a status and a log line.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/alsa/AlsaOutputPacer.h"
#include "platform/midi/alsa/AlsaSequencer.h"
#include "platform/midi/alsa/AlsaServerConfig.h"
#include "platform/midi/alsa/AlsaTranslation.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <tuple>

namespace platform::midi {

class AlsaOutput {
public:
    struct Route {
        int sourcePort = 0; // our port the events leave from
        int client = 0;     // destination address; ignored toward subscribers
        int port = 0;
        bool toSubscribers = false; // MIDIReceived: to whoever subscribed to sourcePort
        bool kernel = false;        // a kernel MIDI device is (or may be) at the other end
        auto operator<=>(const Route&) const = default;
    };

    AlsaOutput(AlsaSequencer& sequencer, const AlsaServerConfig& config);

    OSStatus send(const Route& route, std::span<const std::uint8_t> bytes);
    // The port went away: a SysEx left open toward it is forgotten.
    void forget(int client, int port);
    // Shutdown: a send being paced or retried fails at its next event, and so does every later one.
    void stop() { stopped_ = true; }

private:
    int write(const Route& route, snd_seq_event_t& event, std::size_t wireBytes);

    AlsaSequencer& sequencer_;
    HostClock& clock_;
    Sleeper& sleeper_;
    AlsaServerConfig config_;
    std::mutex mutex_;
    std::atomic<bool> stopped_{false};
    AlsaOutputPacer pacer_;
    AlsaTranslation translation_;
    std::map<std::tuple<int, int, int>, bool> openSysEx_; // by where the bytes go
};

} // namespace platform::midi
