// The music player: a position in beats anchored to host time while it plays, and a render step
// that sends every message of the bound sequence's tracks that fell due since the last step.
#include "platform/midi/MIDIServices.h"
#include "platform/sequence/MusicSequenceServices.h"
#include "platform/sequence/SequenceStore.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

using namespace platform::sequence;

namespace {

using Lock = std::unique_lock<std::recursive_mutex>;

struct PendingOff {
    MusicTimeStamp beats;
    std::uint64_t trackID;
    std::array<std::uint8_t, 3> bytes;
};

struct Player {
    std::uint64_t id = 0;
    MusicPlayerConfiguration configuration;
    std::uint64_t sequenceID = 0;
    bool playing = false;
    double rate = 1.0;
    MusicTimeStamp position = 0; // rendered up to, while playing
    MIDITimeStamp anchorHost = 0;
    double anchorSeconds = 0;
    std::vector<PendingOff> sounding;

    std::thread thread;
    std::atomic<bool> stopThread{false};

    std::mutex portMutex;
    MIDIClientRef client = 0;
    MIDIPortRef port = 0;
};

struct Outgoing {
    MusicTimeStamp beats;
    MIDITimeStamp hostTime = 0;
    MusicTrackMIDIReceiver receiver;
    MIDIEndpointRef endpoint = 0;
    std::vector<std::uint8_t> bytes;
};

std::mutex& configurationMutex() {
    static std::mutex mutex;
    return mutex;
}

MusicPlayerConfiguration& defaultConfiguration() {
    static MusicPlayerConfiguration configuration;
    return configuration;
}

std::map<std::uint64_t, std::shared_ptr<Player>>& players() {
    static std::map<std::uint64_t, std::shared_ptr<Player>> map;
    return map;
}

Store& store() {
    return Store::shared();
}

std::shared_ptr<Player> player(MusicPlayer handle) {
    const auto it = players().find(static_cast<std::uint64_t>(handle));
    return it == players().end() ? nullptr : it->second;
}

std::shared_ptr<Sequence> sequenceOf(const Player& p) {
    return store().sequence(MusicSequence{p.sequenceID});
}

MusicTimeStamp beatsAt(const Player& p, const Sequence& s, MIDITimeStamp host) {
    const double elapsed = (static_cast<double>(host) - static_cast<double>(p.anchorHost)) / 1e9 * p.rate;
    return beatsForSeconds(*s.tempoTrack, p.anchorSeconds + elapsed);
}

MIDITimeStamp hostAt(const Player& p, const Sequence& s, MusicTimeStamp beats) {
    const double seconds = secondsForBeats(*s.tempoTrack, beats) - p.anchorSeconds;
    const double host = static_cast<double>(p.anchorHost) + seconds / p.rate * 1e9;
    if (!(host > 0)) return 0;
    return host >= 1.8e19 ? ~MIDITimeStamp{0} : static_cast<MIDITimeStamp>(host);
}

std::size_t channelMessageLength(std::uint8_t status) {
    const auto kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
}

// Messages of one track whose track times lie in [start, end), placed at track time + offset.
void gather(const Track& track, MusicTimeStamp start, MusicTimeStamp end, MusicTimeStamp offset,
            std::vector<Outgoing>& out, std::vector<PendingOff>& sounding) {
    const auto& events = track.content.events;
    auto it = std::lower_bound(events.begin(), events.end(), start,
                               [](const StoredEvent& e, MusicTimeStamp t) { return e.time < t; });
    for (; it != events.end() && it->time < end; ++it) {
        const auto& d = it->data;
        const MusicTimeStamp at = it->time + offset;
        if (it->type == kMusicEventType_MIDINoteMessage && d.size() >= sizeof(MIDINoteMessage)) {
            MIDINoteMessage n;
            std::memcpy(&n, d.data(), sizeof n);
            const std::uint8_t ch = n.channel & 0x0F;
            out.push_back(
                {at,
                 0,
                 track.receiver,
                 track.destEndpoint,
                 {std::uint8_t(0x90 | ch), std::uint8_t(n.note & 0x7F), std::uint8_t(n.velocity & 0x7F)}});
            const double duration = std::isfinite(n.duration) && n.duration > 0 ? n.duration : 0;
            sounding.push_back({at + duration,
                                track.id,
                                {std::uint8_t(0x80 | ch), std::uint8_t(n.note & 0x7F),
                                 std::uint8_t(n.releaseVelocity & 0x7F)}});
        } else if (it->type == kMusicEventType_MIDIChannelMessage && d.size() >= 4 && d[0] >= 0x80 &&
                   d[0] < 0xF0) {
            std::vector<std::uint8_t> bytes{d[0], std::uint8_t(d[1] & 0x7F), std::uint8_t(d[2] & 0x7F)};
            bytes.resize(channelMessageLength(d[0]));
            out.push_back({at, 0, track.receiver, track.destEndpoint, std::move(bytes)});
        } else if (it->type == kMusicEventType_MIDIRawData && d.size() >= 4) {
            std::uint32_t length;
            std::memcpy(&length, d.data(), 4);
            length = std::min<std::uint32_t>(length, std::uint32_t(d.size() - 4));
            if (length)
                out.push_back(
                    {at, 0, track.receiver, track.destEndpoint, {d.begin() + 4, d.begin() + 4 + length}});
        }
    }
}

// Loops repeat the track's first loopDuration beats; a counted loop then plays the rest.
void gatherLooped(const Track& track, MusicTimeStamp a, MusicTimeStamp b, std::vector<Outgoing>& out,
                  std::vector<PendingOff>& sounding) {
    const double length = track.loopInfo.loopDuration;
    if (!(length > 0)) return gather(track, a, b, 0, out, sounding);
    const std::int64_t loops = track.loopInfo.numberOfLoops;
    constexpr double maxPasses = 100000;
    double first = std::floor(a / length);
    const double last = std::floor(b / length);
    if (last - first > maxPasses) first = last - maxPasses; // a jump over many passes sends the latest
    for (double k = std::max(first, 0.0); k <= last; ++k) {
        if (loops > 0 && k >= double(loops)) break;
        gather(track, std::max(a - k * length, 0.0), std::min(b - k * length, length), k * length, out,
               sounding);
    }
    if (loops > 0 && b > double(loops) * length) {
        const double shift = double(loops - 1) * length;
        gather(track, std::max(a - shift, length), b - shift, shift, out, sounding);
    }
}

void sendTo(Player& p, MIDIEndpointRef endpoint, const Outgoing& message) {
    std::lock_guard lock(p.portMutex);
    if (!p.port) {
        if (!p.client && MIDIClientCreateWithBlock("MusicPlayer", &p.client, nullptr) != noErr) return;
        if (MIDIOutputPortCreate(p.client, "MusicPlayer", &p.port) != noErr) return;
    }
    std::vector<std::uint8_t> buffer(sizeof(MIDIPacketList) + message.bytes.size());
    auto* list = reinterpret_cast<MIDIPacketList*>(buffer.data());
    auto* packet = MIDIPacketListInit(list);
    if (MIDIPacketListAdd(list, buffer.size(), packet, message.hostTime, message.bytes.size(),
                          message.bytes.data()))
        MIDISend(p.port, endpoint, list, buffer.size());
}

void deliver(Player& p, const std::vector<Outgoing>& messages) {
    for (const auto& m : messages) {
        if (m.receiver)
            m.receiver(MusicTrackOutput{m.beats, m.hostTime, m.bytes});
        else if (m.endpoint)
            sendTo(p, m.endpoint, m);
    }
}

Outgoing offMessage(const Sequence* sequence, const PendingOff& off) {
    Outgoing m{off.beats, 0, {}, 0, {off.bytes.begin(), off.bytes.end()}};
    if (!sequence) return m;
    for (const auto& t : sequence->tracks)
        if (t->id == off.trackID) {
            m.receiver = t->receiver;
            m.endpoint = t->destEndpoint;
        }
    return m;
}

// Every note still sounding, at once (stop, jump).
std::vector<Outgoing> releaseAll(Player& p, MIDITimeStamp now) {
    auto sequence = sequenceOf(p);
    std::vector<Outgoing> out;
    for (const auto& off : p.sounding) {
        out.push_back(offMessage(sequence.get(), off));
        out.back().hostTime = now;
    }
    p.sounding.clear();
    return out;
}

std::vector<Outgoing> render(Player& p, MIDITimeStamp host) {
    std::vector<Outgoing> out;
    auto sequence = sequenceOf(p);
    if (!p.playing || !sequence) return out;
    const MusicTimeStamp from = p.position, to = beatsAt(p, *sequence, host);
    if (!(to > from)) return out;
    std::stable_sort(p.sounding.begin(), p.sounding.end(),
                     [](const PendingOff& x, const PendingOff& y) { return x.beats < y.beats; });
    auto due = std::partition_point(p.sounding.begin(), p.sounding.end(),
                                    [&](const PendingOff& off) { return off.beats < to; });
    for (auto it = p.sounding.begin(); it != due; ++it)
        out.push_back(offMessage(sequence.get(), *it));
    p.sounding.erase(p.sounding.begin(), due);

    const bool anySolo =
        std::any_of(sequence->tracks.begin(), sequence->tracks.end(), [](const auto& t) { return t->solo; });
    std::vector<PendingOff> started;
    for (const auto& track : sequence->tracks) {
        if (track->muted || (anySolo && !track->solo)) continue;
        gatherLooped(*track, from, to, out, started);
    }
    // Notes shorter than this step end within it.
    std::stable_sort(started.begin(), started.end(),
                     [](const PendingOff& x, const PendingOff& y) { return x.beats < y.beats; });
    for (const auto& off : started) {
        if (off.beats < to)
            out.push_back(offMessage(sequence.get(), off));
        else
            p.sounding.push_back(off);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Outgoing& x, const Outgoing& y) { return x.beats < y.beats; });
    for (auto& m : out)
        m.hostTime = hostAt(p, *sequence, m.beats);
    p.position = to;
    return out;
}

void threadLoop(std::shared_ptr<Player> p) {
    while (!p->stopThread.load()) {
        p->configuration.sleeper->sleepFor(p->configuration.renderInterval);
        if (p->stopThread.load()) break;
        MusicPlayerRenderUntil(MusicPlayer{p->id}, p->configuration.clock->now());
    }
}

void joinThread(Player& p) {
    p.stopThread = true;
    if (p.thread.joinable() && p.thread.get_id() != std::this_thread::get_id()) p.thread.join();
}

} // namespace

MusicPlayerConfiguration MusicPlayerDefaultConfiguration() {
    std::lock_guard lock(configurationMutex());
    return defaultConfiguration();
}

void MusicPlayerSetDefaultConfiguration(const MusicPlayerConfiguration& configuration) {
    std::lock_guard lock(configurationMutex());
    defaultConfiguration() = configuration;
}

OSStatus NewMusicPlayer(MusicPlayer* outPlayer) {
    return NewMusicPlayerWithConfiguration(MusicPlayerDefaultConfiguration(), outPlayer);
}

OSStatus NewMusicPlayerWithConfiguration(const MusicPlayerConfiguration& configuration,
                                         MusicPlayer* outPlayer) {
    if (!outPlayer || !configuration.clock || !configuration.sleeper) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = std::make_shared<Player>();
    p->id = store().nextID();
    p->configuration = configuration;
    players()[p->id] = p;
    *outPlayer = MusicPlayer{p->id};
    return noErr;
}

OSStatus DisposeMusicPlayer(MusicPlayer handle) {
    MusicPlayerStop(handle);
    std::shared_ptr<Player> p;
    {
        Lock lock(store().mutex());
        p = player(handle);
        if (!p) return kAudio_ParamError;
        players().erase(p->id);
    }
    joinThread(*p);
    std::lock_guard lock(p->portMutex);
    if (p->port) MIDIPortDispose(p->port);
    if (p->client) MIDIClientDispose(p->client);
    return noErr;
}

OSStatus MusicPlayerSetSequence(MusicPlayer handle, MusicSequence sequence) {
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    if (!store().sequence(sequence)) return kAudioToolboxErr_NoSequence;
    if (p->playing) return kAudioToolboxErr_InvalidPlayerState;
    p->sequenceID = static_cast<std::uint64_t>(sequence);
    p->position = 0;
    return noErr;
}

OSStatus MusicPlayerGetSequence(MusicPlayer handle, MusicSequence* outSequence) {
    if (!outSequence) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    if (!sequenceOf(*p)) return kAudioToolboxErr_NoSequence;
    *outSequence = MusicSequence{p->sequenceID};
    return noErr;
}

OSStatus MusicPlayerSetTime(MusicPlayer handle, MusicTimeStamp time) {
    if (!std::isfinite(time)) return kAudio_ParamError;
    std::vector<Outgoing> released;
    std::shared_ptr<Player> p;
    {
        Lock lock(store().mutex());
        p = player(handle);
        if (!p) return kAudio_ParamError;
        p->position = time;
        if (p->playing) {
            auto sequence = sequenceOf(*p);
            const auto now = p->configuration.clock->now();
            released = releaseAll(*p, now);
            p->anchorHost = now;
            p->anchorSeconds = sequence ? secondsForBeats(*sequence->tempoTrack, time) : 0;
        }
    }
    deliver(*p, released);
    return noErr;
}

OSStatus MusicPlayerGetTime(MusicPlayer handle, MusicTimeStamp* outTime) {
    if (!outTime) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    auto sequence = sequenceOf(*p);
    *outTime = p->playing && sequence ? beatsAt(*p, *sequence, p->configuration.clock->now()) : p->position;
    return noErr;
}

OSStatus MusicPlayerGetHostTimeForBeats(MusicPlayer handle, MusicTimeStamp beats,
                                        MIDITimeStamp* outHostTime) {
    if (!outHostTime || !std::isfinite(beats)) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    auto sequence = sequenceOf(*p);
    if (!p->playing || !sequence) return kAudioToolboxErr_InvalidPlayerState;
    *outHostTime = hostAt(*p, *sequence, beats);
    return noErr;
}

OSStatus MusicPlayerGetBeatsForHostTime(MusicPlayer handle, MIDITimeStamp hostTime,
                                        MusicTimeStamp* outBeats) {
    if (!outBeats) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    auto sequence = sequenceOf(*p);
    if (!p->playing || !sequence) return kAudioToolboxErr_InvalidPlayerState;
    *outBeats = beatsAt(*p, *sequence, hostTime);
    return noErr;
}

OSStatus MusicPlayerPreroll(MusicPlayer handle) {
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    return sequenceOf(*p) ? noErr : kAudioToolboxErr_NoSequence;
}

OSStatus MusicPlayerStart(MusicPlayer handle) {
    std::shared_ptr<Player> p;
    {
        Lock lock(store().mutex());
        p = player(handle);
        if (!p) return kAudio_ParamError;
        auto sequence = sequenceOf(*p);
        if (!sequence) return kAudioToolboxErr_NoSequence;
        if (p->playing) return noErr;
        p->anchorHost = p->configuration.clock->now();
        p->anchorSeconds = secondsForBeats(*sequence->tempoTrack, p->position);
        p->playing = true;
    }
    if (p->configuration.runsThread) {
        joinThread(*p); // a thread of an earlier start that has not ended yet
        p->stopThread = false;
        p->thread = std::thread(threadLoop, p);
    }
    return noErr;
}

OSStatus MusicPlayerStop(MusicPlayer handle) {
    std::shared_ptr<Player> p;
    std::vector<Outgoing> released;
    {
        Lock lock(store().mutex());
        p = player(handle);
        if (!p) return kAudio_ParamError;
        if (!p->playing) return noErr;
        auto sequence = sequenceOf(*p);
        const auto now = p->configuration.clock->now();
        if (sequence) p->position = beatsAt(*p, *sequence, now);
        p->playing = false;
        released = releaseAll(*p, now);
    }
    joinThread(*p);
    deliver(*p, released);
    return noErr;
}

OSStatus MusicPlayerIsPlaying(MusicPlayer handle, bool* outIsPlaying) {
    if (!outIsPlaying) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    *outIsPlaying = p->playing;
    return noErr;
}

OSStatus MusicPlayerSetPlayRateScalar(MusicPlayer handle, double scaleRate) {
    if (!std::isfinite(scaleRate) || scaleRate <= 0) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    if (p->playing) {
        const auto now = p->configuration.clock->now();
        p->anchorSeconds += (static_cast<double>(now) - static_cast<double>(p->anchorHost)) / 1e9 * p->rate;
        p->anchorHost = now;
    }
    p->rate = scaleRate;
    return noErr;
}

OSStatus MusicPlayerGetPlayRateScalar(MusicPlayer handle, double* outScaleRate) {
    if (!outScaleRate) return kAudio_ParamError;
    Lock lock(store().mutex());
    auto p = player(handle);
    if (!p) return kAudio_ParamError;
    *outScaleRate = p->rate;
    return noErr;
}

OSStatus MusicPlayerRenderUntil(MusicPlayer handle, MIDITimeStamp hostTime) {
    std::shared_ptr<Player> p;
    std::vector<Outgoing> out;
    {
        Lock lock(store().mutex());
        p = player(handle);
        if (!p) return kAudio_ParamError;
        out = render(*p, hostTime);
    }
    deliver(*p, out);
    return noErr;
}
