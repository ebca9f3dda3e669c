#pragma once
// Every write to the sequencer goes through here. Each destination has a lane: its sends go one
// at a time, in order, their events never interleaved, whichever of our ports they leave from;
// sends to different destinations never wait for each other. Toward a kernel MIDI port each event
// waits for room in the device's output buffer as the kernel reports it (AlsaOutputRoom), or,
// where the kernel reports none, as a cable would drain it (AlsaOutputPacer); the log says once
// per port which. Toward user-space clients a full queue is waited for and the event retried.
// Nothing is dropped: a send either goes out whole or fails with a status, and a log line the
// first time it fails toward that destination. A SysEx whose data holds a byte 80-F7 is refused
// toward a kernel port: on a cable or USB MIDI that byte is a status byte.
//
// A SysEx left unfinished by a send stays open toward that destination from that port of ours, as
// the wire has it: toward a device a send that begins with a status byte (but F7 or real-time)
// ends it; toward a program, where SysEx data may be 8-bit, only one that begins so more than
// kSilenceEndsSysEx after the last send (by the sends' own stamps). That state ends with our
// port, with the destination, and with a failed send.
//
// Before the first event from one of our ports to a destination, that port is subscribed to it
// (a device driver takes events only from a subscriber); the events stay addressed to the
// destination alone. The subscription lasts as long as our port, or the destination; one another
// program ends is made again before the next send. A send to our source's subscribers goes to
// each of them on its own (the kernel's fan-out would deliver to all but one refusing receiver and
// leave us unable to retry without repeating), so each is paced, retried and refused as a
// destination of its own. They are written in turn; one without room keeps the rest of its events
// and is waited for after the others have theirs, each with a deadline of its own, by the sending
// thread alone. A destination that took nothing until its deadline is stalled: a send finding it
// still without room fails toward it at once, until it takes an event as large as the one it
// would not (smaller ones fit what room it kept, and tell nothing of its reading again).
#include "platform/midi/MIDITypes.h"
#include "platform/midi/SendFailure.h"
#include "platform/midi/alsa/AlsaOutputPacer.h"
#include "platform/midi/alsa/AlsaOutputRoom.h"
#include "platform/midi/alsa/AlsaSequencer.h"
#include "platform/midi/alsa/AlsaServerConfig.h"
#include "platform/midi/alsa/AlsaTranslation.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace platform::midi {

class AlsaOutput {
public:
    static constexpr MIDITimeStamp kSilenceEndsSysEx = 1'000'000'000;

    struct Route {
        int sourcePort = 0; // our port the events leave from
        int client = 0;     // destination address; ignored toward subscribers
        int port = 0;
        bool toSubscribers = false; // MIDIReceived: to whoever subscribed to sourcePort
        bool kernel = false;        // a kernel MIDI device is at the other end; ignored toward subscribers
        auto operator<=>(const Route&) const = default;
    };

    AlsaOutput(AlsaSequencer& sequencer, const AlsaServerConfig& config);

    // `at`: the send's own time stamp; 0 is now. A failed send says in `failure` (if given) what
    // it met, also when the log was told only the first time.
    OSStatus send(const Route& route, std::span<const std::uint8_t> bytes, MIDITimeStamp at = 0,
                  SendFailure* failure = nullptr);
    // The port went away (another client's, or port -1: all of that client's): what was kept
    // toward it is forgotten.
    void forget(int client, int port);
    // One of our ports (an output port or a source) is deleted, and its subscriptions and
    // unfinished SysEx with it.
    void forgetSender(int ourPort);
    // Events may have been lost, announcements among them: subscriptions are checked again.
    void forgetSubscriptions();
    // Our port's subscription to a destination ended (another program or a tool ended it): it is
    // made again before the next send there.
    void forgetSubscription(int ourPort, int client, int port);
    // Shutdown: a send being paced or retried fails at its next event, and so does every later one.
    void stop() { stopped_ = true; }

private:
    // What one port of ours left toward one destination. Belongs to its lane; under stateMutex_.
    struct Stream {
        AlsaTranslation::OpenSysEx open;
        MIDITimeStamp last = 0;
        bool subscribed = false;
    };
    // One destination (or, at client -1, our source port's subscribers as one). Sends take turns
    // in the order they took their tickets; the turn is held for a whole send, pacing included.
    // When its destination goes, a lane leaves the map, or, while a send holds it, stays with its
    // streams emptied: a later send to that address still waits its turn, and finds nothing the
    // send under way leaves behind.
    struct Lane {
        std::mutex sending; // a source's: held while its subscribers take their tickets
        AlsaTranslation translation;
        std::map<int, std::shared_ptr<Stream>> streams; // by our port
        std::uint64_t tickets = 0, serving = 0;         // under stateMutex_
        // Stalled: the wire bytes of the event it had no room for until its deadline; until it
        // takes one as large, no room fails at once. Under stateMutex_.
        std::size_t stalled = 0;
    };
    // How events toward a kernel port wait for room: none where it is known.
    struct Flow {
        std::optional<AlsaSequencer::RawMidi> rawMidi; // the kernel's figure; else the cable model
        std::size_t bufferSize = 0;
    };
    struct Event {
        snd_seq_event_t event;
        std::size_t wireBytes = 0;
        std::vector<std::uint8_t> data; // a SysEx event's, which `event` points into
    };
    // One send toward one destination, from its ticket to its end.
    struct Job {
        Route route;
        bool subscriber = false;
        std::shared_ptr<Lane> lane;
        std::shared_ptr<Stream> stream;
        std::uint64_t ticket = 0;
        // ready: its turn came and what the stream left is read.
        enum class State { waitingTurn, ready, writing, done } state = State::waitingTurn;
        AlsaTranslation::OpenSysEx open;
        MIDITimeStamp last = 0;
        bool subscribed = false;
        std::optional<Flow> flow;
        std::vector<Event> held; // encoded, not yet written (from `next`): the destination had no room
        std::size_t next = 0;
        bool paced = false;      // the first held event is counted by the pacer already
        std::size_t stalled = 0; // as the lane's
        bool subscribedAgain = false;
        std::optional<std::uint64_t> waitingSince;
        MIDITimeStamp at = 0;
        OSStatus status = noErr;
        std::optional<SendFailure> failure;
    };
    // What one attempt at an event met: written, no room (and how long to wait), or an error.
    struct Attempt {
        int result = 0;
        bool noRoom = false;
        std::chrono::nanoseconds wait{};
    };
    std::shared_ptr<Lane> sourceLane(int ourPort);
    Job jobOf(const Route& route, bool subscriber);
    // Under stateMutex_: whether the job's turn came, and if so, it is ready.
    bool takeTurn(Job& job);
    void run(std::span<Job> jobs, std::span<const std::uint8_t> bytes, MIDITimeStamp at);
    void start(Job& job, std::span<const std::uint8_t> bytes, MIDITimeStamp at);
    // Writes held events until one finds no room; the wait that calls for.
    std::optional<std::chrono::nanoseconds> drive(Job& job);
    Attempt attempt(Job& job, snd_seq_event_t& event, std::size_t wireBytes);
    // No room: fails the job when it is stalled or its deadline passed.
    int noRoom(Job& job, std::size_t wireBytes);
    // Our subscription to a device was found ended (its output closed, its driver refusing us):
    // made again, once a send. Whether it was.
    bool subscribeAgain(Job& job);
    void finish(Job& job, int status);
    Flow flowOf(const Route& route);
    // Logs the first failure toward a destination until a send to it succeeds again; tells
    // `failure` every time.
    void failed(const Route& route, SendFailure::Kind kind, const std::string& why, SendFailure* failure);

    AlsaSequencer& sequencer_;
    HostClock& clock_;
    Sleeper& sleeper_;
    AlsaServerConfig config_;
    std::atomic<bool> stopped_{false};
    AlsaOutputPacer pacer_;
    AlsaOutputRoom room_;
    // What sends and the polling thread share, under a lock held only briefly.
    std::mutex stateMutex_;
    std::condition_variable turns_; // a lane's turn passed on
    std::size_t turnWaiters_ = 0;
    std::map<std::pair<int, int>, std::shared_ptr<Lane>> lanes_; // by the destination's address now
    std::set<std::pair<int, int>> failing_;                      // told the log
    std::map<std::pair<int, int>, Flow> flows_;                  // decided and logged
};

} // namespace platform::midi
