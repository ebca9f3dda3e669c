#pragma once
// The programs around the engine in the JACK soak, each a plain libjack client of its own: the
// tone's player, recorders, and the passthrough program that is the engine's peer. Their callbacks
// run in the server's real-time thread, as the engine's does.
#include "bench/Soak.h"
#include "platform/audio/devices/AudioCallbackTiming.h"
#include "platform/audio/devices/JackLibrary.h"
#include "platform/core/HostClock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace soakbench {

// A client with audio ports, active until it goes; callbacks come through process(). Each program
// stops in its own destructor, before its members go.
class JackProgram {
public:
    JackProgram(const JackProgram&) = delete;
    JackProgram& operator=(const JackProgram&) = delete;
    virtual ~JackProgram() { stop(); }

    // Ends the client; no callback runs after it.
    void stop() {
        if (!client_) return;
        jack_.deactivate(client_);
        jack_.client_close(client_);
        client_ = nullptr;
    }
    std::uint32_t quantum() const { return client_ ? jack_.get_buffer_size(client_) : 0; }
    double rate() const { return rate_; }

protected:
    // Throws std::runtime_error.
    JackProgram(const platform::JackLibrary& jack, const std::string& name) : jack_(jack) {
        client_ = jack_.client_open(name.c_str(), JackNoStartServer, nullptr);
        if (!client_) throw std::runtime_error("no JACK client " + name);
        rate_ = jack_.get_sample_rate(client_);
        jack_.set_process_callback(
            client_,
            [](jack_nframes_t frames, void* self) {
                return static_cast<JackProgram*>(self)->process(frames);
            },
            this);
    }
    jack_port_t* port(const std::string& name, unsigned long flags) {
        jack_port_t* p = jack_.port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
        if (!p) throw std::runtime_error("no JACK port " + name);
        return p;
    }
    // Asks for `quantum` (0 asks nothing), activates, and connects each pair by name.
    void activate(std::uint32_t quantum,
                  const std::vector<std::pair<std::string, std::string>>& connections) {
        if (quantum && jack_.get_buffer_size(client_) != quantum) jack_.set_buffer_size(client_, quantum);
        if (jack_.activate(client_) != 0) throw std::runtime_error("a JACK client did not activate");
        for (const auto& [from, to] : connections)
            if (jack_.connect(client_, from.c_str(), to.c_str()) != 0)
                throw std::runtime_error("JACK did not connect " + from + " to " + to);
    }
    std::string name(jack_port_t* p) const { return jack_.port_name(p); }
    virtual int process(jack_nframes_t frames) = 0;

    const platform::JackLibrary& jack_;
    jack_client_t* client_ = nullptr;
    double rate_ = 0;
};

// Plays the tone to a sink's two playback ports, stamping each block as it hands it over; its
// underruns counted as the engine counts its own.
class JackTonePlayer final : public JackProgram {
public:
    JackTonePlayer(const platform::JackLibrary& jack, const std::string& sink, double seconds,
                   std::uint32_t quantum)
        : JackProgram(jack, "tone player") {
        toneStart_ = std::int64_t(0.5 * rate_);
        toneLength_ = std::int64_t(std::floor(seconds / kBurstSeconds) * kBurstSeconds * rate_);
        handed_.at.resize(std::size_t((seconds + 30) * rate_ / 16));
        out_ = port("out", JackPortIsOutput);
        activate(quantum, {{name(out_), sink + ":playback_FL"}, {name(out_), sink + ":playback_FR"}});
    }
    ~JackTonePlayer() override { stop(); }
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
    int process(jack_nframes_t frames) override {
        const std::uint64_t now = platform::HostClock::system().now();
        if (!timing_ || period_ != frames) timing_.emplace(rate_, period_ = frames);
        if (timing_->callback(now, frames, false)) underruns_.fetch_add(1, std::memory_order_relaxed);
        const std::int64_t played = played_.load(std::memory_order_relaxed);
        handed_.add(played, now);
        auto* out = static_cast<float*>(jack_.port_get_buffer(out_, frames));
        for (jack_nframes_t i = 0; i < frames; ++i)
            out[i] = tone(played + i, toneStart_, toneLength_, rate_);
        played_.store(played + frames, std::memory_order_release);
        return 0;
    }

    jack_port_t* out_ = nullptr;
    std::int64_t toneStart_ = 0, toneLength_ = 0;
    std::atomic<std::int64_t> played_{0};
    Stamps handed_;
    std::optional<platform::AudioCallbackTiming> timing_;
    jack_nframes_t period_ = 0;
    std::atomic<std::uint64_t> underruns_{0};
};

// Records a port (a sink's monitor), stamping each block as it gets it.
class JackRecorder final : public JackProgram {
public:
    JackRecorder(const platform::JackLibrary& jack, const std::string& client, const std::string& source,
                 double seconds)
        : JackProgram(jack, client) {
        recording.samples.assign(std::size_t((seconds + 30) * rate_), 0.0f);
        received.at.resize(std::size_t((seconds + 30) * rate_ / 16));
        in_ = port("in", JackPortIsInput);
        activate(0, {{source, name(in_)}});
    }
    ~JackRecorder() override { stop(); }
    Recording recording;
    Stamps received;

private:
    int process(jack_nframes_t frames) override {
        received.add(std::int64_t(recording.count.load(std::memory_order_relaxed)),
                     platform::HostClock::system().now());
        recording.append(static_cast<const float*>(jack_.port_get_buffer(in_, frames)), frames, 1);
        return 0;
    }
    jack_port_t* in_ = nullptr;
};

// The plain program: each cycle it plays what its input got in the same cycle, two channels, from
// one sink's monitor to another sink; it asks for the same quantum as the engine. Its output
// underruns counted as the engine counts its own.
class JackPassthrough final : public JackProgram {
public:
    JackPassthrough(const platform::JackLibrary& jack, const std::string& from, const std::string& to,
                    std::uint32_t quantum)
        : JackProgram(jack, "peer") {
        const char* channels[] = {"FL", "FR"};
        std::vector<std::pair<std::string, std::string>> connections;
        for (int c = 0; c < 2; ++c) {
            in_[c] = port(std::string("in_") + channels[c], JackPortIsInput);
            out_[c] = port(std::string("out_") + channels[c], JackPortIsOutput);
            connections.push_back({from + ":monitor_" + channels[c], name(in_[c])});
            connections.push_back({name(out_[c]), to + ":playback_" + channels[c]});
        }
        activate(quantum, connections);
    }
    ~JackPassthrough() override { stop(); }
    std::uint64_t underruns() const { return underruns_.load(); }

private:
    int process(jack_nframes_t frames) override {
        if (!timing_ || period_ != frames) timing_.emplace(rate_, period_ = frames);
        if (timing_->callback(platform::HostClock::system().now(), frames, false))
            underruns_.fetch_add(1, std::memory_order_relaxed);
        for (int c = 0; c < 2; ++c)
            std::copy_n(static_cast<const float*>(jack_.port_get_buffer(in_[c], frames)), frames,
                        static_cast<float*>(jack_.port_get_buffer(out_[c], frames)));
        return 0;
    }
    jack_port_t* in_[2] = {};
    jack_port_t* out_[2] = {};
    std::optional<platform::AudioCallbackTiming> timing_;
    jack_nframes_t period_ = 0;
    std::atomic<std::uint64_t> underruns_{0};
};

} // namespace soakbench
