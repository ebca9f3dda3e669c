#pragma once
// The sequencer calls the server makes, behind an interface so tests can stand in for the
// kernel: AlsaLibSequencer is the real one. Errors are negative errno values, as alsa-lib's.
// input() and waitForInput() are called from the polling thread only; everything else may come
// from any thread.
#include "platform/midi/alsa/AlsaPortInfo.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

namespace platform::midi {

class AlsaSequencer {
public:
    virtual ~AlsaSequencer() = default;

    virtual int clientID() = 0;
    virtual int setClientName(std::string_view name) = 0;
    // A port of our client: its number, or an error.
    virtual int createPort(std::string_view name, unsigned capability, unsigned type) = 0;
    virtual int deletePort(int port) = 0;
    // Subscribes our port to another client's port (client:port -> us:ourPort), or undoes it.
    virtual int connectFrom(int ourPort, int client, int port) = 0;
    virtual int disconnectFrom(int ourPort, int client, int port) = 0;
    // Subscribes another client's port to our port (us:ourPort -> client:port); success when it
    // already is. A device driver opens its output only for a subscriber.
    virtual int connectTo(int ourPort, int client, int port) = 0;
    virtual std::vector<AlsaPortInfo> listPorts() = 0;
    // The ports subscribed to our port, and which of them are a device's (a kernel client's of a
    // card).
    struct Subscriber {
        int client = 0;
        int port = 0;
        bool kernel = false;
        bool operator==(const Subscriber&) const = default;
    };
    virtual std::vector<Subscriber> subscribersOf(int ourPort) = 0;
    // The raw MIDI output behind a kernel client's port: the client's card, the port's device and
    // subdevice. None for other clients and for kernel ports that drive no device of a card.
    struct RawMidi {
        int card = 0;
        int device = 0;
        int subdevice = 0;
        bool operator==(const RawMidi&) const = default;
    };
    virtual std::optional<RawMidi> rawMidiOf(int client, int port) = 0;

    // Whether the input pools of the event's user-space receivers (its destination, or our source
    // port's subscribers) have room for it now; true when it cannot tell. An event that does not
    // fit is refused, and the receiver loses all it had waiting.
    virtual bool hasRoomFor(const snd_seq_event_t& event) = 0;
    // One event, straight to its destination (or its source port's subscribers). -EAGAIN or
    // -ENOMEM when a receiver's queue is full: nothing was delivered, try again.
    virtual int outputDirect(snd_seq_event_t& event) = 0;

    // Waits until input may be pending, wake() is called or the timeout passes.
    virtual void waitForInput(std::chrono::milliseconds timeout) = 0;
    virtual void wake() = 0;
    // The next event (valid until the next call), -EAGAIN when there is none, -ENOSPC when the
    // input overran and events were lost.
    virtual int input(snd_seq_event_t** event) = 0;
    // Events read from the kernel with the last ones and not yet taken by input(); 0 once input()
    // would have to ask the kernel again.
    virtual int inputPending() { return 0; }
};

} // namespace platform::midi
