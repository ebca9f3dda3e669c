#pragma once
// The programs around the one a soak measures, on RtAudio: the tone's player, recorders, the plain
// passthrough program that is the engine's peer, and busy processes for the load.
#include "bench/Soak.h"
#include "platform/audio/devices/AudioCallbackTiming.h"
#include "platform/core/HostClock.h"

#include <RtAudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace soakbench {

// Processes that keep a core busy each until they are killed.
class BusyProcesses {
public:
    explicit BusyProcesses(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyProcesses() {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> pids_;
};

// How a program asks RtAudio for its streams.
struct StreamAsk {
    unsigned buffers = 0; // the server's or device's buffers; 0 leaves RtAudio's default
    bool realtime = false;
    int priority = 0;

    // As another program asks, e.g. the engine.
    static StreamAsk as(const RtAudio::StreamOptions& o) {
        return {o.numberOfBuffers, (o.flags & RTAUDIO_SCHEDULE_REALTIME) != 0, o.priority};
    }
    RtAudio::StreamOptions options() const {
        RtAudio::StreamOptions o;
        o.numberOfBuffers = buffers;
        if (realtime) {
            o.flags |= RTAUDIO_SCHEDULE_REALTIME;
            o.priority = priority;
        }
        return o;
    }
};

// A device wanted by one of its names, with channels that way.
struct Wanted {
    std::vector<std::string> names;
    bool input = false;
};

// The first device for each of `wanted`, from one listing (each asks the server again); nullopt
// for those it does not list.
inline std::vector<std::optional<unsigned>> findDevices(RtAudio& rt, const std::vector<Wanted>& wanted) {
    std::vector<std::optional<unsigned>> found(wanted.size());
    for (unsigned d = 0; d < rt.getDeviceCount(); ++d) {
        const RtAudio::DeviceInfo info = rt.getDeviceInfo(d);
        for (std::size_t w = 0; w < wanted.size(); ++w) {
            if (found[w] || (wanted[w].input ? info.inputChannels : info.outputChannels) == 0) continue;
            for (const auto& name : wanted[w].names)
                if (info.name == name) found[w] = d;
        }
    }
    return found;
}

// Lists until every one of `wanted` is there (a sound server lists a sink a moment after it made
// it), 50 ms apart, at most until `deadline`; empty if some never were.
inline std::vector<unsigned> waitForDevices(RtAudio& rt, const std::vector<Wanted>& wanted,
                                            std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const std::vector<std::optional<unsigned>> found = findDevices(rt, wanted);
        if (std::all_of(found.begin(), found.end(), [](const auto& d) { return d.has_value(); })) {
            std::vector<unsigned> devices;
            for (const auto& d : found)
                devices.push_back(*d);
            return devices;
        }
        if (std::chrono::steady_clock::now() >= deadline) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Aborted, not stopped: stopping drains what the server still holds, which on a starved server can
// take for ever.
inline void close(RtAudio& rt) {
    try {
        if (rt.isStreamRunning()) rt.abortStream();
        if (rt.isStreamOpen()) rt.closeStream();
    } catch (const RtAudioError&) {
    }
}

// Plays the tone, stamping each block as it hands it over; its underruns counted as the engine
// counts its own.
class TonePlayer {
public:
    explicit TonePlayer(RtAudio::Api api) : rt_(api) { rt_.showWarnings(false); }
    ~TonePlayer() { close(rt_); }
    RtAudio& rt() { return rt_; }

    // Throws RtAudioError.
    void open(unsigned device, unsigned channels, double rate, unsigned period, const StreamAsk& ask,
              double seconds) {
        rate_ = rate;
        channels_ = channels;
        toneStart_ = std::int64_t(0.5 * rate);
        toneLength_ = std::int64_t(std::floor(seconds / kBurstSeconds) * kBurstSeconds * rate);
        handed_.at.resize(std::size_t((seconds + 30) * rate / 16));
        RtAudio::StreamParameters parameters{device, channels, 0};
        RtAudio::StreamOptions options = ask.options();
        unsigned frames = period;
        rt_.openStream(&parameters, nullptr, RTAUDIO_FLOAT32, unsigned(rate), &frames, &TonePlayer::callback,
                       this, &options);
        timing_.emplace(rate, frames);
    }
    void start() { rt_.startStream(); }
    void stop() { close(rt_); }

    // By burst, the host time its first frame was handed over.
    std::vector<double> sent() const {
        std::vector<double> at;
        const auto burst = std::int64_t(kBurstSeconds * rate_);
        for (std::int64_t first = toneStart_; first < toneStart_ + toneLength_; first += burst)
            at.push_back(handed_.seconds(first, rate_));
        return at;
    }
    bool finished() const { return played_.load(std::memory_order_acquire) > toneStart_ + toneLength_; }
    std::uint64_t underruns() const { return underruns_.load(); }

private:
    static int callback(void* out, void*, unsigned frames, double, RtAudioStreamStatus status, void* user) {
        auto* self = static_cast<TonePlayer*>(user);
        const std::uint64_t now = platform::HostClock::system().now();
        if (self->timing_->callback(now, frames, status & RTAUDIO_OUTPUT_UNDERFLOW))
            self->underruns_.fetch_add(1, std::memory_order_relaxed);
        const std::int64_t played = self->played_.load(std::memory_order_relaxed);
        self->handed_.add(played, now);
        auto* samples = static_cast<float*>(out);
        for (unsigned i = 0; i < frames; ++i) {
            const float v = tone(played + i, self->toneStart_, self->toneLength_, self->rate_);
            for (unsigned c = 0; c < self->channels_; ++c)
                samples[i * self->channels_ + c] = v;
        }
        self->played_.store(played + frames, std::memory_order_release);
        return 0;
    }

    RtAudio rt_;
    double rate_ = 0;
    unsigned channels_ = 2;
    std::int64_t toneStart_ = 0, toneLength_ = 0;
    std::atomic<std::int64_t> played_{0};
    Stamps handed_;
    std::optional<platform::AudioCallbackTiming> timing_;
    std::atomic<std::uint64_t> underruns_{0};
};

// Records a device's first channel, stamping each block as it gets it.
class Recorder {
public:
    explicit Recorder(RtAudio::Api api) : rt_(api) { rt_.showWarnings(false); }
    ~Recorder() { close(rt_); }
    RtAudio& rt() { return rt_; }

    // Throws RtAudioError.
    void open(unsigned device, unsigned channels, double rate, unsigned period, const StreamAsk& ask,
              double seconds) {
        channels_ = channels;
        recording.samples.assign(std::size_t((seconds + 30) * rate), 0.0f);
        received.at.resize(std::size_t((seconds + 30) * rate / 16));
        RtAudio::StreamParameters parameters{device, channels, 0};
        RtAudio::StreamOptions options = ask.options();
        unsigned frames = period;
        rt_.openStream(nullptr, &parameters, RTAUDIO_FLOAT32, unsigned(rate), &frames, &Recorder::callback,
                       this, &options);
    }
    void start() { rt_.startStream(); }
    void stop() { close(rt_); }

    Recording recording;
    Stamps received;

private:
    static int callback(void*, void* in, unsigned frames, double, RtAudioStreamStatus, void* user) {
        auto* self = static_cast<Recorder*>(user);
        self->received.add(std::int64_t(self->recording.count.load(std::memory_order_relaxed)),
                           platform::HostClock::system().now());
        self->recording.append(static_cast<const float*>(in), frames, self->channels_);
        return 0;
    }

    RtAudio rt_;
    unsigned channels_ = 1;
};

// The plain program: plays its input to its output. One duplex stream when asked for and both are
// one device (the input handed straight to the output), else an output and an input stream, opened
// and started back to back as the engine opens its own, with a PassthroughRing between them. Its
// output underruns counted as the engine counts its own (the stream's flag or its callbacks' timing).
class PassthroughPeer {
public:
    static constexpr unsigned kChannels = 2;

    explicit PassthroughPeer(RtAudio::Api api) : out_(api), in_(api) {
        out_.showWarnings(false);
        in_.showWarnings(false);
    }
    ~PassthroughPeer() { stop(); }
    RtAudio& rt() { return out_; }

    // Throws RtAudioError.
    void open(unsigned output, unsigned input, unsigned inputChannels, double rate, unsigned period,
              const StreamAsk& ask, bool oneStream = false) {
        inputChannels_ = inputChannels;
        ring_ = std::make_unique<PassthroughRing>(std::size_t(rate), kChannels);
        RtAudio::StreamParameters outParameters{output, kChannels, 0}, inParameters{input, inputChannels, 0};
        RtAudio::StreamOptions options = ask.options();
        unsigned frames = period;
        duplex_ = oneStream && output == input;
        out_.openStream(&outParameters, duplex_ ? &inParameters : nullptr, RTAUDIO_FLOAT32, unsigned(rate),
                        &frames, &PassthroughPeer::callback, this, &options);
        period_ = frames;
        timing_.emplace(rate, frames);
        if (!duplex_) {
            RtAudio::StreamOptions inOptions = ask.options();
            unsigned inFrames = period;
            in_.openStream(nullptr, &inParameters, RTAUDIO_FLOAT32, unsigned(rate), &inFrames,
                           &PassthroughPeer::callback, this, &inOptions);
        }
    }
    void start() {
        if (!duplex_) in_.startStream();
        out_.startStream();
    }
    void stop() {
        close(out_);
        close(in_);
    }

    unsigned period() const { return period_; }
    std::uint64_t underruns() const { return underruns_.load(); }
    const PassthroughRing* ring() const { return duplex_ ? nullptr : ring_.get(); }

private:
    static int callback(void* out, void* in, unsigned frames, double, RtAudioStreamStatus status,
                        void* user) {
        auto* self = static_cast<PassthroughPeer*>(user);
        if (out && self->timing_->callback(platform::HostClock::system().now(), frames,
                                           status & RTAUDIO_OUTPUT_UNDERFLOW))
            self->underruns_.fetch_add(1, std::memory_order_relaxed);
        auto* o = static_cast<float*>(out);
        const auto* i = static_cast<const float*>(in);
        if (out && in) {
            for (unsigned f = 0; f < frames; ++f)
                for (unsigned c = 0; c < kChannels; ++c)
                    o[f * kChannels + c] =
                        i[f * self->inputChannels_ + std::min(c, self->inputChannels_ - 1)];
        } else if (in) {
            self->ring_->push(i, frames, self->inputChannels_);
        } else if (out) {
            self->ring_->pull(o, frames);
        }
        return 0;
    }

    RtAudio out_, in_;
    bool duplex_ = false;
    unsigned inputChannels_ = 2, period_ = 0;
    std::unique_ptr<PassthroughRing> ring_;
    std::optional<platform::AudioCallbackTiming> timing_;
    std::atomic<std::uint64_t> underruns_{0};
};

// Gives this process's threads called `name` round-robin real-time scheduling at `priority`, as far
// as the system grants it; returns how many it raised. The PulseAudio client library moves each
// stream's data on a thread of its own ("threaded-ml"), which RtAudio's real-time flag leaves alone.
inline int raiseThreads(const std::string& name, int priority) {
    int raised = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName != name) continue;
        sched_param param{};
        param.sched_priority = priority;
        if (sched_setscheduler(pid_t(std::stol(task.path().filename().string())), SCHED_RR, &param) == 0)
            ++raised;
    }
    return raised;
}

// Ends the process, after `onTimeout`, unless it is destroyed within `limit`: a stream that never
// stops must not hold the benchmarks for ever.
class Watchdog {
public:
    Watchdog(std::chrono::milliseconds limit, std::string what, std::function<void()> onTimeout)
        : thread_([this, limit, what = std::move(what), onTimeout = std::move(onTimeout)] {
              std::unique_lock lock(mutex_);
              if (done_.wait_for(lock, limit, [this] { return finished_; })) return;
              std::fprintf(stderr, "soak: %s took more than %lld ms; giving up\n", what.c_str(),
                           static_cast<long long>(limit.count()));
              onTimeout();
              std::_Exit(2);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

// The host's load over the last minute; 0 where it cannot be read.
inline double hostLoad() {
    double load = 0;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = 0;
        std::fclose(f);
    }
    return load;
}

// Busy processes for the run, or for a stretch from four seconds in (once the tone's start has come
// back), then on until the tone is over and each recording has been quiet for half a second since
// it was last loud, at most 20 s more. Returns the host's load as the busy processes end.
inline double waitForTheTone(double seconds, int busy, std::optional<double> busySeconds,
                             const std::function<bool()>& toneFinished,
                             const std::vector<const Recording*>& recordings, double rate) {
    const auto sleep = [](double s) {
        if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
    };
    const double lead = busySeconds ? std::min(4.0, seconds) : 0.0;
    const double busyFor = std::min(busySeconds.value_or(seconds), seconds - lead);
    sleep(lead);
    double load = 0;
    {
        BusyProcesses processes(busy);
        sleep(busyFor);
        load = hostLoad();
    }
    sleep(seconds - lead - busyFor);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<std::size_t> lastLoud(recordings.size(), 0), scanned(recordings.size(), 0);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bool done = toneFinished();
        for (std::size_t r = 0; r < recordings.size(); ++r) {
            const std::size_t count = recordings[r]->count.load(std::memory_order_acquire);
            for (; scanned[r] < count; ++scanned[r])
                if (std::fabs(recordings[r]->samples[scanned[r]]) > 0.05f) lastLoud[r] = scanned[r];
            done = done && lastLoud[r] > 0 && count - lastLoud[r] > std::size_t(rate / 2);
        }
        if (done) break;
    }
    return load;
}

} // namespace soakbench
