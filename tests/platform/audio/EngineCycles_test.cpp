#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/audio/AudioUnitSampler.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace platform;

namespace {

AudioFormat mono(double rate) {
    return *AudioFormat::standard(rate, 1);
}

// A mono source whose sample at frame t is t + 1, that counts its renders and runs a hook in each.
struct Ramp {
    std::shared_ptr<AudioSourceNode> node;
    std::shared_ptr<std::atomic<int>> renders = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::function<void()>> hook = std::make_shared<std::function<void()>>();
    explicit Ramp(double rate) {
        node = AudioSourceNode::make(
            [renders = renders, hook = hook](bool&, const AudioTime& time, std::uint32_t frames,
                                             float* const* out, std::uint32_t channels) {
                ++*renders;
                if (*hook) (*hook)();
                for (std::uint32_t c = 0; c < channels; ++c)
                    for (std::uint32_t i = 0; i < frames; ++i)
                        out[c][i] = float(time.sampleTime() + i + 1);
                return noErr;
            },
            mono(rate));
    }
};

// An engine on a fake device, at 44.1 kHz unless told.
struct Device {
    std::shared_ptr<FakeAudioDeviceBackend> fake = std::make_shared<FakeAudioDeviceBackend>();
    std::shared_ptr<AudioEngine> engine = AudioEngine::make();
    explicit Device(double rate = 44100) {
        fake->setOutputFormat(*AudioFormat::standard(rate, 2));
        engine->setIOBackend(fake->makeIO());
    }
    ~Device() { engine->stop(); }
};

} // namespace

// A node detached while a cycle renders it still belongs to that cycle: the block its tap filled is
// delivered, and each pull its converter makes is a cycle of its own.
TEST(EngineCycles, ANodeDetachedMidCycleFinishesTheCycleItWasIn) {
    Device d;
    auto mixer = d.engine->mainMixerNode();
    Ramp first(44100), source(48000);
    auto converting = AudioMixerNode::make();
    for (const auto& node : std::vector<std::shared_ptr<AudioNode>>{first.node, source.node, converting})
        ASSERT_TRUE(d.engine->attach(node));
    ASSERT_TRUE(d.engine->connect(first.node, mixer, 0, 0, std::nullopt));
    ASSERT_TRUE(d.engine->connect(converting, mixer, 0, 1, std::nullopt));
    ASSERT_TRUE(d.engine->connect(source.node, converting, mono(48000)));
    std::atomic<int> delivered{0};
    ASSERT_TRUE(converting->installTap(0, 4096, std::nullopt, [&](auto, auto) { ++delivered; }));
    d.engine->start();
    ASSERT_TRUE(d.fake->tick(4096));
    // In the next cycle the mixer's first input, rendered first, takes the converting mixer out.
    *first.hook = [&, engine = d.engine.get(), node = std::weak_ptr<AudioNode>(converting)] {
        if (auto n = node.lock(); n && n->engine()) engine->detach(n);
    };
    const int before = source.renders->load();
    ASSERT_TRUE(d.fake->tick(4096));
    // 4,096 frames at 44.1 kHz take 4,458 and more at 48 kHz: at least nine pulls of 512, each a render.
    EXPECT_GE(source.renders->load() - before, 9);
    ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
    EXPECT_EQ(delivered.load(), 2);
}

// However many converting inputs take a source, and at whatever rates, it renders each of its frames
// once: as many as the fastest of them takes, and a player's buffer lasts its own length.
TEST(EngineCycles, ASourceFeedingSeveralConvertingInputsRendersOncePerCycle) {
    struct Case {
        const char* name;
        std::vector<double> mixerRates; // one more mixer per rate, fed by the source, feeding the main one
        bool alsoMain;                  // the source feeds the main mixer directly, through a converter
    };
    const Case cases[] = {
        {"two inputs of one mixer", {}, true},
        {"a mixer at 32 kHz and the main one", {32000}, true},
        {"mixers at 32 and 96 kHz", {32000, 96000}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Device d;
        auto main = d.engine->mainMixerNode();
        Ramp source(48000);
        ASSERT_TRUE(d.engine->attach(source.node));
        std::vector<AudioConnectionPoint> points;
        std::uint32_t bus = 0;
        if (c.alsoMain) {
            points.push_back({main, bus++});
            if (c.mixerRates.empty()) points.push_back({main, bus++});
        }
        for (double rate : c.mixerRates) {
            auto mixer = AudioMixerNode::make();
            ASSERT_TRUE(d.engine->attach(mixer));
            ASSERT_TRUE(d.engine->connect(mixer, main, 0, bus++, *AudioFormat::standard(rate, 2)));
            points.push_back({mixer, 0});
        }
        ASSERT_TRUE(d.engine->connect(source.node, points, 0, mono(48000)));
        d.engine->start();
        const int cycles = 40;
        for (int i = 0; i < cycles; ++i)
            ASSERT_TRUE(d.fake->tick(4096));
        // 40 cycles of 4,096 frames at 44.1 kHz are 178,372 frames at 48 kHz, 349 pulls of 512; the
        // converters, two in a row for the mixers at other rates, look a few pulls ahead.
        const int needed = int(std::ceil(cycles * 4096 * 48000.0 / 44100 / 512));
        EXPECT_GE(source.renders->load(), needed);
        EXPECT_LE(source.renders->load(), needed + needed / 20);
    }
}

TEST(EngineCycles, APlayersBufferFeedingTwoConvertingInputsLastsItsLength) {
    Device d;
    auto main = d.engine->mainMixerNode();
    auto player = AudioPlayerNode::make();
    ASSERT_TRUE(d.engine->attach(player));
    ASSERT_TRUE(d.engine->connect(player, {{main, 0}, {main, 1}}, 0, mono(48000)));
    auto oneSecond = PCMBuffer::make(mono(48000), 48000);
    std::fill(oneSecond->floatChannelData()[0], oneSecond->floatChannelData()[0] + 48000, 0.25f);
    oneSecond->setFrameLength(48000);
    std::atomic<bool> consumed{false};
    ASSERT_TRUE(player->scheduleBuffer(oneSecond, std::nullopt, 0,
                                       AudioPlayerNode::CompletionCallbackType::dataConsumed,
                                       [&](auto) { consumed = true; }));
    player->play();
    d.engine->start();
    std::uint32_t frames = 0;
    while (!consumed.load() && frames < 2 * 44100) {
        ASSERT_TRUE(d.fake->tick(512));
        frames += 512;
        ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
    }
    // A second at 44.1 kHz, give or take a cycle and the converter's look-ahead.
    EXPECT_GE(frames, 44100u - 512);
    EXPECT_LE(frames, 44100u + 2 * 512);
}

// Converters and storage made anew for larger cycles carry on: the time of a node behind a converter
// never goes back, and what it was told to do at a time still happens then.
TEST(EngineCycles, ANodesTimeGoesOnWhenItsConverterIsRebuilt) {
    const std::function<void(Device&)> grows[] = {
        [](Device& d) { d.engine->prepareForCycles(8192); },
        [](Device& d) {
            d.engine->stop();
            d.fake->setBufferFrameSize(16384);
            d.engine->start();
        },
    };
    for (const auto& grow : grows) {
        Device d;
        auto sampler = AudioUnitSampler::make();
        ASSERT_TRUE(d.engine->attach(sampler));
        ASSERT_TRUE(d.engine->connect(sampler, d.engine->mainMixerNode(), mono(48000)));
        d.engine->start();
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(d.fake->tick(512));
        const auto before = sampler->lastRenderTime();
        ASSERT_TRUE(before);
        // A note a tenth of a second ahead, in the sampler's own time.
        const std::uint8_t on[] = {0x90, 60, 100};
        (*sampler->auAudioUnit()->scheduleMIDIEventBlock())(before->sampleTime() + 4800, 0, 3, on);
        grow(d);
        ASSERT_TRUE(d.fake->tick(512));
        const auto after = sampler->lastRenderTime();
        ASSERT_TRUE(after);
        EXPECT_GE(after->sampleTime(), before->sampleTime());
        for (int i = 0; i < 20 && sampler->receivedMIDI().empty(); ++i)
            ASSERT_TRUE(d.fake->tick(512));
        ASSERT_EQ(sampler->receivedMIDI().size(), 1u);
        EXPECT_EQ(sampler->receivedMIDI()[0].sampleTime, before->sampleTime() + 4800);
    }
}

// Completions the tap thread had no room for while it was held run once it is free again, even when
// nothing renders the player any more; those of buffers that never played run when the player goes.
TEST(EngineCycles, EveryCompletionRunsOnceHoweverThePlayerStopsBeingRendered) {
    const auto destroy = [](Device& d, std::shared_ptr<AudioPlayerNode>& player) {
        d.engine->detach(player);
        player.reset();
    };
    const std::tuple<const char*, std::function<void(Device&, std::shared_ptr<AudioPlayerNode>&)>, int>
        ends[] = {
            {"detach", [](Device& d, auto& player) { d.engine->detach(player); }, 100},
            {"engine stop", [](Device& d, auto&) { d.engine->stop(); }, 100},
            {"player stop", [](Device&, auto& player) { player->stop(); }, 100},
            {"destruction", destroy, 100},
            {"destruction with buffers still scheduled", destroy, 30},
        };
    for (const auto& [name, end, percentPlayed] : ends) {
        SCOPED_TRACE(name);
        Device d;
        auto player = AudioPlayerNode::make();
        ASSERT_TRUE(d.engine->attach(player));
        ASSERT_TRUE(d.engine->connect(player, d.engine->mainMixerNode(), std::nullopt));
        const int segments = 4200;
        auto counts = std::make_shared<std::vector<std::atomic<int>>>(segments);
        auto piece = PCMBuffer::make(player->outputFormat(0), 8);
        piece->setFrameLength(8);
        for (int i = 0; i < segments; ++i)
            ASSERT_TRUE(player->scheduleBuffer(piece, std::nullopt, 0,
                                               AudioPlayerNode::CompletionCallbackType::dataPlayedBack,
                                               [counts, i](auto) { ++(*counts)[i]; }));
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> held{false};
        ASSERT_TRUE(d.engine->mainMixerNode()->installTap(0, 512, std::nullopt, [&, released](auto, auto) {
            if (!held.exchange(true)) released.wait_for(std::chrono::seconds(60));
        }));
        player->play();
        d.engine->start();
        for (int i = 0; i < (segments * 8 / 512 + 2) * percentPlayed / 100; ++i)
            ASSERT_TRUE(d.fake->tick(512));
        release.set_value();
        ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
        end(d, player);
        ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
        d.engine->stop();
        int once = 0;
        for (const auto& count : *counts)
            once += count.load() == 1;
        EXPECT_EQ(once, segments);
    }
}

// The input device's format, given with a new I/O backend, reaches the inputs the input node feeds:
// the ring is read as fast as the device fills it.
TEST(EngineCycles, ANewInputRateReachesTheInputsConnection) {
    const std::pair<double, double> changes[] = {{44100, 48000}, {48000, 44100}, {44100, 22050}};
    for (const auto& [from, to] : changes) {
        SCOPED_TRACE(to);
        Device d;
        d.fake->setInputFormat(*AudioFormat::standard(from, 2));
        d.engine->setIOBackend(d.fake->makeIO());
        auto input = d.engine->inputNode();
        input->setVolume(0);
        auto main = d.engine->mainMixerNode();
        ASSERT_TRUE(d.engine->connect(input, main, std::nullopt));
        d.fake->setInputFormat(*AudioFormat::standard(to, 2));
        d.engine->setIOBackend(d.fake->makeIO());
        EXPECT_EQ(input->outputFormat(0).sampleRate(), to);
        EXPECT_EQ(main->inputFormat(0).sampleRate(), to);
        std::uint32_t recorderRate = 0;
        ASSERT_TRUE(input->installTap(
            0, 512, std::nullopt,
            [&](auto buffer, auto) { recorderRate = std::uint32_t(buffer->format().sampleRate()); },
            AudioNode::TapKind::recorder));
        d.engine->start();
        // A hundredth of a second each cycle, on both sides.
        const auto captured = std::uint32_t(to / 100);
        auto block = PCMBuffer::make(*AudioFormat::standard(to, 2), captured);
        block->setFrameLength(captured);
        for (int i = 0; i < 400; ++i) {
            d.fake->feedInput(*block);
            ASSERT_TRUE(d.fake->tick(441));
            if (i % 50 == 0) {
                ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
            }
        }
        ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
        EXPECT_EQ(recorderRate, std::uint32_t(to));
        EXPECT_EQ(d.fake->captureRing()->overrunFrames(), 0u);
    }
}

// A key pressed while the engine runs plays in the first cycle that renders the sampler after it,
// however seldom or late that cycle comes: a converter that takes 512 frames at a time renders a
// 44.1 kHz sampler only every few 64-frame cycles of a 48 kHz device, and a busy machine starts a cycle
// late.
TEST(EngineCycles, EveryKeyPressedWhileTheEngineRunsPlays) {
    // The device's rate, and how late after its start each cycle is stamped.
    for (const auto& row :
         {std::pair{48000.0, std::uint64_t(0)}, {44100.0, HostClock::ticksPerSecond / 50}}) {
        const double rate = row.first;
        const std::uint64_t late = row.second;
        SCOPED_TRACE(rate);
        Device d(rate);
        auto sampler = AudioUnitSampler::make();
        ASSERT_TRUE(d.engine->attach(sampler));
        ASSERT_TRUE(d.engine->connect(sampler, d.engine->mainMixerNode(), *AudioFormat::standard(44100, 2)));
        d.engine->start();
        auto next = std::chrono::steady_clock::now();
        const auto cycle = [&] { // 64 frames, at the device's pace
            next += std::chrono::nanoseconds(std::int64_t(64e9 / rate));
            std::this_thread::sleep_until(next);
            return d.fake->tick(64, HostClock::system().now() + late) != nullptr;
        };
        for (std::uint8_t key = 24; key < 24 + 78; ++key) {
            sampler->startNote(key, 100, 0);
            ASSERT_TRUE(cycle());
            sampler->stopNote(key, 0);
        }
        for (int i = 0; i < 16; ++i)
            ASSERT_TRUE(cycle());
        const auto received = sampler->receivedMIDI();
        EXPECT_EQ(
            std::count_if(received.begin(), received.end(), [](const auto& m) { return m.bytes[0] == 0x90; }),
            78);
        EXPECT_EQ(sampler->auAudioUnit()->lateNotesDropped(), 0u);
    }
}

// Notes sent while nothing renders the sampler would all start in the first frame it renders again, as
// one loud chord, whatever clock the device's cycles carry: the engine marks where rendering ended, and
// what waited across it is dropped, counted and told once. What ends a note still applies, and a note
// sent once it renders plays.
TEST(EngineCycles, NotesSentWhileNothingRendersNeverPlayAsOneBurst) {
    const std::pair<const char*, std::function<void(Device&, std::shared_ptr<AudioUnitSampler>&, bool)>>
        pauses[] = {
            {"engine stopped",
             [](Device& d, auto&, bool pausing) {
                 if (pausing) {
                     d.engine->stop();
                 } else {
                     d.engine->start();
                 }
             }},
            {"sampler detached",
             [](Device& d, auto& sampler, bool pausing) {
                 if (pausing) {
                     d.engine->detach(sampler);
                 } else {
                     ASSERT_TRUE(d.engine->attach(sampler));
                     ASSERT_TRUE(d.engine->connect(sampler, d.engine->mainMixerNode(), std::nullopt));
                 }
             }},
        };
    for (int row = 0; row < 4; ++row) {
        const auto& [name, pause] = pauses[row % 2];
        const bool hostTime = row < 2; // the fake device's cycles may carry none
        SCOPED_TRACE(std::string(name) + (hostTime ? ", with host time" : ", without"));
        Device d;
        auto sampler = AudioUnitSampler::make();
        ASSERT_TRUE(d.engine->attach(sampler));
        ASSERT_TRUE(d.engine->connect(sampler, d.engine->mainMixerNode(), std::nullopt));
        d.engine->start();
        const auto now = [hostTime](std::uint64_t later = 0) -> std::optional<std::uint64_t> {
            if (!hostTime) return std::nullopt;
            return HostClock::system().now() + later;
        };
        sampler->startNote(60, 100, 0);
        ASSERT_TRUE(d.fake->tick(512, now()));
        ASSERT_EQ(sampler->activeVoiceCount(), 1u);
        pause(d, sampler, true);
        for (int i = 0; i < 375; ++i)
            sampler->startNote(std::uint8_t(i % 125), 100, std::uint8_t(i / 125));
        sampler->stopNote(60, 0);
        ScopedLogCapture capture;
        pause(d, sampler, false);
        // The device resumes a tenth of a second later.
        float peak = 0;
        for (int i = 0; i < 8; ++i) {
            auto out = d.fake->tick(512, now(HostClock::ticksPerSecond / 10 + std::uint64_t(i) * 11'609'977));
            ASSERT_TRUE(out);
            for (std::uint32_t f = 0; f < 512; ++f)
                peak = std::max(peak, std::fabs(out->floatChannelData()[0][f]));
        }
        EXPECT_LE(peak, 0.5f);
        EXPECT_EQ(sampler->activeVoiceCount(), 0u);
        EXPECT_EQ(sampler->auAudioUnit()->lateNotesDropped(), 375u);
        const auto received = sampler->receivedMIDI();
        EXPECT_EQ(
            std::count_if(received.begin(), received.end(), [](const auto& m) { return m.bytes[0] != 0x80; }),
            1); // the note played before the pause
        ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
        d.engine->stop(); // the tap thread has told what it was told
        EXPECT_EQ(capture.lines(),
                  (std::vector<std::string>{
                      "MIDI: 375 notes dropped, they waited while their unit was not rendered"}));
        d.engine->start();
        sampler->startNote(64, 100, 0);
        ASSERT_TRUE(d.fake->tick(512, now()));
        EXPECT_EQ(sampler->activeVoiceCount(), 1u);
    }
}

// The capture ring drops the newest frames when full: the silence for them sits after every frame it
// held, where they were lost, whatever the recorder's block size.
TEST(EngineCycles, SilenceForAnOverrunSitsWhereTheFramesWereLost) {
    for (const std::uint32_t block : {256u, 1000u, 4096u}) {
        SCOPED_TRACE(block);
        Device d;
        const AudioFormat format = mono(44100);
        d.fake->setInputFormat(format);
        d.engine->setIOBackend(d.fake->makeIO());
        auto input = d.engine->inputNode();
        input->setVolume(0);
        ASSERT_TRUE(d.engine->connect(input, d.engine->mainMixerNode(), std::nullopt));
        std::vector<float> take;
        std::uint64_t silence = 0;
        ASSERT_TRUE(input->installTap(
            0, block, std::nullopt,
            [&](std::shared_ptr<PCMBuffer> buffer, AudioTime) {
                const float* samples = buffer->floatChannelData()[0];
                take.insert(take.end(), samples, samples + buffer->frameLength());
            },
            AudioNode::TapKind::recorder, [&](std::uint32_t frames) { silence += frames; }));
        d.engine->start();
        // Frame t of the device is t + 1; 256 frames more than the ring holds.
        std::int64_t captured = 0;
        const auto capture = [&](std::uint32_t frames) {
            auto buffer = PCMBuffer::make(format, frames);
            for (std::uint32_t i = 0; i < frames; ++i)
                buffer->floatChannelData()[0][i] = float(captured + i + 1);
            buffer->setFrameLength(frames);
            captured += frames;
            return d.fake->feedInput(*buffer);
        };
        ASSERT_EQ(capture(8448), 8192u);
        for (int i = 0; i < 48; ++i) {
            ASSERT_TRUE(d.fake->tick(256));
            ASSERT_EQ(capture(256), 256u);
        }
        input->removeTap(0); // the block it was filling follows
        ASSERT_TRUE(d.engine->waitForTapDeliveries(std::chrono::seconds(60)));
        ASSERT_GE(take.size(), 48u * 256 + 256 - block);
        for (std::size_t t = 0; t < take.size(); ++t) {
            const float expected = t < 8192 ? float(t + 1) : t < 8448 ? 0.0f : float(t + 1);
            ASSERT_EQ(take[t], expected) << t;
        }
        EXPECT_EQ(silence, 256u);
    }
}

// Choosing as the output the device that is also the default input makes one duplex stream, whose
// input runs at the output's rate: the input node and what it feeds take that rate, stopped or running.
TEST(EngineCycles, ChoosingTheInputsDeviceAsTheOutputGivesTheInputTheStreamsRate) {
    for (const bool running : {false, true}) {
        SCOPED_TRACE(running);
        Device d;
        d.fake->addDevice("Speakers", {}, {2});
        const auto headset = d.fake->addDevice("Headset", {2}, {2});
        d.fake->setOutputFormat(*AudioFormat::standard(48000, 2));
        d.fake->setInputFormat(*AudioFormat::standard(44100, 2));
        d.engine->setIOBackend(d.fake->makeIO());
        auto input = d.engine->inputNode();
        input->setVolume(0);
        auto main = d.engine->mainMixerNode();
        ASSERT_TRUE(d.engine->connect(input, main, std::nullopt));
        if (running) d.engine->start();
        d.fake->setInputFormat(*AudioFormat::standard(48000, 2)); // what the duplex stream captures
        ASSERT_EQ(AudioUnitSetProperty(d.engine->outputNode()->audioUnit(),
                                       kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                       &headset, sizeof headset),
                  noErr);
        EXPECT_EQ(input->outputFormat(0).sampleRate(), 48000.0);
        EXPECT_EQ(main->inputFormat(0).sampleRate(), 48000.0);
        if (!running) d.engine->start();
        ASSERT_TRUE(d.fake->captureRing());
        auto block = PCMBuffer::make(*AudioFormat::standard(48000, 2), 480);
        block->setFrameLength(480);
        for (int i = 0; i < 400; ++i) {
            d.fake->feedInput(*block);
            ASSERT_TRUE(d.fake->tick(480));
        }
        EXPECT_EQ(d.fake->captureRing()->overrunFrames(), 0u);
    }
}
