#pragma once
// The app's side of an emulator test: a client with an output port and an input port on the
// in-process server, sending raw bytes to an instrument and collecting whatever comes back.
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "testing/Eventually.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace emulatortest {

using Bytes = std::vector<std::uint8_t>;

class EmulatorHost {
public:
    explicit EmulatorHost(platform::midi::InProcessServer& server) : server_(server) {
        server_.createClient("Host", {}, &client_);
        server_.createOutputPort(client_, "Out", &out_);
        server_.createInputPortWithBlock(
            client_, "In",
            [this](const MIDIPacketList* list, ByteCount size, void*) {
                platform::midi::PacketListReader reader(list, size);
                platform::midi::PacketListReader::Packet packet;
                std::lock_guard lock(mutex_);
                while (reader.next(packet)) {
                    ++packets_;
                    maxPacket_ = std::max(maxPacket_, packet.data.size());
                    incoming_.insert(incoming_.end(), packet.data.begin(), packet.data.end());
                }
                arrived_.notify_all();
            },
            &in_);
    }

    void listenTo(MIDIEndpointRef source) { server_.connectSource(in_, source, nullptr); }

    // Sends in packets of at most `packet` bytes, as the app's send path may cut them, and
    // in manual mode runs the deliveries this causes.
    void send(MIDIEndpointRef destination, const Bytes& bytes, std::size_t packet = 256) {
        platform::midi::PacketListBuilder list;
        list.addSplit(0, bytes, packet);
        server_.send(out_, destination, list.list(), list.size());
        server_.runPending();
    }

    // Everything received so far, as sent, cut after each F7.
    std::vector<Bytes> take() {
        std::lock_guard lock(mutex_);
        std::vector<Bytes> messages;
        Bytes current;
        for (auto byte : incoming_) {
            current.push_back(byte);
            if (byte == 0xF7) messages.push_back(std::exchange(current, {}));
        }
        if (!current.empty()) messages.push_back(current);
        incoming_.clear();
        return messages;
    }
    Bytes takeRaw() {
        std::lock_guard lock(mutex_);
        return std::exchange(incoming_, {});
    }
    std::size_t maxPacket() {
        std::lock_guard lock(mutex_);
        return maxPacket_;
    }

    // Threaded mode: waits (a real deadline) until `count` F7 bytes have arrived.
    bool waitForMessages(std::size_t count, std::chrono::milliseconds deadline = testwait::kDeadline) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, deadline, [&] {
            return static_cast<std::size_t>(std::count(incoming_.begin(), incoming_.end(), 0xF7)) >= count;
        });
    }

private:
    platform::midi::InProcessServer& server_;
    MIDIClientRef client_ = 0;
    MIDIPortRef out_ = 0;
    MIDIPortRef in_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    Bytes incoming_;
    std::size_t packets_ = 0;
    std::size_t maxPacket_ = 0;
};

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace emulatortest
