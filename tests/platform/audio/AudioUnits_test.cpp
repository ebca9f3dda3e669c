#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/audio/AudioUnitEffect.h"
#include "platform/audio/AudioUnitSampler.h"
#include "platform/audio/dsp/FFT.h"
#include "platform/audio/dsp/VectorOps.h"
#include "platform/core/LogSink.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <thread>
#include <unistd.h>

using namespace platform;
using Type = AudioPlayerNode::CompletionCallbackType;

namespace {

AudioFormat stereo() {
    return *AudioFormat::standard(44100, 2);
}

struct Offline {
    std::shared_ptr<AudioEngine> engine = AudioEngine::make();
    std::shared_ptr<PCMBuffer> buffer = PCMBuffer::make(stereo(), 512);
    explicit Offline(AudioEngine::ManualRenderingMode mode = AudioEngine::ManualRenderingMode::offline) {
        engine->enableManualRenderingMode(mode, stereo(), 512);
    }
    void add(const std::shared_ptr<AudioNode>& node, AudioFormat format = stereo()) {
        engine->attach(node);
        engine->connect(node, engine->mainMixerNode(), format);
    }
    void render(std::uint32_t frames) {
        if (!engine->isRunning()) engine->start();
        ASSERT_EQ(engine->renderOffline(frames, *buffer), AudioEngine::ManualRenderingStatus::success);
    }
    float at(std::uint32_t c, std::uint32_t i) const { return buffer->floatChannelData()[c][i]; }
};

std::shared_ptr<PCMBuffer> counting(std::uint32_t frames, std::uint32_t channels = 2) {
    auto b = PCMBuffer::make(*AudioFormat::standard(44100, channels), frames);
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i)
            b->floatChannelData()[c][i] = float(i + 1) * (c ? -1.0f : 1.0f);
    b->setFrameLength(frames);
    return b;
}

class Gain : public AudioUnitEffect {
public:
    static std::shared_ptr<Gain> make() {
        std::shared_ptr<Gain> g(new Gain());
        g->auAudioUnit()->setParameterTree(AUParameterTree::createTree(
            {AUParameterTree::createParameter("gain", "Gain", 7, 0, 1, 0, std::nullopt, 0xC2000000)}));
        return g;
    }

protected:
    Gain()
        : AudioUnitEffect({kAudioUnitType_Effect, AudioComponentDescription::code("gain"), 0, 0, 0}, "Gain") {
    }
    void process(const float* const* in, float* const* out, std::uint32_t channels,
                 std::uint32_t frames) override {
        const float g = renderValue(7);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < frames; ++i)
                out[c][i] = in[c][i] * g;
    }
};

std::shared_ptr<AudioSourceNode> ones() {
    return AudioSourceNode::make(
        [](bool&, const AudioTime&, std::uint32_t frames, float* const* out, std::uint32_t ch) {
            for (std::uint32_t c = 0; c < ch; ++c)
                std::fill(out[c], out[c] + frames, 1.0f);
            return noErr;
        });
}

} // namespace

TEST(AudioPlayerNode, PlaysAKnownBufferAndCompletesAfterItsLastCycle) {
    Offline o;
    auto player = AudioPlayerNode::make();
    o.add(player);
    std::vector<Type> done;
    ASSERT_TRUE(player->scheduleBuffer(counting(300), std::nullopt, 0, Type::dataRendered,
                                       [&](Type t) { done.push_back(t); }));
    player->play();
    EXPECT_TRUE(player->isPlaying());
    o.render(256);
    EXPECT_EQ(o.at(0, 0), 1.0f);
    EXPECT_EQ(o.at(1, 255), -256.0f);
    EXPECT_TRUE(done.empty());
    o.render(256);
    EXPECT_EQ(o.at(0, 43), 300.0f);
    EXPECT_EQ(o.at(0, 44), 0.0f);
    EXPECT_EQ(done, std::vector<Type>{Type::dataRendered});
    auto playerTime = player->playerTime(AudioTime::withSampleTime(512, 44100));
    ASSERT_TRUE(playerTime);
    EXPECT_EQ(playerTime->sampleTime(), 512);
}

TEST(AudioPlayerNode, SchedulesAtTimesLoopsAndInterrupts) {
    Offline o;
    auto player = AudioPlayerNode::make();
    o.add(player);
    // A mono buffer fills both channels; the second buffer waits for player time 10.
    player->scheduleBuffer(counting(4, 1));
    player->scheduleBuffer(counting(2), AudioTime::withSampleTime(10, 44100));
    player->play();
    o.render(16);
    EXPECT_EQ(o.at(1, 3), 4.0f);
    EXPECT_EQ(o.at(0, 4), 0.0f);
    EXPECT_EQ(o.at(0, 10), 1.0f);
    EXPECT_EQ(o.at(1, 11), -2.0f);
    EXPECT_EQ(o.at(0, 12), 0.0f);

    int interrupted = 0;
    player->scheduleBuffer(counting(3), std::nullopt, AudioPlayerNode::loops, Type::dataConsumed,
                           [&](Type) { ++interrupted; });
    o.render(8);
    EXPECT_EQ(o.at(0, 6), 1.0f); // 1 2 3 1 2 3 1 2
    EXPECT_EQ(o.at(0, 7), 2.0f);
    player->scheduleBuffer(counting(2), std::nullopt, AudioPlayerNode::interrupts);
    EXPECT_EQ(interrupted, 1); // dropped at once
    o.render(4);
    EXPECT_EQ(o.at(0, 1), 2.0f);
    EXPECT_EQ(o.at(0, 2), 0.0f);

    int stopped = 0;
    player->scheduleBuffer(counting(100), std::nullopt, 0, Type::dataConsumed, [&](Type) { ++stopped; });
    player->stop();
    EXPECT_EQ(stopped, 1);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_FALSE(player->scheduleBuffer(nullptr));
}

TEST(AudioPlayerNode, PlaysFileSegments) {
    const auto path = (std::filesystem::temp_directory_path() / "sonabel-player-segment.wav").string();
    AudioFile::forWriting(path, stereo().settings())->write(*counting(1000));
    Offline o;
    auto player = AudioPlayerNode::make();
    o.add(player);
    auto file = AudioFile::forReading(path);
    EXPECT_FALSE(player->scheduleSegment(file, 1001, 10));
    bool finished = false;
    ASSERT_TRUE(player->scheduleSegment(file, 990, 100, std::nullopt, Type::dataPlayedBack,
                                        [&](Type) { finished = true; }));
    player->play();
    o.render(32);
    EXPECT_EQ(o.at(0, 0), 991.0f);
    EXPECT_EQ(o.at(1, 9), -1000.0f);
    EXPECT_EQ(o.at(0, 10), 0.0f);
    EXPECT_TRUE(finished);

    // Longer than what is read ahead at once: offline rendering still gets every frame in its place.
    const std::uint32_t frames = 100000;
    AudioFile::forWriting(path, stereo().settings())->write(*counting(frames));
    Offline offline;
    auto reading = AudioPlayerNode::make();
    offline.add(reading);
    ASSERT_TRUE(reading->scheduleSegment(AudioFile::forReading(path), 0, frames));
    reading->play();
    int wrong = 0;
    for (std::uint32_t at = 0; at + 512 <= frames; at += 512) {
        offline.render(512);
        wrong += offline.at(0, 0) != float(at + 1) || offline.at(1, 511) != -float(at + 512);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(reading->readAheadUnderruns(), 0u);
    std::filesystem::remove(path);
}

namespace {
std::atomic<bool> readerHeld{false};
std::atomic<int> readerPasses{0};
} // namespace

// A reader held back as a slow disk would: while it reads nothing, the player plays silence in place
// of the frames it lacks, skips them when they come late, and what follows keeps its time.
TEST(AudioPlayerNode, PlaysSilenceInPlaceOfFramesItsReaderDidNotDeliver) {
    const auto path = (std::filesystem::temp_directory_path() /
                       ("sonabel-player-stall-" + std::to_string(::getpid()) + ".wav"))
                          .string();
    constexpr std::uint32_t kFileFrames = 50000, kReadAhead = 32768, kStall = 4608, kMarkerAt = 60000;
    AudioFile::forWriting(path, stereo().settings())->write(*counting(kFileFrames));
    readerHeld = true;
    AudioPlayerNode::setReaderPassHookForTesting([] {
        readerPasses.fetch_add(1);
        EXPECT_TRUE(testwait::eventually([] { return !readerHeld.load(); }));
    });
    Offline o(AudioEngine::ManualRenderingMode::realtime);
    auto player = AudioPlayerNode::make();
    o.add(player);
    ASSERT_TRUE(player->scheduleSegment(AudioFile::forReading(path), 0, kFileFrames));
    ASSERT_TRUE(player->scheduleBuffer(counting(16), AudioTime::withSampleTime(kMarkerAt, 44100)));
    player->play();
    int wrong = 0;
    std::optional<std::int64_t> markerHeardAt;
    for (std::uint32_t at = 0; at < kMarkerAt + 2 * kStall; at += 512) {
        if (at == kReadAhead + kStall) {
            // A whole pass of this player's reader; readers of players gone before pass once more.
            const int passes = readerPasses.load();
            readerHeld = false;
            ASSERT_TRUE(testwait::eventually([&] { return readerPasses.load() > passes + 2; }));
        }
        o.render(512);
        for (std::uint32_t i = 0; i < 512; ++i) {
            const std::uint32_t frame = at + i;
            const bool played = frame < kFileFrames && (frame < kReadAhead || frame >= kReadAhead + kStall);
            const bool marker = frame >= kMarkerAt && frame < kMarkerAt + 16;
            wrong += o.at(1, i) != (played   ? -float(frame + 1)
                                    : marker ? -float(frame - kMarkerAt + 1)
                                             : 0.0f);
            if (o.at(0, i) == 1.0f && frame >= kFileFrames) markerHeardAt = frame;
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(player->readAheadUnderruns(), kStall);
    ASSERT_TRUE(markerHeardAt);
    EXPECT_EQ(player->playerTime(AudioTime::withSampleTime(*markerHeardAt, 44100))->sampleTime(), kMarkerAt);
    // The hook goes once the reader, ended with its player, has passed it for the last time.
    const int passes = readerPasses.load();
    o.engine->detach(player);
    player.reset();
    EXPECT_TRUE(testwait::eventually([&] { return readerPasses.load() > passes; }));
    AudioPlayerNode::setReaderPassHookForTesting(nullptr);
    std::filesystem::remove(path);
}

TEST(AUAudioUnit, ParameterCallsClampNothingAndReportStatus) {
    auto gain = Gain::make();
    AudioUnit unit = gain->audioUnit();
    EXPECT_EQ(AudioUnitSetParameter(unit, 7, kAudioUnitScope_Global, 0, 0.5f, 0), noErr);
    float v = 0;
    EXPECT_EQ(AudioUnitGetParameter(unit, 7, kAudioUnitScope_Global, 0, &v), noErr);
    EXPECT_EQ(v, 0.5f);
    EXPECT_EQ(AudioUnitSetParameter(unit, 8, kAudioUnitScope_Global, 0, 0.5f, 0),
              kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(AudioUnitSetParameter(unit, 7, kAudioUnitScope_Input, 0, 0.5f, 0), kAudioUnitErr_InvalidScope);
    EXPECT_EQ(AudioUnitSetParameter(unit, 7, kAudioUnitScope_Global, 1, 0.5f, 0),
              kAudioUnitErr_InvalidElement);
    EXPECT_EQ(AudioUnitSetParameter(nullptr, 7, kAudioUnitScope_Global, 0, 0.5f, 0), kAudio_ParamError);
    // The parameter object is separate from what the unit renders with.
    EXPECT_EQ(gain->auAudioUnit()->parameterTree()->parameterWithAddress(7)->value(), 0.0f);

    std::uint32_t bypass = 1, size = sizeof bypass;
    EXPECT_EQ(
        AudioUnitSetProperty(unit, kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &bypass, size),
        noErr);
    EXPECT_TRUE(gain->auAudioUnit()->shouldBypassEffect());
    std::uint32_t count = 0;
    EXPECT_EQ(
        AudioUnitGetProperty(unit, kAudioUnitProperty_ElementCount, kAudioUnitScope_Input, 0, &count, &size),
        noErr);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(AudioUnitGetProperty(unit, 999, kAudioUnitScope_Global, 0, &count, &size),
              kAudioUnitErr_InvalidProperty);
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &count,
                                   nullptr),
              kAudio_ParamError);
    std::uint16_t tooSmall = 0;
    size = sizeof tooSmall;
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0,
                                   &tooSmall, &size),
              kAudio_ParamError);
    EXPECT_EQ(AudioUnitReset(unit, kAudioUnitScope_Global, 0), noErr);
    EXPECT_FALSE(gain->auAudioUnit()->scheduleMIDIEventBlock()); // an effect takes no MIDI
}

TEST(AUAudioUnit, RampReachesItsTargetAtTheRightFrame) {
    Offline o;
    auto src = ones();
    auto gain = Gain::make();
    o.engine->attach(src);
    o.engine->attach(gain);
    o.engine->connect(src, gain, 0, 0, stereo());
    o.engine->connect(gain, o.engine->mainMixerNode(), stereo());
    gain->auAudioUnit()->setRenderParameterValue(7, 0);
    // Starting 10 frames into the next cycle, 100 frames long, from 0 to 1.
    gain->auAudioUnit()->scheduleParameterBlock()(AUEventSampleTimeImmediate + 10, 100, 7, 1.0f);
    o.render(128);
    EXPECT_EQ(o.at(0, 9), 0.0f);
    EXPECT_EQ(o.at(0, 10), 0.0f);
    EXPECT_FLOAT_EQ(o.at(0, 60), 0.5f);
    EXPECT_FLOAT_EQ(o.at(0, 109), 0.99f);
    EXPECT_EQ(o.at(0, 110), 1.0f);
    EXPECT_EQ(o.at(1, 127), 1.0f);
    // An event at an absolute sample time in a later cycle, without a ramp.
    gain->auAudioUnit()->scheduleParameterBlock()(128 + 200, 0, 7, 0.25f);
    o.render(128);
    EXPECT_EQ(o.at(0, 127), 1.0f);
    o.render(128);
    EXPECT_EQ(o.at(0, 71), 1.0f);
    EXPECT_EQ(o.at(0, 72), 0.25f);
}

TEST(AUParameter, ObserversHearChangesAndBatchesInOrder) {
    auto p = AUParameterTree::createParameter("mix", "Mix", 3, 0, 1, 0, std::nullopt, 0);
    std::vector<float> values;
    std::vector<AUParameterAutomationEvent> automation;
    auto t1 = p->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue v) { values.push_back(v); });
    auto t2 =
        p->tokenByAddingParameterAutomationObserver([&](std::span<const AUParameterAutomationEvent> events) {
            automation.insert(automation.end(), events.begin(), events.end());
        });
    p->setValue(0.5f);
    p->setValue(0.25f, nullptr, 0, AUParameterAutomationEventType::touch);
    EXPECT_EQ(values, std::vector<float>{0.5f});
    ASSERT_EQ(automation.size(), 2u);
    EXPECT_EQ(automation[1].eventType, AUParameterAutomationEventType::touch);
    EXPECT_EQ(p->value(), 0.25f); // a gesture at a value leaves the parameter there
    const AUParameterAutomationEvent batch[2] = {{1, 3, 0.1f}, {2, 3, 0.2f}};
    p->notifyAutomationObservers(batch);
    ASSERT_EQ(automation.size(), 4u);
    EXPECT_EQ(automation[3].value, 0.2f);
    p->removeParameterObserver(t1);
    p->removeParameterObserver(t2);
    p->setValue(1);
    EXPECT_EQ(values.size(), 1u);
    EXPECT_EQ(automation.size(), 4u);
}

TEST(AudioUnitSampler, PlaysNotesAudiblyAndKeepsTheMIDIItGets) {
    Offline o;
    auto sampler = AudioUnitSampler::make();
    o.add(sampler);
    ASSERT_TRUE(sampler->auAudioUnit()->scheduleMIDIEventBlock());
    sampler->startNote(69, 127, 0);
    o.render(512);
    EXPECT_GT(dsp::maximumMagnitude(o.buffer->floatChannelData()[0], 1, 512), 0.3f);
    const std::uint8_t off[3] = {0x80, 69, 0};
    (*sampler->auAudioUnit()->scheduleMIDIEventBlock())(AUEventSampleTimeImmediate + 100, 0, 3, off);
    o.render(512);
    EXPECT_EQ(o.at(0, 511), 0.0f);
    EXPECT_EQ(sampler->activeVoiceCount(), 0u);
    auto midi = sampler->receivedMIDI();
    ASSERT_EQ(midi.size(), 2u);
    EXPECT_EQ(midi[0], (AudioUnitSampler::ReceivedMIDI{0, 0, {0x90, 69, 127}}));
    EXPECT_EQ(midi[1].sampleTime, 612);
}

TEST(AUAudioUnit, BurstsOfMIDIAreDeliveredWholeAndInOrder) {
    auto unit = AUAudioUnit::make({kAudioUnitType_MusicDevice, 0, 0, 0, 0}, 0, 1);
    std::vector<std::vector<std::uint8_t>> got;
    got.reserve(512);
    unit->setMIDIHandler([&](AUEventSampleTime time, std::uint8_t, const std::vector<std::uint8_t>& bytes) {
        EXPECT_EQ(time, 1000 + 7);
        got.push_back(bytes);
    });
    auto block = *unit->scheduleMIDIEventBlock();
    for (const int burst : {65, 100, 200}) {
        got.clear();
        for (int i = 0; i < burst; ++i) {
            const std::uint8_t bytes[3] = {0xB0, std::uint8_t(i & 0x7F), std::uint8_t(i >> 7)};
            block(AUEventSampleTimeImmediate + 7, 0, 3, bytes);
        }
        unit->beginRender(1000);
        unit->applyEventsDue(1006);
        EXPECT_TRUE(got.empty());
        unit->applyEventsDue(1007);
        ASSERT_EQ(got.size(), std::size_t(burst));
        for (int i = 0; i < burst; ++i)
            EXPECT_EQ(got[i],
                      (std::vector<std::uint8_t>{0xB0, std::uint8_t(i & 0x7F), std::uint8_t(i >> 7)}));
    }
}

// A unit rendered on a thread of its own, cycle after cycle, counting the notes it plays.
struct RacingRender {
    std::shared_ptr<AUAudioUnit> unit = AUAudioUnit::make({kAudioUnitType_MusicDevice, 0, 0, 0, 0}, 0, 1);
    std::atomic<int> lastNote{-1};
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<bool> ending{false};
    std::thread thread;
    RacingRender() {
        unit->setMIDIHandler([this](AUEventSampleTime, std::uint8_t, const std::vector<std::uint8_t>& b) {
            if (b[0] == 0x90) lastNote.store(b[1] | b[2] << 7);
        });
        thread = std::thread([this] {
            for (std::int64_t t = 0; !ending.load(); t += 512) {
                unit->beginRender(t);
                unit->applyEventsDue(t + 511);
                cycles.fetch_add(1);
            }
        });
    }
    ~RacingRender() {
        ending.store(true);
        thread.join();
    }
    void send(AUEventSampleTime time, std::uint8_t status, int value) {
        const std::uint8_t bytes[3] = {status, std::uint8_t(value & 0x7F), std::uint8_t((value >> 7) & 0x7F)};
        (*unit->scheduleMIDIEventBlock())(time, 0, 3, bytes);
    }
    // True once two whole cycles began after the call: what was sent before it has been taken.
    bool settle() {
        const std::uint64_t from = cycles.load();
        const auto until = std::chrono::steady_clock::now() + testwait::kDeadline;
        while (cycles.load() < from + 2) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::yield();
        }
        return true;
    }
};

TEST(AUAudioUnit, NoteScheduledRightAfterResetPlays) {
    RacingRender r;
    int lost = 0;
    for (int i = 0; i < 300; ++i) {
        r.unit->reset();
        r.send(AUEventSampleTimeImmediate, 0x90, i & 0x3FFF);
        ASSERT_TRUE(r.settle());
        if (r.lastNote.load() != (i & 0x3FFF)) ++lost;
    }
    EXPECT_EQ(lost, 0);
    // A long backlog makes the reset slow to take effect; a second reset and a note land meanwhile.
    ScopedLogCapture quiet; // more than rendering takes at once
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 5000; ++i)
            r.send(std::int64_t{1} << 40, 0xB0, i);
        ASSERT_TRUE(r.settle());
        r.unit->reset();
        r.unit->reset();
        r.send(AUEventSampleTimeImmediate, 0x90, round);
        ASSERT_TRUE(r.settle());
        EXPECT_EQ(r.lastNote.load(), round) << "round " << round;
    }
    // Events scheduled before a reset are dropped, taken by rendering or not.
    auto unit = AUAudioUnit::make({kAudioUnitType_MusicDevice, 0, 0, 0, 0}, 0, 1);
    int played = 0;
    unit->setMIDIHandler(
        [&](AUEventSampleTime, std::uint8_t, const std::vector<std::uint8_t>&) { ++played; });
    const std::uint8_t note[3] = {0x90, 60, 100};
    (*unit->scheduleMIDIEventBlock())(AUEventSampleTimeImmediate + 600, 0, 3, note);
    unit->beginRender(0);
    (*unit->scheduleMIDIEventBlock())(AUEventSampleTimeImmediate + 600, 0, 3, note);
    unit->reset();
    unit->beginRender(512);
    unit->applyEventsDue(100000);
    EXPECT_EQ(played, 0);
}

TEST(AUAudioUnit, MIDISentWhileNothingRendersWaitsBounded) {
    auto unit = AUAudioUnit::make({kAudioUnitType_MusicDevice, 0, 0, 0, 0}, 0, 1);
    std::vector<int> got;
    unit->setMIDIHandler([&](AUEventSampleTime, std::uint8_t, const std::vector<std::uint8_t>& b) {
        got.push_back(b[1] | b[2] << 7);
    });
    ScopedLogCapture capture;
    auto block = *unit->scheduleMIDIEventBlock();
    const auto sendMany = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::uint8_t bytes[3] = {0xB0, std::uint8_t(i & 0x7F), std::uint8_t(i >> 7)};
            block(AUEventSampleTimeImmediate, 0, 3, bytes);
        }
    };
    sendMany(10000);
    unit->beginRender(0);
    unit->applyEventsDue(0);
    ASSERT_EQ(got.size(), 4096u);
    EXPECT_EQ(got.back(), 4095);
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{
                  "MIDI: 4096 events wait for rendering; more are dropped until it takes them"}));
    // Rendering took them: there is room again, and a reset empties what waits.
    sendMany(4096);
    unit->reset();
    sendMany(3);
    got.clear();
    unit->beginRender(512);
    unit->applyEventsDue(512);
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(AudioUnitSampler, KeepsTheLastMessagesItReceived) {
    auto sampler = AudioUnitSampler::make();
    const std::size_t sent = AudioUnitSampler::kRecordedMessages + 100;
    for (std::size_t i = 0; i < sent; ++i)
        sampler->sendMIDIEvent(0xB0, std::uint8_t(i & 0x7F), std::uint8_t((i >> 7) & 0x7F));
    sampler->auAudioUnit()->beginRender(0);
    sampler->auAudioUnit()->applyEventsDue(0);
    const auto midi = sampler->receivedMIDI();
    ASSERT_EQ(midi.size(), AudioUnitSampler::kRecordedMessages);
    EXPECT_EQ(midi.front().bytes, (std::vector<std::uint8_t>{0xB0, 100, 0}));
    EXPECT_EQ(midi.back().bytes, (std::vector<std::uint8_t>{0xB0, std::uint8_t((sent - 1) & 0x7F),
                                                            std::uint8_t((sent - 1) >> 7)}));
}

TEST(DSP, FFTFindsTheToneAndRoundTrips) {
    std::vector<float> tone(256);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = float(std::sin(2 * std::numbers::pi * 8 * i / 256.0));
    auto bins = dsp::FFT::forward(tone.data(), tone.size());
    ASSERT_EQ(bins.size(), 129u);
    EXPECT_NEAR(std::abs(bins[8]), 128.0f, 1e-3);
    EXPECT_NEAR(std::abs(bins[9]), 0.0f, 1e-3);
    auto back = dsp::FFT::inverse(bins, 256);
    EXPECT_NEAR(back[17], tone[17], 1e-5);
    EXPECT_TRUE(dsp::FFT::forward(tone.data(), 0).empty());
    EXPECT_TRUE(dsp::FFT::inverse(bins, 100).empty());
    EXPECT_NEAR(dsp::rms(tone.data(), 1, tone.size()), std::sqrt(0.5f), 1e-5);
    EXPECT_EQ(dsp::rms(nullptr, 1, 0), 0.0f);
    const float pairs[6] = {1, 3, 5, 7, 9, 11}, half[2] = {0.5f, 0.5f};
    float out[2];
    dsp::decimate(pairs, 2, half, 2, out, 2);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], 6.0f);
}
