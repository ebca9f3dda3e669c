#pragma once
// Shared by the listener tests: observers that record what they hear, a main queue driven by a
// manual clock, and the content of captured log lines.
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "sonabel/midi/listeners/MIDIBeatObserver.h"
#include "sonabel/midi/listeners/MIDISystemRealTimeListener.h"
#include "sonabel/midi/listeners/MIDISystemRealTimeObserver.h"
#include "sonabel/midi/listeners/MIDITempoObserver.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace listenertest {

// Every call as one text, e.g. "start playing", "quantum 1 0 7", "tempo 100.06".
class Recorder {
public:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

inline std::string stateName(sonabel::MIDISystemRealTimeListener::SRTState state) {
    using S = sonabel::MIDISystemRealTimeListener::SRTState;
    return state == S::playing ? "playing" : state == S::paused ? "paused" : "stopped";
}

class TransportRecorder : public sonabel::MIDISystemRealTimeObserver, public Recorder {
public:
    void startSRT(const sonabel::MIDISystemRealTimeListener& l) override {
        record("start " + stateName(l.state()));
    }
    void stopSRT(const sonabel::MIDISystemRealTimeListener& l) override {
        record("stop " + stateName(l.state()));
    }
    void continueSRT(const sonabel::MIDISystemRealTimeListener& l) override {
        record("continue " + stateName(l.state()));
    }
};

// Quantum calls are left out unless asked for: a bar has 96 of them.
class BeatRecorder : public sonabel::MIDIBeatObserver, public Recorder {
public:
    explicit BeatRecorder(bool quanta = false) : quanta_(quanta) {}
    void srtWillStart(bool c) override { record(std::string("willStart ") + (c ? "continue" : "start")); }
    void firstBeatReceived(bool c) override {
        record(std::string("firstBeat ") + (c ? "continue" : "start"));
    }
    void srtDidStop() override { record("didStop"); }
    void songPositionBeatReceived(std::uint64_t beat) override { record("spp " + std::to_string(beat)); }
    void quantumReceived(MIDITimeStamp time, std::uint8_t quarter, std::uint64_t spp,
                         std::uint64_t quantum) override {
        ++quantumCount;
        lastQuantum = {time, quarter, spp, quantum};
        if (quanta_)
            record("quantum " + std::to_string(time) + " " + std::to_string(quarter) + " " +
                   std::to_string(spp) + " " + std::to_string(quantum));
    }
    void quarterNoteReceived(std::uint8_t quarter) override { record("quarter " + std::to_string(quarter)); }

    struct Quantum {
        MIDITimeStamp time = 0;
        std::uint8_t quarter = 0;
        std::uint64_t spp = 0;
        std::uint64_t quantum = 0;
        bool operator==(const Quantum&) const = default;
    };
    int quantumCount = 0;
    Quantum lastQuantum;

private:
    bool quanta_;
};

class TempoRecorder : public sonabel::MIDITempoObserver, public Recorder {
public:
    void incomingClockStarted() override { record("clockStarted"); }
    void midiClockLeaderEnabled() override { record("leader"); }
    void receivedTempo(double, const std::string& label) override { record("tempo " + label); }
};

// A main queue of the test's own, run by hand on a manual clock.
struct ManualMainQueue {
    platform::ManualClock clock;
    platform::MainQueue queue{clock};
    platform::TestMainQueueDriver driver{queue, clock};
};

// The content of each captured line: "file:function:line:content (where)" -> content.
inline std::vector<std::string> contents(const platform::ScopedLogCapture& capture) {
    std::vector<std::string> out;
    for (const auto& entry : capture.entries()) {
        auto text = entry.text;
        std::size_t at = 0;
        int colons = 0, depth = 0;
        for (; at < text.size() && colons < 3; ++at) {
            if (text[at] == '(') ++depth;
            if (text[at] == ')') --depth;
            if (text[at] == ':' && depth == 0) ++colons;
        }
        text = text.substr(at);
        out.push_back(text.substr(0, text.rfind(" (")));
    }
    return out;
}

} // namespace listenertest
