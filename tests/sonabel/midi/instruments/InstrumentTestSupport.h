#pragma once
// Shared by the instrument tests: an in-process server installed as the process's current one, a
// MIDI object on it, another client that sends to the instruments' destinations, and a main queue
// run by hand.
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "platform/midi/MIDIServices.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/midi/MIDI.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace instrumenttest {

using Bytes = std::vector<std::uint8_t>;

struct Rig {
    explicit Rig(bool manual)
        : previous(currentMIDIServer()),
          server(std::make_shared<platform::midi::InProcessServer>(
              platform::midi::InProcessServerConfig{.manualDelivery = manual})) {
        setMIDIServer(server);
        midi = sonabel::MIDI::make();
        MIDIClientCreateWithBlock("Sender", &sender, nullptr);
        MIDIOutputPortCreate(sender, "Out", &port);
    }
    ~Rig() {
        midi.reset();
        setMIDIServer(previous);
    }
    // One packet per message, all in one list.
    void send(MIDIEndpointRef destination, const std::vector<Bytes>& messages) {
        std::vector<std::uint64_t> storage(1024);
        auto* list = reinterpret_cast<MIDIPacketList*>(storage.data());
        const ByteCount size = storage.size() * sizeof(std::uint64_t);
        MIDIPacket* packet = MIDIPacketListInit(list);
        for (const auto& bytes : messages)
            packet = MIDIPacketListAdd(list, size, packet, 0, bytes.size(), bytes.data());
        MIDISend(port, destination, list, size);
    }
    std::string nameOf(MIDIEndpointRef endpoint) const {
        std::string name;
        server->getStringProperty(endpoint, kMIDIPropertyName, &name);
        return name;
    }
    std::int32_t integerOf(MIDIEndpointRef endpoint, std::string_view property) const {
        std::int32_t value = -1;
        server->getIntegerProperty(endpoint, property, &value);
        return value;
    }

    std::shared_ptr<platform::midi::Server> previous;
    std::shared_ptr<platform::midi::InProcessServer> server;
    std::shared_ptr<sonabel::MIDI> midi;
    MIDIClientRef sender = 0;
    MIDIPortRef port = 0;
    platform::ManualClock clock;
    platform::MainQueue queue{clock};
    platform::TestMainQueueDriver driver{queue, clock};
};

inline std::string hex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (auto b : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

} // namespace instrumenttest
