// Paced writes to the sequencer, one lane per destination.
#include "platform/midi/alsa/AlsaOutput.h"

#include "platform/core/LogSink.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace platform::midi {

namespace {

void log(LogLevel level, const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", level, text});
}

std::string describe(const AlsaOutput::Route& route) {
    return std::to_string(route.client) + ":" + std::to_string(route.port);
}

// What an error of the sequencer means for the send: the receiver is gone, or it would not take it.
SendFailure::Kind kindOf(int err) {
    return err == -ENOENT || err == -ENXIO || err == -ENODEV ? SendFailure::Kind::gone
                                                             : SendFailure::Kind::refused;
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

OSStatus AlsaOutput::send(const Route& route, std::span<const std::uint8_t> bytes, MIDITimeStamp at,
                          SendFailure* failure) {
    // Taken before waiting for the lane: time rules follow the send, not our turn to write it.
    if (at == 0) at = clock_.now();
    std::vector<Job> jobs;
    if (!route.toSubscribers) {
        jobs.push_back(jobOf(route, false));
    } else {
        // Tickets taken one send at a time, so that every subscriber gets the sends in one order;
        // those with room have theirs before the next send takes its tickets.
        const auto source = sourceLane(route.sourcePort);
        std::lock_guard sending(source->sending);
        const auto all = sequencer_.subscribersOf(route.sourcePort);
        jobs.reserve(all.size());
        for (const auto& subscriber : all) {
            jobs.push_back(jobOf(
                {route.sourcePort, subscriber.client, subscriber.port, false, subscriber.kernel}, true));
            if (jobs.back().state == Job::State::ready) start(jobs.back(), bytes, at);
        }
    }
    run(jobs, bytes, at);
    // The first failure in the subscribers' order is the one told.
    for (const auto& job : jobs) {
        if (job.status == noErr) continue;
        if (failure && job.failure) *failure = *job.failure;
        return job.status;
    }
    return noErr;
}

std::shared_ptr<AlsaOutput::Lane> AlsaOutput::sourceLane(int ourPort) {
    std::lock_guard lock(stateMutex_);
    auto& lane = lanes_[{-1, ourPort}];
    if (!lane) lane = std::make_shared<Lane>();
    return lane;
}

AlsaOutput::Job AlsaOutput::jobOf(const Route& route, bool subscriber) {
    Job job;
    job.route = route;
    job.subscriber = subscriber;
    std::lock_guard lock(stateMutex_);
    auto& lane = lanes_[{route.client, route.port}];
    if (!lane) lane = std::make_shared<Lane>();
    auto& stream = lane->streams[route.sourcePort];
    if (!stream) stream = std::make_shared<Stream>();
    job.lane = lane;
    job.stream = stream;
    job.ticket = lane->tickets++;
    takeTurn(job);
    return job;
}

bool AlsaOutput::takeTurn(Job& job) {
    if (job.lane->serving != job.ticket) return false;
    job.open = job.stream->open;
    job.last = job.stream->last;
    job.subscribed = job.subscriber || job.stream->subscribed;
    job.stalled = job.lane->stalled;
    job.state = Job::State::ready;
    return true;
}

void AlsaOutput::run(std::span<Job> jobs, std::span<const std::uint8_t> bytes, MIDITimeStamp at) {
    while (true) {
        bool writing = false, waiting = false;
        std::chrono::nanoseconds wait = std::chrono::nanoseconds::max();
        for (auto& job : jobs) {
            if (job.state == Job::State::waitingTurn) {
                std::unique_lock lock(stateMutex_);
                if (!takeTurn(job)) {
                    waiting = true;
                    continue;
                }
            }
            if (job.state == Job::State::ready) start(job, bytes, at);
            if (job.state != Job::State::writing) continue;
            if (const auto next = drive(job)) {
                writing = true;
                wait = std::min(wait, *next);
            }
        }
        if (writing) {
            sleeper_.sleepFor(wait);
        } else if (waiting) {
            // Only turns to wait for: whoever holds them ends by its own deadline.
            std::unique_lock lock(stateMutex_);
            ++turnWaiters_;
            turns_.wait(lock, [&] {
                return std::any_of(jobs.begin(), jobs.end(), [](const Job& job) {
                    return job.state == Job::State::waitingTurn && job.lane->serving == job.ticket;
                });
            });
            --turnWaiters_;
        } else {
            return;
        }
    }
}

void AlsaOutput::start(Job& job, std::span<const std::uint8_t> bytes, MIDITimeStamp at) {
    const Route& route = job.route;
    const MIDITimeStamp last = job.last;
    const bool subscribed = job.subscribed;
    job.state = Job::State::writing;
    job.at = at;
    const auto& open = job.open;
    const bool silent = at > last && at - last > kSilenceEndsSysEx;
    const bool ends =
        !open.empty() && !bytes.empty() && bytes[0] >= 0x80 && bytes[0] < 0xF7 && (route.kernel || silent);
    if (route.kernel) {
        if (const auto byte = statusInSysEx(bytes, !open.empty() && !ends)) {
            static constexpr char digits[] = "0123456789ABCDEF";
            const std::string why = std::string("the SysEx holds the byte ") + digits[*byte >> 4] +
                                    digits[*byte & 15] + ", which cannot cross a MIDI cable inside a SysEx";
            log(LogLevel::error, job.subscriber
                                     ? "MIDI send to " + describe(route) + " (a subscriber of port " +
                                           std::to_string(route.sourcePort) + ") skipped: " + why
                                     : "MIDI send to " + describe(route) + " refused: " + why);
            job.failure = SendFailure{SendFailure::Kind::refused, why};
            job.status = kMIDIMessageSendErr;
            // Nothing went out: what was open toward it stays open.
            std::lock_guard lock(stateMutex_);
            job.state = Job::State::done;
            ++job.lane->serving;
            if (turnWaiters_) turns_.notify_all();
            return;
        }
    }
    if (!subscribed) {
        if (const int err = sequencer_.connectTo(route.sourcePort, route.client, route.port); err < 0) {
            failed(route, kindOf(err), "the port refused our connection: " + std::string(snd_strerror(err)),
                   &job.failure.emplace());
            finish(job, err);
            return;
        }
    }
    // After the subscription: a device's driver opens its output, and reports its room, only then.
    if (route.kernel) job.flow = flowOf(route);
    const auto& flow = job.flow;
    const std::size_t chunkBytes = flow && flow->rawMidi
                                       ? std::min(config_.kernelSysExChunkBytes, flow->bufferSize)
                                       : config_.sysExChunkBytes;
    // Written while there is room; from the first event without, kept for drive().
    const AlsaTranslation::EventSink sink = [&](snd_seq_event_t& event, std::size_t wireBytes) {
        if (job.held.empty()) [[likely]] {
            const Attempt tried = attempt(job, event, wireBytes);
            if (!tried.noRoom) return tried.result;
            if (const int err = noRoom(job, wireBytes); err < 0) return err;
        }
        auto& held = job.held.emplace_back(Event{event, wireBytes, {}});
        // Its data moves with it when the vector grows: pointed to again before it is written.
        if (snd_seq_ev_is_variable(&event)) {
            const auto* data = static_cast<const std::uint8_t*>(event.data.ext.ptr);
            held.data.assign(data, data + event.data.ext.len);
        }
        return 0;
    };
    int status = ends ? AlsaTranslation::endSysEx(job.open, chunkBytes, sink) : 0;
    if (status >= 0) status = job.lane->translation.encode(bytes, chunkBytes, job.open, sink);
    if (status < 0 || job.held.empty()) finish(job, status);
}

std::optional<std::chrono::nanoseconds> AlsaOutput::drive(Job& job) {
    while (job.next < job.held.size()) {
        Event& next = job.held[job.next];
        if (!next.data.empty()) next.event.data.ext.ptr = next.data.data();
        const Attempt tried = attempt(job, next.event, next.wireBytes);
        if (tried.noRoom) {
            if (const int err = noRoom(job, next.wireBytes); err < 0) {
                finish(job, err);
                return std::nullopt;
            }
            return tried.wait;
        }
        if (tried.result < 0) {
            finish(job, tried.result);
            return std::nullopt;
        }
        ++job.next;
    }
    finish(job, 0);
    return std::nullopt;
}

AlsaOutput::Attempt AlsaOutput::attempt(Job& job, snd_seq_event_t& event, std::size_t wireBytes) {
    if (stopped_) return {-ECANCELED};
    const Route& route = job.route;
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(route.sourcePort));
    snd_seq_ev_set_dest(&event, static_cast<unsigned char>(route.client),
                        static_cast<unsigned char>(route.port));
    snd_seq_ev_set_direct(&event);
    if (job.flow && job.flow->rawMidi) {
        auto figure = room_.read(*job.flow->rawMidi);
        // Unplugged, or our subscription (and with it the device's output) went.
        if (!figure && subscribeAgain(job)) figure = room_.read(*job.flow->rawMidi);
        if (!figure) {
            failed(route, SendFailure::Kind::gone,
                   "the device's output is gone (" + AlsaOutputRoom::path(*job.flow->rawMidi) + ")",
                   &job.failure.emplace());
            return {-ENODEV};
        }
        if (figure->avail < wireBytes) return {0, true, config_.kernelRoomPoll};
    } else if (job.flow && !job.paced) {
        // The cable's pace is no stall: it has no deadline.
        if (const auto wait = pacer_.take(route.client, route.port, wireBytes); wait.count() > 0)
            return {0, true, wait};
        job.paced = true;
    }
    // A user-space receiver whose pool overflows loses all it had waiting: wait for room.
    const bool room = route.kernel || sequencer_.hasRoomFor(event);
    int result = room ? sequencer_.outputDirect(event) : -EAGAIN;
    // A device's driver refuses a port that is no longer its subscriber.
    if (result == -ENODEV && route.kernel && subscribeAgain(job)) result = sequencer_.outputDirect(event);
    if (result >= 0) {
        job.paced = false;
        if (wireBytes >= job.stalled) job.stalled = 0;
        job.waitingSince.reset();
        return {0};
    }
    if (result != -EAGAIN && result != -ENOMEM) {
        failed(route, kindOf(result), snd_strerror(result), &job.failure.emplace());
        return {result};
    }
    return {0, true, config_.retryWait};
}

bool AlsaOutput::subscribeAgain(Job& job) {
    // Once a send; a subscriber's subscription is its own to end.
    if (job.subscriber || job.subscribedAgain) return false;
    job.subscribedAgain = true;
    const Route& route = job.route;
    if (sequencer_.connectTo(route.sourcePort, route.client, route.port) < 0) return false;
    log(LogLevel::info,
        "MIDI output to " + describe(route) + ": our subscription was ended from outside; made again");
    return true;
}

int AlsaOutput::noRoom(Job& job, std::size_t wireBytes) {
    const bool device = job.flow && job.flow->rawMidi;
    if (job.flow && !job.flow->rawMidi && !job.paced) return 0; // waiting for the cable's pace
    const std::uint64_t now = clock_.now();
    if (!job.waitingSince) job.waitingSince = now;
    if (!job.stalled && now - *job.waitingSince < static_cast<std::uint64_t>(config_.retryTimeout.count()))
        return 0;
    if (!job.stalled) job.stalled = std::max<std::size_t>(wireBytes, 1);
    failed(job.route, SendFailure::Kind::stalled,
           std::string(device ? "the device" : "the receiver") + " took nothing for " +
               std::to_string(config_.retryTimeout.count() / 1'000'000) + " ms",
           &job.failure.emplace());
    return -ETIMEDOUT;
}

void AlsaOutput::finish(Job& job, int status) {
    job.held = {};
    std::lock_guard lock(stateMutex_);
    if (status >= 0) {
        *job.stream = {std::move(job.open), job.at, true};
        failing_.erase({job.route.client, job.route.port});
    } else {
        // What did not go out must not be continued by the next send; and the destination may
        // have gone and come back, unsubscribed, between two listings.
        *job.stream = {};
        job.status = kMIDIMessageSendErr;
    }
    job.lane->stalled = job.stalled;
    job.state = Job::State::done;
    ++job.lane->serving;
    if (turnWaiters_) turns_.notify_all();
}

void AlsaOutput::failed(const Route& route, SendFailure::Kind kind, const std::string& why,
                        SendFailure* failure) {
    if (failure) *failure = {kind, why};
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
    for (auto& [destination, lane] : lanes_)
        if (matches(destination)) lane->stalled = 0;
    std::erase_if(failing_, matches);
    std::erase_if(flows_, [&](const auto& entry) { return matches(entry.first); });
}

void AlsaOutput::forgetSender(int ourPort) {
    std::lock_guard lock(stateMutex_);
    lanes_.erase({-1, ourPort});
    for (auto& [destination, lane] : lanes_)
        lane->streams.erase(ourPort);
}

void AlsaOutput::forgetSubscription(int ourPort, int client, int port) {
    std::lock_guard lock(stateMutex_);
    const auto lane = lanes_.find({client, port});
    if (lane == lanes_.end()) return;
    if (const auto stream = lane->second->streams.find(ourPort); stream != lane->second->streams.end())
        stream->second->subscribed = false;
}

void AlsaOutput::forgetSubscriptions() {
    std::lock_guard lock(stateMutex_);
    for (auto& [destination, lane] : lanes_)
        for (auto& [ourPort, stream] : lane->streams)
            stream->subscribed = false;
}

} // namespace platform::midi
