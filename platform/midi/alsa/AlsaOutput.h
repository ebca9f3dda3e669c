#pragma once
// Every write to the sequencer goes through here, one send at a time: the chunks of one send go
// out under one lock, so two messages never interleave toward a destination. Toward a kernel MIDI
// port each event waits for room in the device's output buffer as the kernel reports it
// (AlsaOutputRoom), or, where the kernel reports none, as a cable would drain it (AlsaOutputPacer);
// the log says once per port which. Toward user-space clients a full queue is waited for and the
// event retried. Nothing is dropped: a send either goes out whole or fails with a status, and a
// log line the first time it fails toward that destination. A SysEx whose data holds a byte
// 80-F7 is refused toward a kernel port: on a cable or USB MIDI that byte is a status byte.
// Before the first event from one of our ports to a destination, that port is subscribed to it
// (a device driver takes events only from a subscriber); the events stay addressed to the
// destination alone. The subscription lasts as long as our port, or the destination.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/alsa/AlsaOutputPacer.h"
#include "platform/midi/alsa/AlsaOutputRoom.h"
#include "platform/midi/alsa/AlsaSequencer.h"
#include "platform/midi/alsa/AlsaServerConfig.h"
#include "platform/midi/alsa/AlsaTranslation.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
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
    // The port went away (another client's, or port -1: all of that client's): a SysEx left open
    // toward it and the subscriptions to it are forgotten.
    void forget(int client, int port);
    // One of our output ports is deleted, and its subscriptions with it.
    void forgetSender(int ourPort);
    // Events may have been lost, announcements among them: subscriptions are checked again.
    void forgetSubscriptions();
    // Shutdown: a send being paced or retried fails at its next event, and so does every later one.
    void stop() { stopped_ = true; }

private:
    // How events toward a kernel port wait for room: none where it is known.
    struct Flow {
        std::optional<AlsaSequencer::RawMidi> rawMidi; // the kernel's figure; else the cable model
        std::size_t bufferSize = 0;
    };
    Flow flowOf(const Route& route);
    int write(const Route& route, const Flow* flow, snd_seq_event_t& event, std::size_t wireBytes);
    int waitForRoom(const Route& route, const AlsaSequencer::RawMidi& rawMidi, std::size_t wireBytes);
    // Logs the first failure toward a destination until a send to it succeeds again.
    void failed(const Route& route, const std::string& why);
    static std::pair<int, int> target(const Route& route);

    AlsaSequencer& sequencer_;
    HostClock& clock_;
    Sleeper& sleeper_;
    AlsaServerConfig config_;
    std::mutex mutex_; // held for a whole send, pacing included
    std::atomic<bool> stopped_{false};
    AlsaOutputPacer pacer_;
    AlsaOutputRoom room_;
    AlsaTranslation translation_;
    // What the polling thread may change while a send is paced, under a lock held only briefly.
    std::mutex stateMutex_;
    std::map<std::tuple<int, int, int>, AlsaTranslation::OpenSysEx> openSysEx_; // by where the bytes go
    std::set<std::tuple<int, int, int>> subscribed_;                            // our port, client, port
    std::set<std::pair<int, int>> failing_;                                     // told the log; see target()
    std::map<std::pair<int, int>, Flow> flows_; // decided and logged; see target()
};

} // namespace platform::midi
