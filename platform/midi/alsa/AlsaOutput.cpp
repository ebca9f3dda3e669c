// Serialised, paced writes to the sequencer.
#include "platform/midi/alsa/AlsaOutput.h"

#include "platform/core/LogSink.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

namespace platform::midi {

namespace {

void log(LogLevel level, const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", level, text});
}

std::string describe(const AlsaOutput::Route& route) {
    return route.toSubscribers ? "the subscribers of port " + std::to_string(route.sourcePort)
                               : std::to_string(route.client) + ":" + std::to_string(route.port);
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

OSStatus AlsaOutput::send(const Route& route, std::span<const std::uint8_t> bytes) {
    std::lock_guard sending(mutex_);
    const auto key = route.toSubscribers ? std::tuple{-1, route.sourcePort, 0}
                                         : std::tuple{route.client, route.port, route.sourcePort};
    const std::tuple subscription{route.sourcePort, route.client, route.port};
    AlsaTranslation::OpenSysEx inSysEx;
    bool subscribed = route.toSubscribers;
    {
        std::lock_guard lock(stateMutex_);
        inSysEx = openSysEx_[key];
        subscribed = subscribed || subscribed_.contains(subscription);
    }
    if (route.kernel && !route.toSubscribers) {
        if (const auto byte = statusInSysEx(bytes, !inSysEx.empty())) {
            static constexpr char digits[] = "0123456789ABCDEF";
            log(LogLevel::error, "MIDI send to " + describe(route) + " refused: the SysEx holds the byte " +
                                     digits[*byte >> 4] + digits[*byte & 15] +
                                     ", which cannot cross a MIDI cable inside a SysEx");
            return kMIDIMessageSendErr;
        }
    }
    if (!subscribed) {
        if (const int err = sequencer_.connectTo(route.sourcePort, route.client, route.port); err < 0) {
            failed(route, "the port refused our connection: " + std::string(snd_strerror(err)));
            return kMIDIMessageSendErr;
        }
        std::lock_guard lock(stateMutex_);
        subscribed_.insert(subscription);
    }
    // After the subscription: a device's driver opens its output, and reports its room, only then.
    const std::optional<Flow> flow = route.kernel ? std::optional(flowOf(route)) : std::nullopt;
    const std::size_t chunkBytes = flow && flow->rawMidi
                                       ? std::min(config_.kernelSysExChunkBytes, flow->bufferSize)
                                       : config_.sysExChunkBytes;
    const int status =
        translation_.encode(bytes, chunkBytes, inSysEx, [&](snd_seq_event_t& event, std::size_t wireBytes) {
            return write(route, flow ? &*flow : nullptr, event, wireBytes);
        });
    std::lock_guard lock(stateMutex_);
    if (status >= 0) {
        openSysEx_[key] = inSysEx;
        failing_.erase(target(route));
        return noErr;
    }
    // What did not go out must not be continued by the next send.
    openSysEx_[key].clear();
    // The destination may have gone and come back, unsubscribed, between two listings.
    subscribed_.erase(subscription);
    return kMIDIMessageSendErr;
}

std::pair<int, int> AlsaOutput::target(const Route& route) {
    return route.toSubscribers ? std::pair{-1, route.sourcePort} : std::pair{route.client, route.port};
}

void AlsaOutput::failed(const Route& route, const std::string& why) {
    {
        std::lock_guard lock(stateMutex_);
        if (!failing_.insert(target(route)).second) return;
    }
    log(LogLevel::error, "MIDI send to " + describe(route) + " failed: " + why);
}

AlsaOutput::Flow AlsaOutput::flowOf(const Route& route) {
    {
        std::lock_guard lock(stateMutex_);
        if (auto it = flows_.find(target(route)); it != flows_.end()) return it->second;
    }
    Flow flow;
    std::string why = route.toSubscribers ? "its subscribers may be several devices"
                                          : "the port drives no raw MIDI device of a card";
    if (const auto rawMidi =
            route.toSubscribers ? std::nullopt : sequencer_.rawMidiOf(route.client, route.port)) {
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
    flows_[target(route)] = flow;
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
    if (route.toSubscribers)
        snd_seq_ev_set_subs(&event);
    else
        snd_seq_ev_set_dest(&event, static_cast<unsigned char>(route.client),
                            static_cast<unsigned char>(route.port));
    snd_seq_ev_set_direct(&event);
    if (flow && flow->rawMidi) {
        if (const int err = waitForRoom(route, *flow->rawMidi, wireBytes); err < 0) return err;
    } else if (flow) {
        const auto [client, port] = target(route);
        pacer_.waitForRoom(client, port, wireBytes);
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
    auto matches = [&](int c, int p) { return c == client && (p == port || port < 0); };
    std::lock_guard lock(stateMutex_);
    std::erase_if(openSysEx_, [&](const auto& entry) {
        return matches(std::get<0>(entry.first), std::get<1>(entry.first));
    });
    std::erase_if(subscribed_, [&](const auto& key) { return matches(std::get<1>(key), std::get<2>(key)); });
    std::erase_if(failing_, [&](const auto& key) { return matches(key.first, key.second); });
    std::erase_if(flows_, [&](const auto& entry) { return matches(entry.first.first, entry.first.second); });
}

void AlsaOutput::forgetSender(int ourPort) {
    std::lock_guard lock(stateMutex_);
    std::erase_if(subscribed_, [&](const auto& key) { return std::get<0>(key) == ourPort; });
}

void AlsaOutput::forgetSubscriptions() {
    std::lock_guard lock(stateMutex_);
    subscribed_.clear();
}

} // namespace platform::midi
