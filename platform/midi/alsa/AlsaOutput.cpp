// Serialised, paced writes to the sequencer.
#include "platform/midi/alsa/AlsaOutput.h"

#include "platform/core/LogSink.h"

#include <cerrno>
#include <optional>
#include <string>

namespace platform::midi {

namespace {

void logError(const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", LogLevel::error, text});
}

} // namespace

AlsaOutput::AlsaOutput(AlsaSequencer& sequencer, const AlsaServerConfig& config)
    : sequencer_(sequencer), clock_(config.clock ? *config.clock : HostClock::system()),
      sleeper_(config.sleeper ? *config.sleeper : Sleeper::system()), config_(config),
      pacer_(clock_, sleeper_, config.kernelBytesPerSecond, config.kernelBufferBudget) {}

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
    if (!subscribed) {
        if (const int err = sequencer_.connectTo(route.sourcePort, route.client, route.port); err < 0) {
            failed(route, "the port refused our connection: " + std::string(snd_strerror(err)));
            return kMIDIMessageSendErr;
        }
        std::lock_guard lock(stateMutex_);
        subscribed_.insert(subscription);
    }
    const int status = translation_.encode(
        bytes, config_.sysExChunkBytes, inSysEx,
        [&](snd_seq_event_t& event, std::size_t wireBytes) { return write(route, event, wireBytes); });
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
    const std::string to = route.toSubscribers
                               ? "the subscribers of port " + std::to_string(route.sourcePort)
                               : std::to_string(route.client) + ":" + std::to_string(route.port);
    logError("MIDI send to " + to + " failed: " + why);
}

int AlsaOutput::write(const Route& route, snd_seq_event_t& event, std::size_t wireBytes) {
    if (stopped_) return -ECANCELED;
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(route.sourcePort));
    if (route.toSubscribers)
        snd_seq_ev_set_subs(&event);
    else
        snd_seq_ev_set_dest(&event, static_cast<unsigned char>(route.client),
                            static_cast<unsigned char>(route.port));
    snd_seq_ev_set_direct(&event);
    if (route.kernel) {
        const int client = route.toSubscribers ? -1 : route.client;
        pacer_.waitForRoom(client, route.toSubscribers ? route.sourcePort : route.port, wireBytes);
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
