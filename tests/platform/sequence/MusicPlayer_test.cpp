#include "platform/sequence/MusicSequenceServices.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

struct Sent {
    MusicTimeStamp beats;
    MIDITimeStamp hostTime;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Sent&) const = default;
};

class MusicPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        NewMusicSequence(&sequence);
        MusicSequenceNewTrack(sequence, &track);
        MusicTrackSetDestMIDIReceiver(track, [this](const MusicTrackOutput& out) {
            std::lock_guard lock(mutex);
            sent.push_back({out.beats, out.hostTime, {out.bytes.begin(), out.bytes.end()}});
        });
        MusicPlayerConfiguration configuration;
        configuration.clock = &clock;
        configuration.runsThread = false;
        NewMusicPlayerWithConfiguration(configuration, &player);
        MusicPlayerSetSequence(player, sequence);
    }
    void TearDown() override {
        DisposeMusicPlayer(player);
        DisposeMusicSequence(sequence);
    }
    // 120 BPM: half a second per beat.
    void renderTo(double seconds) {
        clock.set(start + static_cast<std::uint64_t>(seconds * 1e9));
        MusicPlayerRenderUntil(player, clock.now());
    }
    void note(double at, std::uint8_t key, float duration) {
        const MIDINoteMessage n{1, key, 100, 0, duration};
        MusicTrackNewMIDINoteEvent(track, at, &n);
    }
    std::vector<std::vector<std::uint8_t>> bytes() {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& s : sent)
            out.push_back(s.bytes);
        return out;
    }

    const std::uint64_t start = 1'000'000'000;
    platform::ManualClock clock{start};
    MusicSequence sequence{};
    MusicTrack track{};
    MusicPlayer player{};
    std::mutex mutex;
    std::vector<Sent> sent;
};

} // namespace

TEST_F(MusicPlayerTest, SendsEachMessageOnceAtItsHostTime) {
    note(0, 60, 1);
    note(1, 62, 0.25f);
    const MIDIChannelMessage program{0xC1, 5, 0, 0};
    MusicTrackNewMIDIChannelEvent(track, 1.5, &program);
    ASSERT_EQ(MusicPlayerStart(player), noErr);
    renderTo(0.25);
    EXPECT_EQ(bytes(), (std::vector<std::vector<std::uint8_t>>{{0x91, 60, 100}}));
    EXPECT_EQ(sent[0].hostTime, start);
    renderTo(0.25); // the clock did not move
    EXPECT_EQ(sent.size(), 1u);
    renderTo(1.0);
    EXPECT_EQ(bytes(), (std::vector<std::vector<std::uint8_t>>{
                           {0x91, 60, 100}, {0x81, 60, 0}, {0x91, 62, 100}, {0x81, 62, 0}, {0xC1, 5}}));
    EXPECT_EQ(sent[1].hostTime, start + 500'000'000); // the off comes before the next on at beat 1
    EXPECT_EQ(sent[3].hostTime, start + 625'000'000);
    MusicTimeStamp now = 0;
    MusicPlayerGetTime(player, &now);
    EXPECT_EQ(now, 2.0);
}

TEST_F(MusicPlayerTest, StopReleasesSoundingNotesAndKeepsThePosition) {
    note(0, 60, 4);
    MusicPlayerStart(player);
    renderTo(0.5);
    MusicPlayerStop(player);
    EXPECT_EQ(bytes(), (std::vector<std::vector<std::uint8_t>>{{0x91, 60, 100}, {0x81, 60, 0}}));
    bool playing = true;
    MusicPlayerIsPlaying(player, &playing);
    EXPECT_FALSE(playing);
    MusicTimeStamp now = 0;
    MusicPlayerGetTime(player, &now);
    EXPECT_EQ(now, 1.0);
    MIDITimeStamp host = 0;
    EXPECT_EQ(MusicPlayerGetHostTimeForBeats(player, 1, &host), kAudioToolboxErr_InvalidPlayerState);
}

TEST_F(MusicPlayerTest, LoopsRepeatTheLoopRangeForEverOrCounted) {
    note(0, 60, 0.5f);
    note(1, 61, 0.5f);
    MusicTrackLoopInfo loop{2, 0};
    MusicTrackSetProperty(track, kSequenceTrackProperty_LoopInfo, &loop, sizeof loop);
    MusicPlayerStart(player);
    renderTo(2.9); // beats 0 ... 5.8: passes at 0, 2 and 4
    std::vector<std::uint8_t> ons;
    for (const auto& s : sent)
        if (s.bytes[0] == 0x91) ons.push_back(s.bytes[1]);
    EXPECT_EQ(ons, (std::vector<std::uint8_t>{60, 61, 60, 61, 60, 61}));
    EXPECT_EQ(sent[4].beats, 2.0);
}

TEST_F(MusicPlayerTest, HostTimeAndBeatsFollowTheTempoAndRate) {
    MusicTrack tempo;
    MusicSequenceGetTempoTrack(sequence, &tempo);
    MusicTrackNewExtendedTempoEvent(tempo, 0, 60);
    MusicPlayerSetTime(player, 2);
    MusicPlayerStart(player);
    MIDITimeStamp host = 0;
    ASSERT_EQ(MusicPlayerGetHostTimeForBeats(player, 3, &host), noErr);
    EXPECT_EQ(host, start + 1'000'000'000);
    MusicPlayerSetPlayRateScalar(player, 2);
    MusicTimeStamp beats = 0;
    MusicPlayerGetBeatsForHostTime(player, start + 1'000'000'000, &beats);
    EXPECT_EQ(beats, 4.0);
    EXPECT_EQ(MusicPlayerSetPlayRateScalar(player, 0), kAudio_ParamError);
}

TEST(MusicPlayerThreadTest, TheThreadPlaysOnTheClockAndStopsWhenAsked) {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper(clock); // every wait moves the clock on
    MusicPlayerConfiguration configuration{&clock, &sleeper, true, std::chrono::milliseconds(100)};
    MusicSequence sequence;
    NewMusicSequence(&sequence);
    MusicTrack track;
    MusicSequenceNewTrack(sequence, &track);
    const MIDINoteMessage n{0, 60, 100, 0, 0.5f};
    MusicTrackNewMIDINoteEvent(track, 1, &n);
    std::mutex mutex;
    std::condition_variable arrived;
    int count = 0;
    MusicTrackSetDestMIDIReceiver(track, [&](const MusicTrackOutput&) {
        std::lock_guard lock(mutex);
        ++count;
        arrived.notify_all();
    });
    MusicPlayer player;
    NewMusicPlayerWithConfiguration(configuration, &player);
    MusicPlayerSetSequence(player, sequence);
    MusicPlayerStart(player);
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, testwait::kDeadline, [&] { return count >= 2; }));
    }
    EXPECT_EQ(MusicPlayerStop(player), noErr);
    EXPECT_EQ(DisposeMusicPlayer(player), noErr);
    DisposeMusicSequence(sequence);
}
