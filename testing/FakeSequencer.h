#pragma once
// Stands in for the kernel's sequencer: a listing tests edit, ports of our client, and
// destinations that behave like the kernel's. A kernel MIDI port holds 4096 bytes, drains at the
// cable's rate on the test's clock and silently drops an event that does not fit; a user-space
// client's queue holds a number of events, drains one per `userDrainEvery` and refuses more with
// -EAGAIN (the kernel then empties the receiver's queue: `refused` counts it). A kernel port
// refuses events (-ENODEV) from a port not subscribed to it, as a USB or DIN device's driver
// does. Another client's port subscribed to one of our ports (subscribe) gets what the port sends to
// its subscribers, each as a destination, and the sender hears the first error after the others
// got it, as from the kernel. A kernel port given a raw MIDI device shows its buffer's room as the kernel's
// /proc/asound/cardN/midiD does (kernelFile) while a subscription holds it open. Input is a queue
// the test fills. The test may also end a subscription as the kernel or a tool would (announced
// as the kernel does), make subscribing fail, freeze a user-space receiver, or break input.
#include "platform/core/HostClock.h"
#include "platform/midi/alsa/AlsaSequencer.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace alsatest {

struct Destination {
    bool kernel = false;
    bool needsSubscription = false;
    int refuseSubscription = 0;  // an error for connectTo, e.g. -EBUSY
    std::size_t capacity = 4096; // bytes (kernel) or events (user-space)
    std::vector<std::uint8_t> bytes;
    std::size_t dropped = 0;
    std::vector<std::size_t> eventSizes;
    std::vector<snd_seq_event_type_t> eventTypes;
    std::size_t refused = 0; // events a user-space receiver had no room for
    bool frozen = false;     // a user-space receiver that takes nothing more
    std::optional<platform::midi::AlsaSequencer::RawMidi> rawMidi;
    // Model state.
    double fill = 0;
    std::uint64_t at = 0;
};

class FakeSequencer final : public platform::midi::AlsaSequencer {
public:
    explicit FakeSequencer(platform::HostClock& clock, int ownClient = 128) : clock_(clock), own_(ownClient) {
        snd_midi_event_new(16, &decoder_);
        snd_midi_event_no_status(decoder_, 1);
    }
    ~FakeSequencer() override { snd_midi_event_free(decoder_); }

    std::uint64_t userDrainEvery = 1'000'000; // ns per event taken by a user-space receiver
    double kernelBytesPerSecond = 3125;

    void addDestination(int client, int port, bool kernel, std::size_t capacity) {
        std::lock_guard lock(mutex_);
        auto& d = destinations_[{client, port}];
        d.kernel = kernel;
        d.needsSubscription = kernel;
        d.capacity = capacity;
        d.at = clock_.now();
    }
    void setRawMidi(int client, int port, RawMidi rawMidi) {
        std::lock_guard lock(mutex_);
        destinations_[{client, port}].rawMidi = rawMidi;
    }
    // The kernel's report of a card's raw MIDI device; none for a device no port drives.
    std::optional<std::string> kernelFile(const std::string& path) {
        std::lock_guard lock(mutex_);
        ++kernelFileReads;
        std::optional<std::string> text;
        for (auto& [address, d] : destinations_) {
            if (!d.rawMidi || path != "/proc/asound/card" + std::to_string(d.rawMidi->card) + "/midi" +
                                          std::to_string(d.rawMidi->device))
                continue;
            if (!text) text = "Fake MIDI\n\n";
            *text += "Output " + std::to_string(d.rawMidi->subdevice) +
                     "\n  Tx bytes     : " + std::to_string(d.bytes.size()) + "\n";
            const bool open = std::any_of(subscriptions_.begin(), subscriptions_.end(),
                                          [&, at = address](const auto& s) { return s.second == at; });
            if (!open) continue;
            drainKernel(d);
            const auto used = static_cast<std::size_t>(std::ceil(d.fill));
            *text += "  Owner PID    : 1\n  Mode         : native\n  Buffer size  : " +
                     std::to_string(d.capacity) + "\n  Avail        : " + std::to_string(d.capacity - used) +
                     "\n";
        }
        return text;
    }
    std::size_t kernelFileReads = 0;
    void refuseSubscriptions(int client, int port, int error) {
        std::lock_guard lock(mutex_);
        destinations_[{client, port}].refuseSubscription = error;
    }
    // An unplug: the port goes, and the subscriptions to it.
    void removeDestination(int client, int port) {
        std::lock_guard lock(mutex_);
        destinations_.erase({client, port});
        std::erase_if(subscriptions_, [&](const auto& s) { return s.second == std::pair{client, port}; });
    }
    std::size_t connectToCalls = 0;
    // The kernel (or a connection tool) ends a subscription from one of our ports.
    void unsubscribe(int ourPort, int client, int port) {
        std::lock_guard lock(mutex_);
        std::erase(subscribers_[ourPort], std::pair{client, port});
        subscriptions_.erase({ourPort, {client, port}});
    }
    // Another program ends the subscription of our port to client:port, and the kernel announces it.
    void endOurSubscription(int ourPort, int client, int port) {
        std::lock_guard lock(mutex_);
        subscriptions_.erase({ourPort, {client, port}});
        snd_seq_event_t e{};
        e.type = SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
        e.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
        e.data.connect = {{static_cast<unsigned char>(own_), static_cast<unsigned char>(ourPort)},
                          {static_cast<unsigned char>(client), static_cast<unsigned char>(port)}};
        inputs_.push_back({e, {}, 0});
        wake_.notify_all();
    }
    // Told of every event we write to another client's port: the bytes the receiver stored (none
    // when it dropped or refused the event) and the writer's result; -EAGAIN also when the writer
    // is told there is no room. Called with the fake's lock held.
    std::function<void(const snd_seq_event_t& event, std::span<const std::uint8_t> stored, int result)>
        onWrite;
    Destination destination(int client, int port) {
        std::lock_guard lock(mutex_);
        return destinations_[{client, port}];
    }
    void setListing(std::vector<platform::midi::AlsaPortInfo> listing) {
        std::lock_guard lock(mutex_);
        listing_ = std::move(listing);
    }
    // Queues an event for the polling thread; SysEx data is copied and kept. While an overrun is
    // on its way (overrunComing), the kernel's announcements are lost.
    void push(snd_seq_event_t event, std::vector<std::uint8_t> sysEx = {}) {
        std::lock_guard lock(mutex_);
        if (overrunComing_ && event.source.client == SND_SEQ_CLIENT_SYSTEM) return;
        inputs_.push_back({event, std::move(sysEx), 0});
        wake_.notify_all();
    }
    void overrunComing() {
        std::lock_guard lock(mutex_);
        overrunComing_ = true;
    }
    void pushOverrun() {
        std::lock_guard lock(mutex_);
        overrunComing_ = false;
        inputs_.push_back({{}, {}, -ENOSPC});
        wake_.notify_all();
    }
    // The kernel, or a tool, ends the subscription of client:port to our port, and announces it.
    void endSubscription(int ourPort, int client, int port) {
        std::lock_guard lock(mutex_);
        std::erase(connections_[ourPort], std::pair{client, port});
        snd_seq_event_t e{};
        e.type = SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
        e.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
        e.data.connect = {{static_cast<unsigned char>(client), static_cast<unsigned char>(port)},
                          {static_cast<unsigned char>(own_), static_cast<unsigned char>(ourPort)}};
        inputs_.push_back({e, {}, 0});
        wake_.notify_all();
    }
    // connectFrom fails with this error while it is set (0: it does not).
    void refuseConnectFrom(int error) {
        std::lock_guard lock(mutex_);
        connectFromError_ = error;
    }
    void setFrozen(int client, int port, bool frozen) {
        std::lock_guard lock(mutex_);
        destinations_[{client, port}].frozen = frozen;
    }
    // input() fails with this error from now on, as a broken sequencer would (0: it does not).
    void failInput(int error) {
        std::lock_guard lock(mutex_);
        inputError_ = error;
        wake_.notify_all();
    }
    std::size_t inputCalls() {
        std::lock_guard lock(mutex_);
        return inputCalls_;
    }
    std::map<int, std::vector<std::pair<int, int>>> connections() {
        std::lock_guard lock(mutex_);
        return connections_;
    }
    std::vector<int> ownPorts() {
        std::lock_guard lock(mutex_);
        std::vector<int> out;
        for (auto& [port, caps] : ports_)
            out.push_back(port);
        return out;
    }
    unsigned capabilityOf(int port) {
        std::lock_guard lock(mutex_);
        return ports_.count(port) ? ports_[port] : 0;
    }
    // client:port subscribes to our port, as another program or a connection tool would.
    void subscribe(int ourPort, int client, int port) {
        std::lock_guard lock(mutex_);
        subscribers_[ourPort].push_back({client, port});
        subscriptions_.insert({ourPort, {client, port}});
    }

    // AlsaSequencer
    int clientID() override { return own_; }
    int setClientName(std::string_view name) override {
        std::lock_guard lock(mutex_);
        clientName = name;
        return 0;
    }
    std::string clientName;
    // As the kernel: a new port takes the lowest number free, and a deleted one's subscriptions go.
    bool reusePortNumbers = false;
    int lastCreatedPort = -1;
    int createPort(std::string_view, unsigned capability, unsigned) override {
        std::lock_guard lock(mutex_);
        int port = nextPort_++;
        if (reusePortNumbers)
            for (port = 0; ports_.contains(port);)
                ++port;
        ports_[port] = capability;
        return lastCreatedPort = port;
    }
    int deletePort(int port) override {
        std::lock_guard lock(mutex_);
        std::erase_if(subscriptions_, [&](const auto& s) { return s.first == port; });
        if (reusePortNumbers) {
            subscribers_.erase(port);
            connections_.erase(port);
            for (auto& [ourPort, from] : connections_)
                std::erase(from, std::pair{own_, port});
        }
        return ports_.erase(port) ? 0 : -ENOENT;
    }
    int connectTo(int ourPort, int client, int port) override {
        std::lock_guard lock(mutex_);
        ++connectToCalls;
        auto it = destinations_.find({client, port});
        if (client != own_ && it == destinations_.end()) return -ENOENT;
        if (client != own_ && it->second.refuseSubscription) return it->second.refuseSubscription;
        subscriptions_.insert({ourPort, {client, port}});
        return 0;
    }
    int connectFrom(int ourPort, int client, int port) override {
        std::lock_guard lock(mutex_);
        if (connectFromError_) return connectFromError_;
        if (client != own_ && std::none_of(listing_.begin(), listing_.end(), [&](const auto& info) {
                return info.client == client && info.port == port;
            }))
            return -ENOENT;
        auto& from = connections_[ourPort];
        if (std::find(from.begin(), from.end(), std::pair{client, port}) != from.end()) return -EBUSY;
        from.push_back({client, port});
        return 0;
    }
    int disconnectFrom(int ourPort, int client, int port) override {
        std::lock_guard lock(mutex_);
        return std::erase(connections_[ourPort], std::pair{client, port}) ? 0 : -ENOENT;
    }
    std::vector<platform::midi::AlsaPortInfo> listPorts() override {
        std::lock_guard lock(mutex_);
        return listing_;
    }
    std::vector<Subscriber> subscribersOf(int ourPort) override {
        std::lock_guard lock(mutex_);
        std::vector<Subscriber> out;
        for (auto& [port, from] : connections_)
            if (std::find(from.begin(), from.end(), std::pair{own_, ourPort}) != from.end())
                out.push_back({own_, port, false});
        for (auto [client, port] : subscribers_[ourPort]) {
            auto it = destinations_.find({client, port});
            out.push_back({client, port, it != destinations_.end() && it->second.kernel});
        }
        return out;
    }
    std::optional<RawMidi> rawMidiOf(int client, int port) override {
        std::lock_guard lock(mutex_);
        auto it = destinations_.find({client, port});
        return it == destinations_.end() ? std::nullopt : it->second.rawMidi;
    }

    bool hasRoomFor(const snd_seq_event_t& event) override {
        std::lock_guard lock(mutex_);
        auto it = destinations_.find({event.dest.client, event.dest.port});
        if (it == destinations_.end() || it->second.kernel) return true;
        drainUser(it->second);
        const bool room =
            !it->second.frozen && it->second.fill + 1 <= static_cast<double>(it->second.capacity);
        if (!room && onWrite) onWrite(event, {}, -EAGAIN);
        return room;
    }
    int outputDirect(snd_seq_event_t& event) override {
        std::lock_guard lock(mutex_);
        std::vector<std::uint8_t> bytes;
        if (event.type == SND_SEQ_EVENT_SYSEX) {
            const auto* p = static_cast<const std::uint8_t*>(event.data.ext.ptr);
            bytes.assign(p, p + event.data.ext.len);
        } else {
            unsigned char buffer[16];
            const long n = snd_midi_event_decode(decoder_, buffer, sizeof buffer, &event);
            if (n > 0) bytes.assign(buffer, buffer + n);
        }
        // Our own client's ports hear what is sent to them, and what their sources send.
        auto loop = [&](int ourPort) {
            Input in{event, {}, 0};
            if (event.type == SND_SEQ_EVENT_SYSEX) in.sysEx = bytes;
            in.event.source = {static_cast<unsigned char>(own_), event.source.port};
            in.event.dest = {static_cast<unsigned char>(own_), static_cast<unsigned char>(ourPort)};
            inputs_.push_back(std::move(in));
            wake_.notify_all();
        };
        if (event.dest.client == SND_SEQ_ADDRESS_SUBSCRIBERS) {
            int first = 0;
            for (auto& [ourPort, from] : connections_)
                if (std::find(from.begin(), from.end(), std::pair{own_, int(event.source.port)}) !=
                    from.end())
                    loop(ourPort);
            for (auto address : subscribers_[event.source.port]) {
                auto it = destinations_.find(address);
                const int result = it == destinations_.end() ? -ENOENT : deliver(it->second, event, bytes);
                if (first == 0) first = result;
            }
            return first;
        }
        if (event.dest.client == own_) {
            if (!ports_.count(event.dest.port)) return -ENOENT;
            loop(event.dest.port);
            return 0;
        }
        auto it = destinations_.find({event.dest.client, event.dest.port});
        int result = 0;
        const std::size_t before = it == destinations_.end() ? 0 : it->second.eventSizes.size();
        if (it == destinations_.end())
            result = -ENOENT;
        else if (it->second.needsSubscription &&
                 !subscriptions_.contains({int(event.source.port), {event.dest.client, event.dest.port}}))
            result = -ENODEV;
        else
            result = deliver(it->second, event, bytes);
        if (onWrite) {
            const bool stored = it != destinations_.end() && it->second.eventSizes.size() > before;
            onWrite(event, stored ? std::span<const std::uint8_t>(bytes) : std::span<const std::uint8_t>(),
                    result);
        }
        return result;
    }
    int deliver(Destination& d, const snd_seq_event_t& event, const std::vector<std::uint8_t>& bytes) {
        if (d.kernel) {
            drainKernel(d);
            if (d.fill + static_cast<double>(bytes.size()) > static_cast<double>(d.capacity)) {
                ++d.dropped; // as the kernel: gone, and the sender hears nothing
                return 0;
            }
            d.fill += static_cast<double>(bytes.size());
        } else {
            drainUser(d);
            if (d.frozen || d.fill + 1 > static_cast<double>(d.capacity)) {
                ++d.refused;
                return -EAGAIN;
            }
            d.fill += 1;
        }
        d.eventSizes.push_back(bytes.size());
        d.eventTypes.push_back(event.type);
        d.bytes.insert(d.bytes.end(), bytes.begin(), bytes.end());
        return 0;
    }

    void drainKernel(Destination& d) {
        const std::uint64_t now = clock_.now();
        d.fill = std::max(0.0, d.fill - static_cast<double>(now - d.at) / 1e9 * kernelBytesPerSecond);
        d.at = now;
    }
    void drainUser(Destination& d) {
        const std::uint64_t now = clock_.now();
        d.fill =
            std::max(0.0, d.fill - static_cast<double>(now - d.at) / static_cast<double>(userDrainEvery));
        d.at = now;
    }
    void waitForInput(std::chrono::milliseconds timeout) override {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, timeout, [&] { return !inputs_.empty() || woken_ || inputError_; });
        woken_ = false;
    }
    void wake() override {
        std::lock_guard lock(mutex_);
        woken_ = true;
        wake_.notify_all();
    }
    int input(snd_seq_event_t** event) override {
        std::lock_guard lock(mutex_);
        ++inputCalls_;
        if (inputError_) return inputError_;
        if (inputs_.empty()) return -EAGAIN;
        current_ = std::move(inputs_.front());
        inputs_.pop_front();
        if (current_.status < 0) return current_.status;
        if (current_.event.type == SND_SEQ_EVENT_SYSEX) {
            current_.event.data.ext.ptr = current_.sysEx.data();
            current_.event.data.ext.len = static_cast<unsigned>(current_.sysEx.size());
        }
        *event = &current_.event;
        return 1;
    }
    int inputPending() override {
        std::lock_guard lock(mutex_);
        return static_cast<int>(inputs_.size());
    }
    bool inputEmpty() {
        std::lock_guard lock(mutex_);
        return inputs_.empty();
    }

private:
    struct Input {
        snd_seq_event_t event;
        std::vector<std::uint8_t> sysEx;
        int status = 0;
    };
    platform::HostClock& clock_;
    int own_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    snd_midi_event_t* decoder_ = nullptr;
    std::map<std::pair<int, int>, Destination> destinations_;
    std::vector<platform::midi::AlsaPortInfo> listing_;
    std::map<int, unsigned> ports_;
    int nextPort_ = 0;
    std::map<int, std::vector<std::pair<int, int>>> connections_;
    std::set<std::pair<int, std::pair<int, int>>> subscriptions_; // our port -> client:port
    std::map<int, std::vector<std::pair<int, int>>> subscribers_; // of our port, by subscribe()
    std::deque<Input> inputs_;
    Input current_;
    int connectFromError_ = 0;
    bool overrunComing_ = false;
    int inputError_ = 0;
    std::size_t inputCalls_ = 0;
};

} // namespace alsatest
