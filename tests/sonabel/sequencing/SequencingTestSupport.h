#pragma once
#include "platform/core/LogSink.h"
#include "platform/sequence/MusicSequenceServices.h"
#include "sonabel/internals/settings/Settings.h"
#include "testing/TrackEvents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace sequencingtest {

using sequencetest::Event;
using sequencetest::events;

inline MIDINoteMessage note(const Event& e) {
    MIDINoteMessage n;
    std::memcpy(&n, e.data.data(), sizeof n);
    return n;
}

inline MusicTrackLoopInfo loopInfo(MusicTrack track) {
    MusicTrackLoopInfo info{-1, -1};
    std::uint32_t size = sizeof info;
    MusicTrackGetProperty(track, kSequenceTrackProperty_LoopInfo, &info, &size);
    return info;
}

// Players made during a test run on a manual clock without a thread.
class SequencingTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = MusicPlayerDefaultConfiguration();
        MusicPlayerConfiguration configuration;
        configuration.clock = &clock;
        configuration.runsThread = false;
        MusicPlayerSetDefaultConfiguration(configuration);
        sonabel::Settings::setSampleRate(44100);
    }
    void TearDown() override { MusicPlayerSetDefaultConfiguration(saved); }
    // Log lines without the "deinit:" of released sequencers.
    std::vector<std::string> messages(const platform::ScopedLogCapture& capture) const {
        std::vector<std::string> out;
        for (const auto& line : capture.lines())
            if (line.find(":deinit:") == std::string::npos) out.push_back(line);
        return out;
    }
    static bool contains(const std::vector<std::string>& lines, const std::string& text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

    platform::ManualClock clock{1'000'000'000};
    MusicPlayerConfiguration saved;
};

} // namespace sequencingtest
