// Paced writes to the sequencer, one lane per destination.
#include "platform/midi/alsa/AlsaOutput.h"

#include "platform/core/LogSink.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace platform::midi {

namespace {

void log(LogLevel level, const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", level, text});
}

std::string describe(const AlsaOutput::Route& route) {
    return std::to_string(route.client) + ":" + std::to_string(route.port);
}

// The first SysEx data byte a MIDI cable would read as a status byte (80-F7), reading on from an
// unfinished SysEx when inSysEx. Real-time bytes may sit inside a SysEx on a cable too.
std::optional<std::uint8_t> statusInSysEx(std::span<const std::uint8_t> bytes, bool inSysEx) {
    for (const std::uint8_t byte : bytes) {
        if (!inSysEx)
            inSysEx = byte == 0xF0;
        else if (byte == 0xF7)
            inSysEx = false;
        else if (byte >= 0x80 && byte < 0xF8)
            return byte;
    }
    return std::nullopt;
}

} // namespace

AlsaOutput::AlsaOutput(AlsaSequencer& sequencer, const AlsaServerConfig& config)
    : sequencer_(sequencer), clock_(config.clock ? *config.clock : HostClock::system()),
      sleeper_(config.sleeper ? *config.sleeper : Sleeper::system()), config_(config),
      pacer_(clock_, sleeper_, config.kernelBytesPerSecond, config.kernelBufferBudget),
      room_(config.readKernelFile) {}

OSStatus AlsaOutput::send(const Route& route, std::span<const std::uint8_t> bytes, MIDITimeStamp at) {
    // Taken before waiting for the lane: time rules follow the send, not our turn to write it.
    if (at == 0) at = clock_.now();
    return route.toSubscribers ? sendToSubscribers(route, bytes, at) : sendTo(route, false, bytes, at);
}

AlsaOutput::Found AlsaOutput::laneOf(int client, int port, int ourPort) {
    std::lock_guard lock(stateMutex_);
    auto& lane = lanes_[{client, port}];
    if (!lane) lane = std::make_shared<Lane>();
    auto& stream = lane->streams[ourPort];
    if (!stream) stream = std::make_shared<Stream>();
    return {lane, stream};
}

OSStatus AlsaOutput::sendToSubscribers(const Route& route, std::span<const std::uint8_t> bytes,
                                       MIDITimeStamp at) {
    // One send to the subscribers at a time, so that each gets them in order.
    const auto subscribers = laneOf(-1, route.sourcePort, route.sourcePort).lane;
    std::lock_guard sending(subscribers->sending);
    const auto all = sequencer_.subscribersOf(route.sourcePort);
    // Side by side: a receiver that takes nothing holds up none of the others, and each has a
    // deadline of its own.
    std::vector<OSStatus> results(all.size(), noErr);
    const auto sendToOne = [&](std::size_t i) {
        const Route to{route.sourcePort, all[i].client, all[i].port, false, all[i].kernel};
        results[i] = sendTo(to, true, bytes, at);
    };
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < all.size(); ++i) {
        try {
            others.emplace_back(sendToOne, i);
        } catch (const std::system_error&) {
            sendToOne(i); // no thread to be had: in turn, then
        }
    }
    if (!all.empty()) sendToOne(0);
    for (auto& thread : others)
        thread.join();
    const auto failed = std::find_if(results.begin(), results.end(), [](OSStatus s) { return s != noErr; });
    return failed == results.end() ? noErr : *failed;
}

OSStatus AlsaOutput::sendTo(const Route& route, bool subscriber, std::span<const std::uint8_t> bytes,
                            MIDITimeStamp at) {
    const auto [lane, stream] = laneOf(route.client, route.port, route.sourcePort);
    std::lock_guard sending(lane->sending);
    AlsaTranslation::OpenSysEx open;
    MIDITimeStamp last = 0;
    bool subscribed = subscriber;
    {
        std::lock_guard lock(stateMutex_);
        open = stream->open;
        last = stream->last;
        subscribed = subscribed || stream->subscribed;
    }
    const bool silent = at > last && at - last > kSilenceEndsSysEx;
    const bool ends =
        !open.empty() && !bytes.empty() && bytes[0] >= 0x80 && bytes[0] < 0xF7 && (route.kernel || silent);
    if (route.kernel) {
        if (const auto byte = statusInSysEx(bytes, !open.empty() && !ends)) {
            static constexpr char digits[] = "0123456789ABCDEF";
            const std::string why = std::string("the SysEx holds the byte ") + digits[*byte >> 4] +
                                    digits[*byte & 15] + ", which cannot cross a MIDI cable inside a SysEx";
            log(LogLevel::error, subscriber ? "MIDI send to " + describe(route) + " (a subscriber of port " +
                                                  std::to_string(route.sourcePort) + ") skipped: " + why
                                            : "MIDI send to " + describe(route) + " refused: " + why);
            return kMIDIMessageSendErr;
        }
    }
    if (!subscribed) {
        if (const int err = sequencer_.connectTo(route.sourcePort, route.client, route.port); err < 0) {
            failed(route, "the port refused our connection: " + std::string(snd_strerror(err)));
            std::lock_guard lock(stateMutex_);
            *stream = {};
            return kMIDIMessageSendErr;
        }
    }
    // After the subscription: a device's driver opens its output, and reports its room, only then.
    const std::optional<Flow> flow = route.kernel ? std::optional(flowOf(route)) : std::nullopt;
    const std::size_t chunkBytes = flow && flow->rawMidi
                                       ? std::min(config_.kernelSysExChunkBytes, flow->bufferSize)
                                       : config_.sysExChunkBytes;
    const AlsaTranslation::EventSink sink = [&](snd_seq_event_t& event, std::size_t wireBytes) {
        return write(route, flow ? &*flow : nullptr, event, wireBytes);
    };
    int status = ends ? AlsaTranslation::endSysEx(open, chunkBytes, sink) : 0;
    if (status >= 0) status = lane->translation.encode(bytes, chunkBytes, open, sink);
    std::lock_guard lock(stateMutex_);
    if (status >= 0) {
        *stream = {std::move(open), at, true};
        failing_.erase({route.client, route.port});
        return noErr;
    }
    // What did not go out must not be continued by the next send; and the destination may have
    // gone and come back, unsubscribed, between two listings.
    *stream = {};
    return kMIDIMessageSendErr;
}

void AlsaOutput::failed(const Route& route, const std::string& why) {
    {
        std::lock_guard lock(stateMutex_);
        if (!failing_.insert({route.client, route.port}).second) return;
    }
    log(LogLevel::error, "MIDI send to " + describe(route) + " failed: " + why);
}

AlsaOutput::Flow AlsaOutput::flowOf(const Route& route) {
    const std::pair destination{route.client, route.port};
    {
        std::lock_guard lock(stateMutex_);
        if (auto it = flows_.find(destination); it != flows_.end()) return it->second;
    }
    Flow flow;
    std::string why = "the port drives no raw MIDI device of a card";
    if (const auto rawMidi = sequencer_.rawMidiOf(route.client, route.port)) {
        if (const auto figure = room_.read(*rawMidi)) {
            flow.rawMidi = rawMidi;
            flow.bufferSize = figure->bufferSize;
        } else {
            why = AlsaOutputRoom::path(*rawMidi) + " shows no room for output " +
                  std::to_string(rawMidi->subdevice);
        }
    }
    if (flow.rawMidi)
        log(LogLevel::info, "MIDI output to " + describe(route) + " goes as fast as the device takes it: " +
                                AlsaOutputRoom::path(*flow.rawMidi) + " shows the room in its buffer");
    else
        log(LogLevel::info, "MIDI output to " + describe(route) + " is paced at a MIDI cable's rate (" +
                                std::to_string(config_.kernelBytesPerSecond) + " bytes a second): " + why);
    std::lock_guard lock(stateMutex_);
    flows_[destination] = flow;
    return flow;
}

int AlsaOutput::waitForRoom(const Route& route, const AlsaSequencer::RawMidi& rawMidi,
                            std::size_t wireBytes) {
    std::optional<std::uint64_t> waitingSince;
    while (true) {
        if (stopped_) return -ECANCELED;
        const auto figure = room_.read(rawMidi);
        // Unplugged, or our subscription (and with it the device's output) went.
        if (!figure) {
            failed(route, "the device's output is gone (" + AlsaOutputRoom::path(rawMidi) + ")");
            return -ENODEV;
        }
        if (figure->avail >= wireBytes) return 0;
        const std::uint64_t now = clock_.now();
        if (!waitingSince) waitingSince = now;
        if (now - *waitingSince >= static_cast<std::uint64_t>(config_.retryTimeout.count())) {
            failed(route, "the device took nothing for " +
                              std::to_string(config_.retryTimeout.count() / 1'000'000) + " ms");
            return -ETIMEDOUT;
        }
        sleeper_.sleepFor(config_.kernelRoomPoll);
    }
}

int AlsaOutput::write(const Route& route, const Flow* flow, snd_seq_event_t& event, std::size_t wireBytes) {
    if (stopped_) return -ECANCELED;
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(route.sourcePort));
    snd_seq_ev_set_dest(&event, static_cast<unsigned char>(route.client),
                        static_cast<unsigned char>(route.port));
    snd_seq_ev_set_direct(&event);
    if (flow && flow->rawMidi) {
        if (const int err = waitForRoom(route, *flow->rawMidi, wireBytes); err < 0) return err;
    } else if (flow) {
        pacer_.waitForRoom(route.client, route.port, wireBytes);
    }
    std::optional<std::uint64_t> waitingSince;
    while (true) {
        if (stopped_) return -ECANCELED;
        // A user-space receiver whose pool overflows loses all it had waiting: wait for room.
        const bool room = route.kernel || sequencer_.hasRoomFor(event);
        const int result = room ? sequencer_.outputDirect(event) : -EAGAIN;
        if (result >= 0) return 0;
        if (result != -EAGAIN && result != -ENOMEM) {
            failed(route, snd_strerror(result));
            return result;
        }
        const std::uint64_t now = clock_.now();
        if (!waitingSince) waitingSince = now;
        if (now - *waitingSince >= static_cast<std::uint64_t>(config_.retryTimeout.count())) {
            failed(route, "the receiver took nothing for " +
                              std::to_string(config_.retryTimeout.count() / 1'000'000) + " ms");
            return result;
        }
        sleeper_.sleepFor(config_.retryWait);
    }
}

void AlsaOutput::forget(int client, int port) {
    auto matches = [&](const std::pair<int, int>& key) {
        return key.first == client && (key.second == port || port < 0);
    };
    pacer_.forget(client, port);
    std::lock_guard lock(stateMutex_);
    // A lane a send still holds stays, emptied: a later send to the address waits its turn.
    std::erase_if(lanes_, [&](auto& entry) {
        if (!matches(entry.first)) return false;
        if (entry.second.use_count() == 1) return true;
        entry.second->streams.clear();
        return false;
    });
    std::erase_if(failing_, matches);
    std::erase_if(flows_, [&](const auto& entry) { return matches(entry.first); });
}

void AlsaOutput::forgetSender(int ourPort) {
    std::lock_guard lock(stateMutex_);
    lanes_.erase({-1, ourPort});
    for (auto& [destination, lane] : lanes_)
        lane->streams.erase(ourPort);
}

void AlsaOutput::forgetSubscriptions() {
    std::lock_guard lock(stateMutex_);
    for (auto& [destination, lane] : lanes_)
        for (auto& [ourPort, stream] : lane->streams)
            stream->subscribed = false;
}

} // namespace platform::midi
