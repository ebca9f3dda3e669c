#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitSampler.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/core/LogSink.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

std::shared_ptr<PCMBuffer> ramp(const AudioFormat& format, std::uint32_t frames) {
    auto buffer = PCMBuffer::make(format, frames);
    for (std::uint32_t c = 0; c < format.channelCount(); ++c)
        for (std::uint32_t i = 0; i < frames; ++i)
            buffer->floatChannelData()[c][i] = float(i % 100) / 200.0f;
    buffer->setFrameLength(frames);
    return buffer;
}

// Rendering on a device's thread while other threads play notes, schedule, interrupt and stop a
// player, and change the graph: every cycle renders, and every scheduled segment completes once.
TEST(RenderThreads, EveryCycleRendersAndEverySegmentCompletesOnce) {
    ScopedLogCapture quiet;
    const auto format = *AudioFormat::standard(44100, 2);
    const auto path = (std::filesystem::temp_directory_path() /
                       ("sonabel-render-threads-" + std::to_string(::getpid()) + ".wav"))
                          .string();
    AudioFile::forWriting(path, format.settings())->write(*ramp(format, 40000));
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setOutputFormat(format);
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto mixer = engine->mainMixerNode();
    auto player = AudioPlayerNode::make();
    auto sampler = AudioUnitSampler::make();
    auto spare = AudioSourceNode::make(
        [](bool& silent, const AudioTime&, std::uint32_t, float* const*, std::uint32_t) {
            silent = true;
            return noErr;
        });
    for (const auto& node : std::vector<std::shared_ptr<AudioNode>>{player, sampler, spare})
        engine->attach(node);
    engine->connect(player, mixer, format);
    engine->connect(sampler, mixer, format);
    engine->start();
    player->play();

    // The device renders at least kCycles, and on until the UI thread is through.
    constexpr int kCycles = 2000;
    constexpr int kSegments = 200;
    std::vector<std::atomic<int>> completions(kSegments);
    std::atomic<bool> uiDone{false};
    std::atomic<bool> done{false};
    std::int64_t cycles = 0;
    std::thread device([&] {
        for (; cycles < kCycles || !uiDone; ++cycles)
            fake->tick(512);
        done = true;
    });
    std::thread midi([&] {
        for (std::uint8_t note = 0; !done; note = std::uint8_t((note + 1) % 12)) {
            sampler->startNote(std::uint8_t(60 + note), 100, 0);
            sampler->stopNote(std::uint8_t(60 + note), 0);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    std::thread ui([&] {
        auto file = AudioFile::forReading(path);
        auto buffer = ramp(format, 3000);
        for (int i = 0; i < kSegments; ++i) {
            const auto handler = [&completions, i](AudioPlayerNode::CompletionCallbackType) {
                completions[std::size_t(i)].fetch_add(1);
            };
            const auto type = AudioPlayerNode::CompletionCallbackType::dataConsumed;
            const bool ok =
                i % 2 ? player->scheduleSegment(file, i * 10, 20000, std::nullopt, type, handler)
                      : player->scheduleBuffer(buffer, std::nullopt,
                                               i % 10 == 0 ? AudioPlayerNode::interrupts : 0u, type, handler);
            EXPECT_TRUE(ok);
            if (i % 25 == 24) {
                player->stop();
                player->play();
            }
            if (i % 10 == 5) engine->connect(spare, mixer, format);
            if (i % 10 == 8) engine->disconnectNodeOutput(spare);
            if (i % 50 == 0) mixer->installTap(0, 1024, std::nullopt, [](auto, auto) {});
            if (i % 50 == 25) mixer->removeTap(0);
            player->setVolume(i % 2 ? 0.5f : 1.0f);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        uiDone = true;
    });
    device.join();
    midi.join();
    ui.join();
    player->stop();
    engine->stop();
    EXPECT_EQ(engine->manualRenderingSampleTime(), cycles * 512);
    for (int i = 0; i < kSegments; ++i)
        EXPECT_EQ(completions[std::size_t(i)].load(), 1) << "segment " << i;
    EXPECT_FALSE(sampler->receivedMIDI().empty());
    std::filesystem::remove(path);
}

// A UI thread interrupting a looping player and stopping and restarting it while the device
// renders: the player is heard in every cycle but those it was stopped in, and the handler of every
// segment it drops runs once, on the UI thread.
TEST(RenderThreads, StoppingAndInterruptingNeverSilenceAPlayingPlayer) {
    ScopedLogCapture quiet;
    const auto format = *AudioFormat::standard(44100, 2);
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setOutputFormat(format);
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto player = AudioPlayerNode::make();
    engine->attach(player);
    engine->connect(player, engine->mainMixerNode(), format);
    auto level = PCMBuffer::make(format, 300);
    for (std::uint32_t c = 0; c < 2; ++c)
        std::fill(level->floatChannelData()[c], level->floatChannelData()[c] + 300, 0.5f);
    level->setFrameLength(300);
    player->scheduleBuffer(level, std::nullopt, AudioPlayerNode::loops);
    engine->start();
    player->play();

    constexpr int kCycles = 3000;
    std::atomic<int> stops{0}; // odd while the UI thread has the player stopped
    std::atomic<bool> done{false};
    int unrendered = 0;
    std::thread device([&] {
        for (int i = 0; i < kCycles; ++i) {
            const int before = stops.load();
            auto out = fake->tick(512);
            const bool stopped = before % 2 || stops.load() != before;
            const float* left = out ? out->floatChannelData()[0] : nullptr;
            if (!stopped && (!left || out->frameLength() != 512 || std::count(left, left + 512, 0.0f) > 0))
                ++unrendered;
        }
        done = true;
    });
    int scheduled = 0;
    std::atomic<int> handled{0};
    std::atomic<int> handledElsewhere{0};
    std::thread ui([&] {
        const auto handler = [&, here = std::this_thread::get_id()](AudioPlayerNode::CompletionCallbackType) {
            handled.fetch_add(1);
            if (std::this_thread::get_id() != here) handledElsewhere.fetch_add(1);
        };
        const auto type = AudioPlayerNode::CompletionCallbackType::dataConsumed;
        for (int i = 0; !done; ++i, ++scheduled) {
            if (i % 10 == 9) {
                stops.fetch_add(1);
                player->stop();
                player->scheduleBuffer(level, std::nullopt, AudioPlayerNode::loops, type, handler);
                player->play();
                stops.fetch_add(1);
            } else {
                player->scheduleBuffer(level, std::nullopt,
                                       AudioPlayerNode::loops | AudioPlayerNode::interrupts, type, handler);
            }
        }
        player->stop();
    });
    device.join();
    ui.join();
    engine->stop();
    EXPECT_EQ(unrendered, 0);
    EXPECT_GT(scheduled, 0);
    EXPECT_EQ(handled.load(), scheduled);
    EXPECT_EQ(handledElsewhere.load(), 0);
}

// A player whose next cycle, once begun, goes on only when the player has been detached: a cycle
// under way when the graph thread detaches it.
class HeldPlayer : public AudioPlayerNode {
public:
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};

protected:
    void render(const RenderContext& context) override {
        if (hold.exchange(false)) {
            held = true;
            EXPECT_TRUE(testwait::eventually([&] { return engineForRender() == nullptr; }));
        }
        AudioPlayerNode::render(context);
    }
};

// The handler of a segment a detached player finished in its last cycle still runs, on the tap
// thread, as soon as that cycle is over.
TEST(RenderThreads, APlayerDetachedDuringACycleStillCompletesWhatItFinished) {
    const auto format = *AudioFormat::standard(44100, 2);
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setOutputFormat(format);
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto player = std::make_shared<HeldPlayer>();
    engine->attach(player);
    engine->connect(player, engine->mainMixerNode(), format);
    std::atomic<int> completions{0};
    std::atomic<std::thread::id> handledOn;
    player->scheduleBuffer(ramp(format, 256), std::nullopt, 0,
                           AudioPlayerNode::CompletionCallbackType::dataConsumed, [&](auto) {
                               completions.fetch_add(1);
                               handledOn = std::this_thread::get_id();
                           });
    engine->start();
    player->play();
    player->hold = true;
    std::thread ticking([&] { fake->tick(512); });
    const auto device = ticking.get_id();
    EXPECT_TRUE(testwait::eventually([&] { return player->held.load(); }));
    engine->detach(player);
    ticking.join();
    EXPECT_TRUE(engine->waitForTapDeliveries(testwait::kDeadline));
    EXPECT_EQ(completions.load(), 1);
    EXPECT_NE(handledOn.load(), device);
    EXPECT_NE(handledOn.load(), std::this_thread::get_id());
    engine->stop();
}

// A device period above the default largest cycle, while nodes come and go: every cycle renders the
// whole period, and rendering never resizes what the graph thread reads (ThreadSanitizer watches).
TEST(RenderThreads, LongDevicePeriodsRenderWhileNodesComeAndGo) {
    constexpr std::uint32_t kPeriod = 8192;
    constexpr int kNodes = 40;
    const auto format = *AudioFormat::standard(44100, 2);
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setOutputFormat(format);
    fake->setBufferFrameSize(kPeriod);
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    auto mixer = engine->mainMixerNode();
    engine->start();
    // Relaxed on both sides: the test itself must not order the two threads for the sanitizer.
    std::atomic<int> cycles{0};
    std::atomic<int> heard{0};
    std::atomic<int> unrendered{0};
    std::atomic<bool> done{false};
    std::thread device([&] {
        while (!done.load(std::memory_order_relaxed)) {
            auto out = fake->tick(kPeriod);
            if (!out || out->frameLength() != kPeriod)
                unrendered.fetch_add(1, std::memory_order_relaxed);
            else if (out->floatChannelData()[0][kPeriod - 1] == 0.25f)
                heard.fetch_add(1, std::memory_order_relaxed);
            cycles.fetch_add(1, std::memory_order_relaxed);
        }
    });
    for (int i = 0; i < kNodes; ++i) {
        auto source = AudioSourceNode::make(
            [](bool&, const AudioTime&, std::uint32_t frames, float* const* out, std::uint32_t channels) {
                for (std::uint32_t c = 0; c < channels; ++c)
                    std::fill(out[c], out[c] + frames, 0.25f);
                return noErr;
            });
        engine->attach(source);
        engine->connect(source, mixer, format);
        const int before = cycles.load(std::memory_order_relaxed);
        EXPECT_TRUE(
            testwait::eventually([&] { return cycles.load(std::memory_order_relaxed) > before + 1; }));
        engine->disconnectNodeOutput(source);
        engine->detach(source);
    }
    done = true;
    device.join();
    engine->stop();
    EXPECT_EQ(unrendered.load(), 0);
    EXPECT_GE(heard.load(), kNodes);
}

} // namespace
