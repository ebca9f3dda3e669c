#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/audio/devices/AudioCallbackTiming.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <new>
#include <thread>
#include <vector>

using namespace platform;

TEST(AudioRingBuffer, WrapsMapsAndCountsLosses) {
    AudioRingBuffer ring(2, 4);
    const float first[] = {1, 10, 2, 20, 3, 30};
    EXPECT_EQ(ring.write(first, 3), 3u);
    float a[2][4], b[2][4];
    float* out[] = {a[0], a[1]};
    const std::int32_t swapped[] = {1, 0};
    EXPECT_EQ(ring.read(out, swapped, 2, 2), 2u);
    EXPECT_EQ(std::vector<float>(a[0], a[0] + 2), (std::vector<float>{10, 20}));
    EXPECT_EQ(std::vector<float>(a[1], a[1] + 2), (std::vector<float>{1, 2}));

    const float second[] = {4, 40, 5, 40, 6, 60, 7, 70};
    EXPECT_EQ(ring.write(second, 4), 3u); // one frame left over: an overrun
    EXPECT_EQ(ring.overrunFrames(), 1u);
    EXPECT_EQ(ring.available(), 4u);
    float* outB[] = {b[0], b[1]};
    const std::int32_t leftAndNone[] = {0, 5};
    EXPECT_EQ(ring.read(outB, leftAndNone, 2, 4), 4u); // across the wrap
    EXPECT_EQ(std::vector<float>(b[0], b[0] + 4), (std::vector<float>{3, 4, 5, 6}));
    EXPECT_EQ(std::vector<float>(b[1], b[1] + 4), (std::vector<float>(4, 0.0f)));

    EXPECT_EQ(ring.write(first, 1), 1u);
    EXPECT_EQ(ring.read(out, swapped, 2, 3), 1u); // two frames short: silence, counted
    EXPECT_EQ(std::vector<float>(a[0], a[0] + 3), (std::vector<float>{10, 0, 0}));
    EXPECT_EQ(ring.underrunFrames(), 2u);
    ring.write(first, 3);
    ring.discard(2);
    EXPECT_EQ(ring.available(), 1u);

    // Any other channel count: the third channel alone, across the wrap.
    AudioRingBuffer three(3, 2);
    const float frames[] = {1, 2, 3, 4, 5, 6};
    float c[3];
    float* outC[] = {c};
    const std::int32_t third[] = {2};
    three.write(frames, 1);
    EXPECT_EQ(three.read(outC, third, 1, 1), 1u);
    EXPECT_EQ(three.write(frames, 2), 2u);
    EXPECT_EQ(three.read(outC, third, 1, 2), 2u);
    EXPECT_EQ(std::vector<float>(c, c + 2), (std::vector<float>{3, 6}));
}

TEST(AudioRingBuffer, EverySilentFrameIsAnUnderrunAndTheLatencyComesBackAfterAQuietStretch) {
    const float frames[140] = {};
    float a[2][8];
    float* out[] = {a[0], a[1]};
    const std::int32_t both[] = {0, 1};
    // Reads wait in silence until the prefill is there, and after an underrun for that much more as
    // was missing; the silence given out while waiting counts as underrun like any other.
    AudioRingBuffer ring(2, 64);
    ring.setPrefill(4);
    ring.setRecoveryFrames(16);
    std::uint64_t silence = 0;
    const auto read = [&](std::uint32_t n) {
        const std::uint32_t got = ring.read(out, both, 2, n);
        silence += n - got;
        return got;
    };
    const auto steady = [&](int reads) {
        for (int i = 0; i < reads; ++i) {
            ring.write(frames, 2);
            ASSERT_EQ(read(2), 2u);
        }
    };
    ring.write(frames, 3);
    EXPECT_EQ(read(2), 0u);
    ring.write(frames, 1);
    EXPECT_EQ(read(2), 2u);
    EXPECT_EQ(read(4), 2u); // two short
    EXPECT_EQ(ring.prefill(), 6u);
    ring.write(frames, 5);
    EXPECT_EQ(read(1), 0u); // refilling to the grown prefill
    ring.write(frames, 1);
    EXPECT_EQ(read(2), 2u); // 4 held, where the start held 2 after a read of 2
    EXPECT_EQ(ring.underrunFrames(), silence);
    EXPECT_EQ(silence, 5u);

    // Sixteen frames read without a loss: the prefill is back at its start and the two frames held
    // beyond the start's level all along go, counted.
    steady(6);
    EXPECT_EQ(ring.prefill(), 6u);
    EXPECT_EQ(ring.available(), 4u);
    steady(1);
    EXPECT_EQ(ring.prefill(), 4u);
    EXPECT_EQ(ring.available(), 2u);
    EXPECT_EQ(ring.discardedFrames(), 2u);

    // An overrun leaves the ring full with no underrun at all. A second one does not hold the quiet
    // stretch off: when it ends, what the ring held since the last overrun beyond the start's level
    // goes.
    EXPECT_EQ(ring.write(frames, 70), 62u);
    EXPECT_EQ(read(2), 2u);
    steady(6);
    EXPECT_EQ(ring.write(frames, 4), 2u);
    EXPECT_EQ(ring.overrunFrames(), 10u);
    EXPECT_EQ(ring.available(), 64u);
    EXPECT_EQ(read(2), 2u);
    EXPECT_EQ(ring.available(), 2u);
    EXPECT_EQ(ring.discardedFrames(), 62u);
    EXPECT_EQ(ring.prefill(), 4u);
    EXPECT_EQ(ring.underrunFrames(), silence);

    // Past the quiet stretch the trim waits for input ahead that is quiet (a jump there is not
    // heard), at most for a second stretch.
    AudioRingBuffer mono(1, 64);
    mono.setPrefill(2);
    mono.setRecoveryFrames(10);
    const float loud = 0.5f, quiet = 0.0009f;
    const std::int32_t first[] = {0};
    const auto step = [&](float value) {
        mono.write(&value, 1);
        ASSERT_EQ(mono.read(out, first, 1, 1), 1u);
    };
    for (int i = 0; i < 5; ++i)
        mono.write(&loud, 1);
    for (int i = 0; i < 14; ++i) // 4 held beyond the start's level of 1
        step(i < 10 ? loud : quiet);
    EXPECT_EQ(mono.available(), 5u);
    step(quiet); // five quiet frames ahead: the four go, and the read after them is quiet too
    EXPECT_EQ(mono.available(), 1u);
    EXPECT_EQ(mono.discardedFrames(), 4u);
    for (int i = 0; i < 4; ++i)
        mono.write(&loud, 1);
    for (int i = 0; i < 19; ++i)
        step(loud);
    EXPECT_EQ(mono.available(), 5u);
    step(loud);
    EXPECT_EQ(mono.available(), 1u);
    EXPECT_EQ(mono.discardedFrames(), 8u);
}

TEST(AudioRingBuffer, WhatStaysBeyondTheCushionThroughAHoldGoesWhereTheInputIsQuietWhileUnderrunsGoOn) {
    // Reads and writes of 2 frames, a cushion of 4 (2 held after a read), a hold of 8 frames and no
    // loss-free stretch that would end: an output underrun leaves 3 frames more, and they go once
    // they have stayed a whole hold, at a read where the frames ahead are quiet.
    struct Case {
        const char* name;
        std::uint64_t hold;
        bool shortfall;  // the input ran dry once first: the cushion grew by what was missing
        int loudThrough; // the steps' writes up to this one are loud
        int trimmedAt;   // the step whose read trims, 0 for none
        std::uint32_t level;
    };
    for (const Case& c : {
             Case{"quiet", 8, false, 0, 7, 2},
             Case{"waits for quiet ahead", 8, false, 8, 11, 2},
             Case{"a grown cushion stays", 8, true, 0, 7, 4},
             Case{"no hold", 0, false, 0, 0, 5},
             Case{"never quiet: a hold later, where it costs least", 8, false, 20, 11, 2},
         }) {
        SCOPED_TRACE(c.name);
        AudioRingBuffer ring(1, 64);
        ring.setPrefill(4);
        ring.setRecoveryFrames(1000);
        ring.setHoldFrames(c.hold);
        float out0[2];
        float* out[] = {out0};
        const std::int32_t first[] = {0};
        const float quiet[6] = {}, loud[6] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
        const float* start = c.loudThrough ? loud : quiet;
        ring.write(start, 4);
        ASSERT_EQ(ring.read(out, first, 1, 2), 2u);
        if (c.shortfall) {
            ASSERT_EQ(ring.read(out, first, 1, 2), 2u);
            ASSERT_EQ(ring.read(out, first, 1, 2), 0u);
            EXPECT_EQ(ring.prefill(), 6u);
            ring.write(start, 6);
            ASSERT_EQ(ring.read(out, first, 1, 2), 2u);
        }
        ring.write(start, 3);
        ring.noteOutputUnderrun();
        int trimmedAt = 0;
        for (int step = 1; step <= 20; ++step) {
            ring.write(step <= c.loudThrough ? loud : quiet, 2);
            ASSERT_EQ(ring.read(out, first, 1, 2), 2u) << step;
            if (!trimmedAt && ring.discardedFrames()) trimmedAt = step;
            EXPECT_EQ(ring.available(), trimmedAt ? c.level : c.level + (c.hold ? 3 : 0)) << step;
        }
        EXPECT_EQ(trimmedAt, c.trimmedAt);
        EXPECT_EQ(ring.discardedFrames(), c.trimmedAt ? 3u : 0u);
        EXPECT_EQ(ring.prefill(), c.shortfall ? 6u : 4u);
    }
}

TEST(AudioDeviceBackend, ChosenOnDevicesInEitherDirection) {
    FakeAudioDeviceBackend devices;
    EXPECT_FALSE(AudioDeviceBackend::listsDevices(devices));
    devices.addDevice("Silent", {0}, {});
    EXPECT_FALSE(AudioDeviceBackend::listsDevices(devices));
    devices.addDevice("Microphone", {1}, {}); // input only
    EXPECT_TRUE(AudioDeviceBackend::listsDevices(devices));
}

TEST(FakeAudioDeviceBackend, FedInputReachesTheInputNodeMappedAndLossesAreLoggedOnceASecond) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setInputFormat(*AudioFormat::standard(44100, 3));
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto input = engine->inputNode();
    const std::int32_t map[] = {2, 0};
    ASSERT_EQ(input->auAudioUnit()->setProperty(kAudioOutputUnitProperty_ChannelMap, kAudioUnitScope_Output,
                                                1, map, sizeof map),
              noErr);
    input->setVolume(0);
    engine->connect(input, engine->mainMixerNode(), std::nullopt);
    std::vector<std::shared_ptr<PCMBuffer>> tapped;
    ASSERT_TRUE(input->installTap(0, 64, std::nullopt, [&](auto buffer, auto) { tapped.push_back(buffer); }));

    auto frames = PCMBuffer::make(*AudioFormat::standard(44100, 3), 64);
    for (std::uint32_t c = 0; c < 3; ++c)
        for (std::uint32_t i = 0; i < 64; ++i)
            frames->floatChannelData()[c][i] = float(c + 1) + float(i) / 1024.0f;
    frames->setFrameLength(64);
    EXPECT_EQ(fake->feedInput(*frames), 0u); // nothing runs yet
    engine->start();
    ASSERT_TRUE(fake->captureRing());
    EXPECT_EQ(fake->feedInput(*frames), 64u);
    ScopedLogCapture capture;
    fake->tick(64, 1'000'000'000);
    ASSERT_TRUE(engine->waitForTapDeliveries(std::chrono::seconds(60)));
    ASSERT_EQ(tapped.size(), 1u);
    ASSERT_EQ(tapped[0]->format().channelCount(), 2u);
    for (std::uint32_t i = 0; i < 64; ++i) {
        ASSERT_EQ(tapped[0]->floatChannelData()[0][i], 3.0f + float(i) / 1024.0f);
        ASSERT_EQ(tapped[0]->floatChannelData()[1][i], 1.0f + float(i) / 1024.0f);
    }
    EXPECT_TRUE(capture.lines().empty());

    // Starved cycles read silence; the losses are logged at most once a second.
    fake->tick(64, 2'000'000'000);
    fake->tick(64, 2'500'000'000);
    for (int i = 0; i < 130; ++i)
        fake->feedInput(*frames);
    fake->tick(64, 2'900'000'000);
    fake->tick(64, 3'100'000'000);
    ASSERT_TRUE(engine->waitForTapDeliveries(std::chrono::seconds(60)));
    EXPECT_EQ(tapped[1]->floatChannelData()[0][10], 0.0f);
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "Audio input: 0 frames dropped (overrun), 64 frames of silence (underrun)");
    EXPECT_EQ(entries[1].text, "Audio input: 128 frames dropped (overrun), 64 frames of silence (underrun)");
    EXPECT_EQ(entries[1].level, LogLevel::error);

    engine->stop();
    EXPECT_FALSE(fake->captureRing());
    EXPECT_FALSE(input->captureRing());
}

TEST(AudioInputNode, RecordersAreToldOnlyOfTrueLossesAcrossRestartsAndRingsMadeWhereOldOnesWere) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    const AudioFormat mono = *AudioFormat::standard(44100, 1);
    fake->setInputFormat(mono);
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto input = engine->inputNode();
    input->setVolume(0);
    engine->connect(input, engine->mainMixerNode(), std::nullopt);
    std::atomic<std::uint64_t> silence{0};
    ASSERT_TRUE(input->installTap(
        0, 64, std::nullopt, [](auto, auto) {}, AudioNode::TapKind::recorder,
        [&](std::uint32_t frames) { silence += frames; }));
    auto block = PCMBuffer::make(mono, 64);
    block->setFrameLength(64);
    ScopedLogCapture capture;
    std::uint64_t host = 0;
    // Each start makes a new ring; what each one lost is told once, where it was lost: after the
    // frames the ring held.
    for (int i = 0; i < 10; ++i) {
        engine->start();
        for (int k = 0; k < 130; ++k) // two blocks more than the ring holds
            fake->feedInput(*block);
        ASSERT_TRUE(fake->tick(64, host += 2'000'000'000));
        for (int k = 1; k < 128; ++k)
            ASSERT_TRUE(fake->tick(64, host += 1'000'000));
        engine->stop();
    }
    EXPECT_EQ(silence.load(), 10u * 128);

    // A ring made where the last one was is a ring of its own.
    alignas(AudioRingBuffer) unsigned char place[sizeof(AudioRingBuffer)];
    const auto ringThere = [&] {
        return std::shared_ptr<AudioRingBuffer>(new (place) AudioRingBuffer(1, 64),
                                                [](AudioRingBuffer* r) { r->~AudioRingBuffer(); });
    };
    const std::vector<float> frames(200, 0.5f);
    engine->start();
    auto ring = ringThere();
    input->setCaptureRing(ring);
    ring->write(frames.data(), 200);
    ASSERT_TRUE(fake->tick(64, host += 2'000'000'000));
    input->setCaptureRing(nullptr);
    ASSERT_EQ(ring.use_count(), 1);
    ring.reset();
    ring = ringThere();
    input->setCaptureRing(ring);
    ring->write(frames.data(), 64);
    ASSERT_TRUE(fake->tick(64, host += 2'000'000'000));
    ASSERT_TRUE(engine->waitForTapDeliveries(std::chrono::seconds(60)));
    EXPECT_EQ(silence.load(), 10u * 128 + 136);

    // A loss longer than ten minutes between two cycles cannot be true: a fault, and no silence.
    ring->write(frames.data(), 64);
    ring->write(frames.data(), 600 * 44100 + 1);
    ASSERT_TRUE(fake->tick(64, host += 2'000'000'000));
    ring->write(frames.data(), 64);
    ASSERT_TRUE(fake->tick(64, host += 2'000'000'000));
    engine->stop();
    EXPECT_EQ(silence.load(), 10u * 128 + 136);
    std::vector<std::string> expected(
        10, "Audio input: 128 frames dropped (overrun), 0 frames of silence (underrun)");
    expected.push_back("Audio input: 136 frames dropped (overrun), 0 frames of silence (underrun)");
    expected.push_back("Audio input: 26460001 frames dropped (overrun), 0 frames of silence (underrun)");
    // The fault is told by itself, before or after the cycle's report.
    const std::string fault =
        "Audio taps: a loss of 26460001 frames is too long to be true; recorders wrote no silence for it";
    auto entries = capture.entries();
    const auto at =
        std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.text == fault; });
    ASSERT_NE(at, entries.end());
    EXPECT_EQ(at->level, LogLevel::fault);
    entries.erase(at);
    std::vector<std::string> rest;
    for (const auto& e : entries)
        rest.push_back(e.text);
    EXPECT_EQ(rest, expected);
}

// Reports a loss of 480 frames at 48 kHz each time it renders.
class LossyInput : public AudioNode {
public:
    static std::shared_ptr<LossyInput> make() { return std::shared_ptr<LossyInput>(new LossyInput()); }
    std::string typeName() const override { return "LossyInput"; }
    int renders = 0;

protected:
    LossyInput() : AudioNode(AUAudioUnit::make({kAudioUnitType_Generator, 0, 0, 0, 0}, 0, 1)) {}
    void render(const RenderContext&) override {
        ++renders;
        setLostInputFrames(480);
    }
    AudioFormat defaultOutputFormat(std::uint32_t) const override { return *AudioFormat::standard(48000, 1); }
};

TEST(AudioNode, SilenceForLostInputLastsAsLongAtTheRateOfTheTappedNode) {
    // The mixer converts, pulling the input several times in some cycles: every loss counts, at 44.1 kHz.
    const AudioFormat format = *AudioFormat::standard(44100, 2);
    auto engine = AudioEngine::make();
    engine->enableManualRenderingMode(AudioEngine::ManualRenderingMode::offline, format, 1024);
    auto lossy = LossyInput::make();
    engine->attach(lossy);
    engine->connect(lossy, engine->mainMixerNode(), *AudioFormat::standard(48000, 1));
    std::uint64_t silence = 0;
    ASSERT_TRUE(engine->mainMixerNode()->installTap(
        0, 1024, std::nullopt, [](auto, auto) {}, AudioNode::TapKind::recorder,
        [&](std::uint32_t frames) { silence += frames; }));
    engine->start();
    auto out = PCMBuffer::make(format, 1024);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(engine->renderOffline(1024, *out), AudioEngine::ManualRenderingStatus::success);
    EXPECT_GT(lossy->renders, 40);
    EXPECT_EQ(silence, std::uint64_t(lossy->renders) * 441);
}

TEST(AudioInputNode, EachOverrunsSilenceSitsWhereItsFramesWereLostInEveryNodeDownstream) {
    // Two overruns of 100 frames, with the frames captured between them passed in the same read at one
    // rate; recorders on the input, on a submix it feeds, and on a mixer at 44.1 kHz behind that.
    for (const bool converting : {false, true}) {
        auto fake = std::make_shared<FakeAudioDeviceBackend>();
        fake->setInputFormat(*AudioFormat::standard(48000, 1));
        fake->setOutputFormat(*AudioFormat::standard(48000, 2));
        auto engine = AudioEngine::make();
        engine->setIOBackend(fake->makeIO());
        auto input = engine->inputNode();
        auto submix = AudioMixerNode::make(), converted = AudioMixerNode::make();
        engine->attach(submix);
        engine->attach(converted);
        const AudioFormat mono48 = *AudioFormat::standard(48000, 1);
        ASSERT_TRUE(engine->connect(input, submix, mono48));
        if (converting) {
            ASSERT_TRUE(engine->connect(submix, converted, mono48));
            ASSERT_TRUE(
                engine->connect(converted, engine->mainMixerNode(), *AudioFormat::standard(44100, 1)));
        } else {
            ASSERT_TRUE(engine->connect(submix, engine->mainMixerNode(), mono48));
        }
        struct Row {
            std::shared_ptr<AudioNode> node;
            double ratio;
            double slack; // a converter spreads the frames around a loss over a few
            std::vector<float> take;
        };
        std::vector<Row> rows = {{input, 1, 0, {}}, {submix, 1, 0, {}}};
        if (converting) rows.push_back({converted, 44100.0 / 48000, 24, {}});
        for (auto& row : rows)
            ASSERT_TRUE(row.node->installTap(
                0, 64, std::nullopt,
                [&take = row.take](auto buffer, auto) {
                    take.insert(take.end(), buffer->floatChannelData()[0],
                                buffer->floatChannelData()[0] + buffer->frameLength());
                },
                AudioNode::TapKind::recorder));
        engine->start();
        auto ring = fake->captureRing();
        ASSERT_TRUE(ring);
        std::int64_t next = 0;
        const auto feed = [&](std::uint32_t frames) {
            auto block = PCMBuffer::make(mono48, frames);
            for (std::uint32_t i = 0; i < frames; ++i)
                block->floatChannelData()[0][i] = float(++next);
            block->setFrameLength(frames);
            fake->feedInput(*block);
        };
        feed(ring->capacity() + 100);
        ASSERT_TRUE(fake->tick(256));
        const std::int64_t between = ring->capacity() - ring->available();
        feed(std::uint32_t(between) + 100);
        for (int i = 0; i < 30; ++i)
            ASSERT_TRUE(fake->tick(256));
        ASSERT_TRUE(fake->tick(512));
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE(fake->tick(256));
        engine->stop();
        // Captured frames 8,192 to 8,291 were lost, then the 100 after the `between` frames that followed.
        const double gaps[] = {8192, 8292 + double(between)};
        for (auto& row : rows) {
            SCOPED_TRACE(row.node->typeName() + " at " + std::to_string(row.ratio));
            // Where the runs of silence at least nearly a gap's length start; the second runs on into
            // the silence after the last captured frame (behind a converter, after its last few).
            std::vector<std::pair<std::int64_t, std::int64_t>> runs;
            for (std::int64_t p = 0; p < std::int64_t(row.take.size());) {
                std::int64_t q = p;
                while (q < std::int64_t(row.take.size()) && row.take[q] == 0.0f)
                    ++q;
                if (q - p >= 80) runs.push_back({p, q - p});
                p = q + 1;
            }
            ASSERT_GE(runs.size(), 2u);
            EXPECT_NEAR(double(runs[0].first), gaps[0] * row.ratio, row.slack + 0.5);
            EXPECT_NEAR(double(runs[0].second), 100 * row.ratio, row.slack + 1);
            EXPECT_NEAR(double(runs[1].first), gaps[1] * row.ratio, row.slack + 0.5);
            if (row.ratio != 1) continue;
            for (std::int64_t p = 8292; p < gaps[1]; ++p)
                ASSERT_EQ(row.take[p], float(p + 1)) << p;
        }
    }
}

TEST(AudioEngine, DeferredCallbacksRunInOrderOnTheTapThreadAndStopWaitsForThem) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto mixer = engine->mainMixerNode();
    std::vector<std::int64_t> starts; // touched only by the tap thread until stop() returns
    std::thread::id tapThread;
    ASSERT_TRUE(mixer->installTap(0, 16, std::nullopt, [&](auto, AudioTime when) {
        tapThread = std::this_thread::get_id();
        starts.push_back(when.sampleTime());
    }));
    engine->start();
    auto out = PCMBuffer::make(mixer->outputFormat(0), 64);
    for (int i = 0; i < 3; ++i)
        engine->renderCycle(64, *out, std::nullopt, false);
    engine->stop();
    EXPECT_NE(tapThread, std::this_thread::get_id());
    EXPECT_EQ(starts, (std::vector<std::int64_t>{0, 16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176}));
}

TEST(AudioEngine, ATapThreadThatFallsBehindCostsAnalysisTapsBlocksAndRecordersSilenceOfTheSameLength) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto source = AudioSourceNode::make(
        [](bool&, const AudioTime&, std::uint32_t frames, float* const* out, std::uint32_t channels) {
            for (std::uint32_t c = 0; c < channels; ++c)
                std::fill(out[c], out[c] + frames, 0.5f);
            return noErr;
        });
    engine->attach(source);
    engine->connect(source, engine->mainMixerNode(), std::nullopt);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    int analysed = 0;
    ASSERT_TRUE(source->installTap(0, 4096, std::nullopt, [&](auto, AudioTime) {
        // The first block holds the tap thread up until the test has rendered all its cycles.
        if (analysed++ == 0) released.wait_for(std::chrono::seconds(60));
    }));
    struct Piece {
        std::int64_t start;
        std::uint32_t frames;
        bool silent;
    };
    std::vector<Piece> recorded;
    ASSERT_TRUE(engine->mainMixerNode()->installTap(
        0, 4096, std::nullopt,
        [&](std::shared_ptr<PCMBuffer> buffer, AudioTime when) {
            recorded.push_back(
                {when.sampleTime(), buffer->frameLength(), buffer->floatChannelData()[0][7] == 0.0f});
        },
        AudioNode::TapKind::recorder));
    ScopedLogCapture capture;
    engine->start();
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(fake->tick(4096));
    release.set_value();
    ASSERT_TRUE(engine->waitForTapDeliveries(std::chrono::seconds(60)));
    engine->mainMixerNode()->removeTap(0); // the take ends with what it lost last
    engine->stop();

    std::int64_t at = 0;
    std::uint32_t silent = 0;
    for (const auto& piece : recorded) {
        EXPECT_EQ(piece.start, at);
        at += piece.frames;
        if (piece.silent) silent += piece.frames;
    }
    EXPECT_EQ(at, 40 * 4096);
    EXPECT_GT(silent, 0u);
    EXPECT_LT(analysed, 40);
    ASSERT_FALSE(capture.entries().empty());
    EXPECT_EQ(capture.entries()[0].text,
              "Audio taps: " + std::to_string(40 - analysed) + " blocks dropped, " +
                  std::to_string(silent / 4096) +
                  " recorder blocks written as silence (the tap thread fell behind)");
}

TEST(AudioInputNode, ALateInputCostsTheCushionWhatWasMissingAndTheLatencyComesBackWithinFiveSeconds) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    const AudioFormat mono = *AudioFormat::standard(44100, 1);
    fake->setInputFormat(mono);
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto input = engine->inputNode();
    input->setVolume(0);
    engine->connect(input, engine->mainMixerNode(), std::nullopt);
    engine->start();
    auto ring = fake->captureRing();
    ASSERT_TRUE(ring);
    ring->setPrefill(1024); // two periods, as beside an output stream of its own
    auto block = PCMBuffer::make(mono, 512);
    block->setFrameLength(512);
    std::uint64_t host = 0;
    const auto cycle = [&](int blocksIn) {
        for (int i = 0; i < blocksIn; ++i)
            fake->feedInput(*block);
        ASSERT_TRUE(fake->tick(512, host += 11'609'977));
    };
    cycle(2);
    for (int i = 0; i < 10; ++i)
        cycle(1);
    EXPECT_EQ(ring->available(), 512u);
    // The input comes two periods late, then all at once: one period was missing, one period of
    // silence, and the cushion is that much larger.
    cycle(0);
    cycle(0);
    fake->feedInput(*block);
    fake->feedInput(*block);
    cycle(1);
    EXPECT_EQ(ring->underrunFrames(), 512u);
    EXPECT_EQ(ring->available(), 1024u);
    for (int i = 0; i < 400; ++i) // 4.6 s
        cycle(1);
    EXPECT_EQ(ring->available(), 1024u);
    for (int i = 0; i < 40; ++i)
        cycle(1);
    EXPECT_EQ(ring->available(), 512u);
    EXPECT_EQ(ring->discardedFrames(), 512u);
    EXPECT_EQ(ring->underrunFrames(), 512u);
    engine->stop();
}

TEST(AudioInputNode, OutputUnderrunsOneAfterAnotherLeaveNoLatencyBeyondTheCushionForLong) {
    // Each output underrun leaves the input that came meanwhile in the ring. They come every few
    // hundred milliseconds under load, never five seconds apart; what they piled up goes within about
    // a second of them all the same, and the cushion (one period after a read) stays.
    struct Case {
        int every;          // cycles of 512 frames between two output underruns
        int piled;          // blocks the input handed over while the output stalled
        std::uint32_t most; // the fill after a read, a second into the underruns and on
    };
    for (const Case& c :
         {Case{26, 2, 512 + 4 * 1024}, Case{9, 1, 512 + 10 * 512}, Case{60, 4, 512 + 2 * 2048}}) {
        SCOPED_TRACE(c.every);
        auto fake = std::make_shared<FakeAudioDeviceBackend>();
        const AudioFormat mono = *AudioFormat::standard(44100, 1);
        fake->setInputFormat(mono);
        auto engine = AudioEngine::make();
        engine->setIOBackend(fake->makeIO());
        auto input = engine->inputNode();
        input->setVolume(0);
        engine->connect(input, engine->mainMixerNode(), std::nullopt);
        engine->start();
        auto ring = fake->captureRing();
        ASSERT_TRUE(ring);
        ring->setPrefill(1024);
        auto block = PCMBuffer::make(mono, 512); // silence: quiet ahead wherever a trim falls
        block->setFrameLength(512);
        std::uint64_t host = 0;
        const auto cycle = [&] {
            fake->feedInput(*block);
            ASSERT_TRUE(fake->tick(512, host += 11'609'977));
        };
        fake->feedInput(*block);
        cycle();
        std::uint32_t highest = 0;
        for (int i = 1; i <= 300; ++i) { // 3.5 s: with the second after, less than a loss-free stretch
            if (i % c.every == 0) {
                for (int b = 0; b < c.piled; ++b)
                    fake->feedInput(*block);
                ring->noteOutputUnderrun();
            }
            cycle();
            ASSERT_GE(ring->available(), 512u) << i;
            if (i > 86) highest = std::max(highest, ring->available());
        }
        EXPECT_LE(highest, c.most);
        for (int i = 0; i < 88; ++i) // a second without an underrun
            cycle();
        EXPECT_EQ(ring->available(), 512u);
        EXPECT_EQ(ring->underrunFrames(), 0u);
        EXPECT_EQ(ring->prefill(), 1024u);
        engine->stop();
    }
}

TEST(AudioInputNode, WhatAStallPiledUpGoesWithinASecondWhateverTheInputHearsAndStallsDoNotRatchet) {
    // The input stalls for 13 periods (151 ms), then hands them over at once: what the ring holds
    // beyond its cushion is latency, and goes within about a second of the stall's end, quiet or not.
    struct Case {
        const char* name;
        float level; // of the input: silence, a noise floor (-50 dBFS), a tone
        bool tone;
        int every; // cycles between two stalls (2.5 s), or one stall
    };
    const Case cases[] = {
        {"silence, one stall", 0, false, 0},
        {"a noise floor, one stall", 0.003f, false, 0},
        {"a tone, one stall", 0.3f, true, 0},
        {"silence, a stall every 2.5 s", 0, false, 215},
        {"a noise floor, a stall every 2.5 s", 0.003f, false, 215},
        {"a tone, a stall every 2.5 s", 0.3f, true, 215},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto fake = std::make_shared<FakeAudioDeviceBackend>();
        const AudioFormat mono = *AudioFormat::standard(44100, 1);
        fake->setInputFormat(mono);
        auto engine = AudioEngine::make();
        engine->setIOBackend(fake->makeIO());
        auto input = engine->inputNode();
        input->setVolume(0);
        engine->connect(input, engine->mainMixerNode(), std::nullopt);
        engine->start();
        auto ring = fake->captureRing();
        ASSERT_TRUE(ring);
        ring->setPrefill(1024);
        auto block = PCMBuffer::make(mono, 512);
        block->setFrameLength(512);
        std::uint32_t noise = 1;
        std::int64_t frame = 0;
        const auto feed = [&] {
            for (std::uint32_t i = 0; i < 512; ++i, ++frame) {
                noise = noise * 1664525u + 1013904223u;
                block->floatChannelData()[0][i] =
                    c.tone ? c.level * float(std::sin(2 * std::numbers::pi * 440.0 * double(frame) / 44100))
                           : c.level * (float(noise >> 8) / float(1u << 23) - 1.0f);
            }
            fake->feedInput(*block);
        };
        std::uint64_t host = 0;
        const auto tick = [&] { ASSERT_TRUE(fake->tick(512, host += 11'609'977)); };
        for (int i = 0; i < 20; ++i) {
            feed();
            tick();
        }
        ASSERT_EQ(ring->available(), 512u);
        const int stalls = c.every ? 4 : 1;
        for (int stall = 0; stall < stalls; ++stall) {
            SCOPED_TRACE(stall);
            const std::uint64_t trimmed = ring->discardedFrames();
            for (int i = 0; i < 13; ++i)
                tick();
            for (int i = 0; i < 13; ++i)
                feed();
            for (int i = 0; i < 96; ++i) { // 1.1 s
                feed();
                tick();
            }
            EXPECT_EQ(ring->available(), 512u);
            EXPECT_EQ(ring->discardedFrames() - trimmed, 12u * 512);
            for (int i = 96 + 13; i < c.every; ++i) {
                feed();
                tick();
            }
        }
        EXPECT_EQ(ring->prefill(), 1024u);
        EXPECT_EQ(ring->overrunFrames(), 0u);
        engine->stop();
    }
}

TEST(FakeAudioDeviceBackend, WaitingForTapDeliveriesWaitsUntilTheBlockHasReturned) {
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    std::atomic<int> returned{0};
    // A slow block, taken by a tap thread that is awake already.
    ASSERT_TRUE(engine->mainMixerNode()->installTap(0, 64, std::nullopt, [&](auto, auto) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++returned;
    }));
    engine->start();
    for (int i = 1; i <= 20; ++i) {
        fake->tick(64, std::uint64_t(i) * 1'000'000);
        ASSERT_TRUE(engine->waitForTapDeliveries(std::chrono::seconds(60)));
        EXPECT_EQ(returned.load(), i);
    }
}

TEST(AudioCallbackTiming,
     AnOutputCallbackLaterThanWhatTheDeviceHeldIsAnUnderrunCountedAndLoggedOffTheRenderingThread) {
    // 1000 frames a second: a frame a millisecond; periods of 10 frames.
    AudioCallbackTiming timing(1000, 10);
    const auto ms = [](std::uint64_t n) { return n * 1'000'000; };
    EXPECT_FALSE(timing.callback(ms(100), 10, false));
    EXPECT_FALSE(timing.callback(ms(100), 10, false)); // the device takes its first fill at once
    EXPECT_FALSE(timing.callback(ms(400), 10, false)); // and starts playing it late: not a loss
    EXPECT_FALSE(timing.callback(ms(410), 10, false)); // on schedule: playing
    EXPECT_FALSE(timing.callback(ms(450), 10, false)); // played 50 of 40: late by a period, no more
    EXPECT_TRUE(timing.callback(ms(471), 10, false));  // played 71 of 50
    EXPECT_EQ(timing.silenceFrames(), 21u);
    EXPECT_FALSE(timing.callback(ms(491), 10, false)); // measured again from the underrun: late by a period
    EXPECT_TRUE(timing.callback(ms(495), 10, true));   // the device's own word
    EXPECT_EQ(timing.silenceFrames(), 0u);
    EXPECT_FALSE(timing.callback(ms(50), 10, false)); // a clock that went back starts over

    // A duplex stream's first callbacks wait for input while the server still prebuffers the output:
    // the start, not a loss.
    AudioCallbackTiming duplex(1000, 10);
    for (std::uint64_t at : {0, 32, 75, 85, 95, 105, 115})
        EXPECT_FALSE(duplex.callback(ms(at), 10, false)) << at;

    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    engine->mainMixerNode();
    ScopedLogCapture capture;
    engine->start();
    engine->countOutputUnderrun(41);
    engine->countOutputUnderrun(0);
    EXPECT_EQ(engine->outputUnderruns(), 2u);
    EXPECT_TRUE(testwait::eventually([&] { return !capture.entries().empty(); }));
    ASSERT_EQ(capture.entries().size(), 1u);
    EXPECT_EQ(capture.entries()[0].text, "Audio output: 2 underruns, 41 frames of silence played");
    engine->stop();
}

TEST(AudioCallbackTiming, ADeviceClockAwayFromTheHostsNeitherHidesUnderrunsNorMakesThem) {
    for (double speed : {1.001, 0.999}) {
        // 1000 frames a second by the host's clock, periods of 10 frames; four periods taken at once,
        // then a period each time the device, at its own speed, has played one.
        AudioCallbackTiming timing(1000, 10);
        int underruns = 0;
        for (int i = 0; i < 4; ++i)
            underruns += timing.callback(0, 10, false);
        const auto at = [&](double periods) { return std::uint64_t(periods * 10e6 / speed); };
        int k = 1;
        for (; k <= 20'000; ++k) // 200 s
            underruns += timing.callback(at(k), 10, false);
        EXPECT_EQ(underruns, 0) << speed;
        // Five periods late: the three it held and one more played as silence.
        EXPECT_TRUE(timing.callback(at(k + 5), 10, false)) << speed;
    }
}
