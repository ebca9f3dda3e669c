#pragma once
// Shared by the MIDI object's tests: a listener that records what reaches it, a server with
// instruments plugged in, and waiting for threaded deliveries.
#include "platform/core/LogSink.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIListener.h"
#include "testing/Eventually.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace miditest {

using sonabel::MIDIByte;
using sonabel::MIDIChannel;
using sonabel::MIDINoteNumber;
using sonabel::MIDIVelocity;
using sonabel::MIDIWord;

using platform::midi::InProcessServer;
using platform::midi::InProcessServerConfig;

// One call that reached a listener, e.g. {"noteOn", {0x3C, 0x64}, 0, port, time}.
struct Call {
    Call(std::string kind, std::vector<std::uint8_t> bytes = {}, int channel = -1,
         std::optional<MIDIUniqueID> portID = {}, std::optional<MIDITimeStamp> timeStamp = {})
        : kind(std::move(kind)), bytes(std::move(bytes)), channel(channel), portID(portID),
          timeStamp(timeStamp) {}
    std::string kind;
    std::vector<std::uint8_t> bytes;
    int channel = -1;
    std::optional<MIDIUniqueID> portID;
    std::optional<MIDITimeStamp> timeStamp;
    std::string property; // property changes
    int messageID = 0;    // notifications
    std::uint32_t messageSize = 0;
};

class RecordingListener : public sonabel::MIDIListener {
public:
    void receivedMIDINoteOn(MIDINoteNumber n, MIDIVelocity v, MIDIChannel c, std::optional<MIDIUniqueID> p,
                            std::optional<MIDITimeStamp> t) override {
        record({"noteOn", {n, v}, c, p, t});
    }
    void receivedMIDINoteOff(MIDINoteNumber n, MIDIVelocity v, MIDIChannel c, std::optional<MIDIUniqueID> p,
                             std::optional<MIDITimeStamp> t) override {
        record({"noteOff", {n, v}, c, p, t});
    }
    void receivedMIDIController(MIDIByte n, MIDIByte v, MIDIChannel c, std::optional<MIDIUniqueID> p,
                                std::optional<MIDITimeStamp> t) override {
        record({"controller", {n, v}, c, p, t});
    }
    void receivedMIDIAftertouch(MIDINoteNumber n, MIDIByte v, MIDIChannel c, std::optional<MIDIUniqueID> p,
                                std::optional<MIDITimeStamp> t) override {
        record({"polyAftertouch", {n, v}, c, p, t});
    }
    void receivedMIDIAftertouch(MIDIByte v, MIDIChannel c, std::optional<MIDIUniqueID> p,
                                std::optional<MIDITimeStamp> t) override {
        record({"aftertouch", {v}, c, p, t});
    }
    void receivedMIDIPitchWheel(MIDIWord v, MIDIChannel c, std::optional<MIDIUniqueID> p,
                                std::optional<MIDITimeStamp> t) override {
        record({"pitchWheel", {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}, c, p, t});
    }
    void receivedMIDIProgramChange(MIDIByte v, MIDIChannel c, std::optional<MIDIUniqueID> p,
                                   std::optional<MIDITimeStamp> t) override {
        record({"program", {v}, c, p, t});
    }
    void receivedMIDISystemCommand(const std::vector<MIDIByte>& data, std::optional<MIDIUniqueID> p,
                                   std::optional<MIDITimeStamp> t) override {
        record({"system", data, -1, p, t});
    }
    void receivedMIDISetupChange() override { record({"setup"}); }
    void receivedMIDIPropertyChange(MIDIObjectPropertyChangeNotification info) override {
        Call call{"property"};
        call.property = info.propertyName ? info.propertyName : "";
        call.messageID = info.messageID;
        call.bytes = {static_cast<std::uint8_t>(info.objectType)};
        record(std::move(call));
    }
    void receivedMIDINotification(MIDINotification notification) override {
        Call call{"notification"};
        call.messageID = notification.messageID;
        call.messageSize = notification.messageSize;
        record(std::move(call));
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<std::string> kinds() const {
        std::vector<std::string> kinds;
        for (const auto& call : calls())
            kinds.push_back(call.kind);
        return kinds;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    // Threaded deliveries: true once at least n calls arrived, false after the deadline.
    bool waitFor(std::size_t n, std::chrono::milliseconds deadline = testwait::kDeadline) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return calls_.size() >= n; });
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    // Runs inside each call, after it was recorded.
    std::function<void(const Call&)> onCall;

protected:
    void record(Call call) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(call);
        }
        changed_.notify_all();
        if (onCall) onCall(call);
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Call> calls_;
};

inline std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (auto b : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X ", b);
        text += digits;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

// The contents of the captured lines, in order ("file:function:line:content (where)").
inline std::vector<std::string> contents(const platform::ScopedLogCapture& capture) {
    std::vector<std::string> out;
    for (const auto& entry : capture.entries()) {
        auto text = entry.text;
        // file:function:line:content (file:function:line)
        std::size_t at = 0;
        int colons = 0;
        int depth = 0;
        for (; at < text.size() && colons < 3; ++at) {
            if (text[at] == '(') ++depth;
            if (text[at] == ')') --depth;
            if (text[at] == ':' && depth == 0) ++colons;
        }
        text = text.substr(at);
        const auto open = text.rfind(" (");
        out.push_back(text.substr(0, open));
    }
    return out;
}

inline bool hasLine(const platform::ScopedLogCapture& capture, const std::string& content) {
    for (const auto& line : contents(capture))
        if (line == content) return true;
    return false;
}

// A server with external instruments, and a MIDI object on it.
struct Rig {
    explicit Rig(bool manual, bool universal = true)
        : server(std::make_shared<InProcessServer>(InProcessServerConfig{.manualDelivery = manual})) {
        midi = sonabel::MIDI::make({server, universal});
    }
    MIDIEndpointRef addSource(const std::string& name, MIDIUniqueID uid) {
        MIDIEndpointRef ref = 0;
        server->addExternalSource({.name = name, .uniqueID = uid}, &ref);
        return ref;
    }
    MIDIEndpointRef addDestination(const std::string& name, MIDIUniqueID uid,
                                   InProcessServer::ExternalReceiveHandler handler = {}) {
        MIDIEndpointRef ref = 0;
        server->addExternalDestination({.name = name, .uniqueID = uid}, &ref, std::move(handler));
        return ref;
    }
    std::shared_ptr<RecordingListener> listen() {
        auto listener = std::make_shared<RecordingListener>();
        midi->addListener(listener);
        return listener;
    }
    void run() { server->runPending(); }

    std::shared_ptr<InProcessServer> server;
    std::shared_ptr<sonabel::MIDI> midi;
};

} // namespace miditest
