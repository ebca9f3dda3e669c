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
    std::lock_guard lock(mutex_);
    const auto key = route.toSubscribers ? std::tuple{-1, route.sourcePort, 0}
                                         : std::tuple{route.client, route.port, route.sourcePort};
    bool& inSysEx = openSysEx_[key];
    const int status = translation_.encode(
        bytes, config_.sysExChunkBytes, inSysEx,
        [&](snd_seq_event_t& event, std::size_t wireBytes) { return write(route, event, wireBytes); });
    if (status >= 0) return noErr;
    // What did not go out must not be continued by the next send.
    inSysEx = false;
    return kMIDIMessageSendErr;
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
        const int result = sequencer_.outputDirect(event);
        if (result >= 0) return 0;
        if (result != -EAGAIN && result != -ENOMEM) {
            logError("MIDI send failed: " + std::string(snd_strerror(result)));
            return result;
        }
        const std::uint64_t now = clock_.now();
        if (!waitingSince) waitingSince = now;
        if (now - *waitingSince >= static_cast<std::uint64_t>(config_.retryTimeout.count())) {
            logError("MIDI send failed: the receiver took nothing for " +
                     std::to_string(config_.retryTimeout.count() / 1'000'000) + " ms");
            return result;
        }
        sleeper_.sleepFor(config_.retryWait);
    }
}

void AlsaOutput::forget(int client, int port) {
    std::lock_guard lock(mutex_);
    std::erase_if(openSysEx_, [&](const auto& entry) {
        const auto& [c, p, s] = entry.first;
        return c == client && p == port;
    });
}

} // namespace platform::midi
