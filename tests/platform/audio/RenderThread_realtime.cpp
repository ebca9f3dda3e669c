// Counts, on the thread that renders, the heap allocations, the calls that can block and file I/O
// (testing/lifecycle/RenderThreadCounts.h). Built apart from the other tests, and not under
// ThreadSanitizer, whose interceptors the counting would replace.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitSampler.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/taps/AmplitudeTap.h"
#include "sonabel/taps/FFTTap.h"
#include "sonabel/taps/MultiChannelInputNodeTap.h"
#include "sonabel/taps/NodeRecorder.h"
#include "sonabel/taps/RawDataTap.h"
#include "testing/Eventually.h"
#include "testing/lifecycle/RenderThreadCounts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

using namespace platform;

constexpr std::uint32_t kBlock = 512;
constexpr int kWarmUp = 50;
constexpr int kCounted = 3000;
// Far beyond what a loaded or emulated machine needs; a tap thread that hangs fails the test.
constexpr auto kDeadline = std::chrono::seconds(60);

// A platform node as the framework's taps take it.
class Wrapped : public sonabel::Node {
public:
    explicit Wrapped(std::shared_ptr<AudioNode> node) : node_(std::move(node)) {}
    std::vector<std::shared_ptr<sonabel::Node>> connections() const override { return {}; }
    std::shared_ptr<AudioNode> avAudioNode() const override { return node_; }

private:
    std::shared_ptr<AudioNode> node_;
};

std::shared_ptr<PCMBuffer> sine(const AudioFormat& format, std::uint32_t frames, double frequency) {
    auto buffer = PCMBuffer::make(format, frames);
    for (std::uint32_t c = 0; c < format.channelCount(); ++c)
        for (std::uint32_t i = 0; i < frames; ++i)
            buffer->floatChannelData()[c][i] =
                0.25f * float(std::sin(2 * M_PI * frequency * i / format.sampleRate()));
    buffer->setFrameLength(frames);
    return buffer;
}

struct Counts {
    long allocations = 0;
    long blockingCalls = 0;
    long fileCalls = 0;
    int unrendered = 0; // cycles that rendered nothing
};

// The graph a user builds: a looping player, a player playing a file, a sampler and a generator into
// the mixer, which runs at 44.1 kHz and feeds an output at another rate; the input, at a third rate,
// into the mixer too. Every kind of tap listens, and both recorders record. While it renders, one
// thread plays notes on the sampler and a UI thread changes volumes, pans and parameters, schedules
// file segments, interrupts the looping player, reads formats and connects and disconnects a node.
// `render` runs one cycle as the rendering thread would.
class RealTimeGraph {
public:
    // `block`: the frames of a device cycle at 48 kHz; `counted`: the cycles counted.
    explicit RealTimeGraph(std::uint32_t block = kBlock, int counted = kCounted)
        : block_(block), counted_(counted),
          dir_(std::filesystem::temp_directory_path() / ("sonabel-realtime-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir_);
        sonabel::NodeRecorder::setTemporaryDirectory(dir_.string());
        sonabel::Settings::setWaitBeforeRecorderStop(false);
    }
    ~RealTimeGraph() {
        sonabel::NodeRecorder::setTemporaryDirectory(std::nullopt);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void build(AudioEngine& engine) {
        const auto mixerFormat = *AudioFormat::standard(44100, 2);
        player_ = AudioPlayerNode::make();
        engine.attach(player_);
        engine.connect(player_, engine.mainMixerNode(), mixerFormat);
        loop_ = sine(mixerFormat, 4410, 1000);
        player_->scheduleBuffer(loop_, std::nullopt, AudioPlayerNode::loops);
        player_->play();
        generator_ = AudioSourceNode::make([](bool&, const AudioTime& time, std::uint32_t frames,
                                              float* const* out, std::uint32_t channels) {
            for (std::uint32_t c = 0; c < channels; ++c)
                for (std::uint32_t i = 0; i < frames; ++i)
                    out[c][i] = float((time.sampleTime() + i) % 100) / 400.0f;
            return noErr;
        });
        engine.attach(generator_);
        engine.connect(generator_, engine.mainMixerNode(), mixerFormat);
        // A source at another rate that two inputs convert: it renders once for both.
        twin_ = AudioSourceNode::make([](bool&, const AudioTime& time, std::uint32_t frames,
                                         float* const* out, std::uint32_t channels) {
            for (std::uint32_t c = 0; c < channels; ++c)
                for (std::uint32_t i = 0; i < frames; ++i)
                    out[c][i] = float((time.sampleTime() + i) % 64) / 512.0f;
            return noErr;
        });
        engine.attach(twin_);
        {
            auto mixer = engine.mainMixerNode();
            const std::uint32_t bus = mixer->nextAvailableInputBus();
            engine.connect(twin_, {{mixer, bus}, {mixer, bus + 1}}, 0, *AudioFormat::standard(32000, 2));
        }
        file_ = AudioFile::forReading(writeFile(mixerFormat));
        filePlayer_ = AudioPlayerNode::make();
        engine.attach(filePlayer_);
        engine.connect(filePlayer_, engine.mainMixerNode(), mixerFormat);
        scheduleFileSegments();
        filePlayer_->play();
        sampler_ = AudioUnitSampler::make();
        engine.attach(sampler_);
        engine.connect(sampler_, engine.mainMixerNode(), mixerFormat);
        spare_ = AudioSourceNode::make(
            [](bool& silent, const AudioTime&, std::uint32_t, float* const*, std::uint32_t) {
                silent = true;
                return noErr;
            });
        engine.attach(spare_);
        engine.disconnectNodeOutput(engine.mainMixerNode());
        engine.connect(engine.mainMixerNode(), engine.outputNode(), 0u, 0u, mixerFormat);
        auto input = engine.inputNode();
        input->setVolume(0.5f);
        engine.connect(input, engine.mainMixerNode(), input->outputFormat(0));
        ASSERT_NE(input->outputFormat(0).sampleRate(), 44100.0);
        ASSERT_NE(engine.outputNode()->outputFormat(0).sampleRate(), 44100.0);
    }

    void startTaps(AudioEngine& engine) {
        auto input = engine.inputNode();
        amplitude_ = std::make_shared<sonabel::AmplitudeTap>(std::make_shared<Wrapped>(player_), 1024);
        fft_ = std::make_shared<sonabel::FFTTap>(std::make_shared<Wrapped>(engine.mainMixerNode()), 2048);
        raw_ = std::make_shared<sonabel::RawDataTap>(std::make_shared<Wrapped>(engine.outputNode()), 512);
        for (sonabel::BaseTap* tap :
             {static_cast<sonabel::BaseTap*>(amplitude_.get()), static_cast<sonabel::BaseTap*>(fft_.get()),
              static_cast<sonabel::BaseTap*>(raw_.get())}) {
            tap->setMainQueue(queue_);
            tap->start();
        }
        recorder_ = std::make_shared<sonabel::NodeRecorder>(std::make_shared<Wrapped>(generator_));
        recorder_->record();
        ASSERT_TRUE(recorder_->isRecording());
        multi_ = std::make_shared<sonabel::MultiChannelInputNodeTap>(input, clock_);
        multi_->setDirectory(dir_.string());
        multi_->setBufferSize(1024);
        multi_->configure(std::vector<std::int32_t>{1, 0});
        multi_->record();
        ASSERT_TRUE(multi_->recordEnabled());
    }

    // Renders warm-up cycles, then counts over the rest, with the MIDI and UI threads running;
    // `between` runs outside the count (the device's input side, the main queue).
    template <typename Render, typename Between>
    Counts run(AudioEngine& engine, Render render, Between between) {
        Counts counts;
        std::atomic<bool> done{false};
        std::thread midi([&] {
            const auto block = *sampler_->auAudioUnit()->scheduleMIDIEventBlock();
            for (std::uint8_t note = 0; !done.load(); note = std::uint8_t((note + 1) % 12)) {
                sampler_->startNote(std::uint8_t(60 + note), 100, 0);
                sampler_->stopNote(std::uint8_t(60 + note), 0);
                // A note whose time passed long ago: rendering plays it at once, and ends it.
                const std::uint8_t late[2][3] = {{0x90, std::uint8_t(40 + note), 100},
                                                 {0x80, std::uint8_t(40 + note), 0}};
                if (note == 0)
                    for (const auto* message : late)
                        block(1, 0, 3, message);
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
        std::thread ui([&] {
            auto mixer = engine.mainMixerNode();
            const auto parameter = sampler_->auAudioUnit()->scheduleParameterBlock();
            for (int i = 0; !done.load(); ++i) {
                player_->setVolume(i % 2 ? 0.9f : 1.0f);
                filePlayer_->setPan(float(i % 3 - 1) * 0.5f);
                mixer->setOutputVolume(i % 2 ? 1.0f : 0.95f);
                parameter(AUEventSampleTimeImmediate, 0, 1, float(i % 10) / 10);
                scheduleFileSegments();
                if (i % 20 == 5)
                    player_->scheduleBuffer(
                        loop_, std::nullopt, AudioPlayerNode::loops | AudioPlayerNode::interrupts,
                        AudioPlayerNode::CompletionCallbackType::dataConsumed, [](auto) {});
                EXPECT_EQ(filePlayer_->outputFormat(0).sampleRate(), 44100.0);
                if (i % 20 == 0) engine.connect(spare_, mixer, filePlayer_->outputFormat(0));
                if (i % 20 == 10) engine.disconnectNodeOutput(spare_);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        for (int i = 0; i < kWarmUp + counted_; ++i) {
            between();
            if (i == kWarmUp) renderthread::resetCounts();
            renderthread::setRendering(true);
            const bool rendered = render();
            renderthread::setRendering(false);
            if (!rendered) ++counts.unrendered;
            if (i % 25 == 0) {
                // Ticks come far faster than a device's: the tap thread gets to keep up.
                EXPECT_TRUE(engine.waitForTapDeliveries(kDeadline));
                driver_.runUntilIdle();
            }
        }
        const renderthread::Counts counted = renderthread::counts();
        counts.allocations = counted.allocations;
        counts.blockingCalls = counted.blockingCalls;
        counts.fileCalls = counted.fileCalls;
        done = true;
        midi.join();
        ui.join();
        EXPECT_TRUE(engine.waitForTapDeliveries(kDeadline));
        driver_.runUntilIdle();
        EXPECT_FALSE(sampler_->receivedMIDI().empty());
        return counts;
    }

    void playNotes() {
        for (std::uint8_t note = 60; note < 72; ++note)
            sampler_->startNote(note, 100, 0);
    }
    std::uint64_t notesDropped() const { return sampler_->auAudioUnit()->lateNotesDropped(); }

    // What the taps saw, once they stopped.
    void stopAndCheck(AudioEngine& engine) {
        EXPECT_TRUE(engine.waitForTapDeliveries(kDeadline));
        recorder_->stop();
        multi_->stop();
        driver_.runUntilIdle();
        EXPECT_GT(amplitude_->leftAmplitude(), 0.1f);
        EXPECT_FALSE(fft_->fftData().empty());
        EXPECT_FALSE(raw_->data().empty());
        // Every block at 48 kHz, less what the last unfinished tap buffer holds.
        EXPECT_GT(recorder_->recordedDuration(), double(kWarmUp + counted_) * block_ / 48000 - 0.5);
        for (const auto& file : multi_->files())
            EXPECT_GT(file->totalFramesWritten(), std::int64_t(counted_) * block_ / 2);
        amplitude_->stop();
        fft_->stop();
        raw_->stop();
        multi_->setRecordEnabled(false);
    }

    std::uint64_t filePlayerUnderruns() const { return filePlayer_->readAheadUnderruns(); }

private:
    // A second of sound, played by the file player a segment at a time.
    std::string writeFile(const AudioFormat& format) {
        const std::string path = (dir_ / "played.wav").string();
        AudioFile::forWriting(path, format.settings())->write(*sine(format, 44100, 300));
        return path;
    }
    // Keeps three segments ahead of the file player; on the UI thread once rendering runs.
    void scheduleFileSegments() {
        while (scheduled_ - segmentsDone_.load() < 3) {
            ASSERT_TRUE(filePlayer_->scheduleSegment(file_, 0, 44100, std::nullopt,
                                                     AudioPlayerNode::CompletionCallbackType::dataConsumed,
                                                     [this](auto) { segmentsDone_.fetch_add(1); }));
            ++scheduled_;
        }
    }

    std::uint32_t block_;
    int counted_;
    std::filesystem::path dir_;
    ManualClock clock_;
    MainQueue queue_{clock_};
    TestMainQueueDriver driver_{queue_, clock_};
    std::shared_ptr<AudioPlayerNode> player_;
    std::shared_ptr<PCMBuffer> loop_;
    std::shared_ptr<AudioSourceNode> generator_;
    std::shared_ptr<AudioSourceNode> twin_;
    std::shared_ptr<AudioFile> file_;
    std::shared_ptr<AudioPlayerNode> filePlayer_;
    int scheduled_ = 0;
    std::atomic<int> segmentsDone_{0};
    std::shared_ptr<AudioUnitSampler> sampler_;
    std::shared_ptr<AudioSourceNode> spare_;
    std::shared_ptr<sonabel::AmplitudeTap> amplitude_;
    std::shared_ptr<sonabel::FFTTap> fft_;
    std::shared_ptr<sonabel::RawDataTap> raw_;
    std::shared_ptr<sonabel::NodeRecorder> recorder_;
    std::shared_ptr<sonabel::MultiChannelInputNodeTap> multi_;
};

TEST(RenderThread, FakeDeviceTicksNeitherAllocateNorBlock) {
    ScopedLogCapture quiet;
    RealTimeGraph graph;
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setOutputFormat(*AudioFormat::standard(48000, 2));
    fake->setInputFormat(*AudioFormat::standard(32000, 2));
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    graph.build(*engine);
    graph.startTaps(*engine);
    engine->start();
    // What the input device captures in one block's time, fed as its own callback would.
    auto captured = sine(*AudioFormat::standard(32000, 2), 372, 440);
    std::uint64_t host = 1'000'000'000;
    const Counts counts = graph.run(
        *engine,
        [&] {
            host += 10'666'667;
            // A cycle that renders moves the engine's sample time on.
            const std::int64_t before = engine->manualRenderingSampleTime();
            auto out = fake->tick(kBlock, host);
            return out && out->frameLength() == kBlock &&
                   engine->manualRenderingSampleTime() == before + std::int64_t(kBlock);
        },
        [&] { fake->feedInput(*captured); });
    graph.stopAndCheck(*engine);
    engine->stop();
    EXPECT_EQ(counts.allocations, 0);
    EXPECT_EQ(counts.blockingCalls, 0);
    EXPECT_EQ(counts.fileCalls, 0);
    EXPECT_EQ(counts.unrendered, 0);
}

// Stops and starts of the engine while the input is recorded (each start makes a new capture ring),
// and resets of the sampler with notes sent right after them.
TEST(RenderThread, RestartsAndResetsNeitherAllocateNorBlock) {
    ScopedLogCapture quiet;
    RealTimeGraph graph;
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setOutputFormat(*AudioFormat::standard(48000, 2));
    fake->setInputFormat(*AudioFormat::standard(32000, 2));
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    graph.build(*engine);
    graph.startTaps(*engine);
    engine->start();
    auto captured = sine(*AudioFormat::standard(32000, 2), 372, 440);
    std::uint64_t host = 1'000'000'000;
    int cycle = 0;
    const Counts counts = graph.run(
        *engine,
        [&] {
            host += 10'666'667;
            auto out = fake->tick(kBlock, host);
            return out && out->frameLength() == kBlock;
        },
        [&] {
            if (++cycle % 200 == 0) {
                engine->stop();
                graph.playNotes(); // a backlog, dropped by the first cycle
                engine->start();
                // A burst the ring cannot hold: the first cycle of the new ring counts its losses.
                for (int i = 0; i < 40; ++i)
                    fake->feedInput(*captured);
            }
            if (cycle % 200 == 100) {
                engine->reset();
                graph.playNotes();
            }
            fake->feedInput(*captured);
        });
    graph.stopAndCheck(*engine);
    EXPECT_GE(graph.notesDropped(), 12u);
    engine->stop();
    EXPECT_EQ(counts.allocations, 0);
    EXPECT_EQ(counts.blockingCalls, 0);
    EXPECT_EQ(counts.fileCalls, 0);
    EXPECT_EQ(counts.unrendered, 0);
}

TEST(RenderThread, ManualRenderingInRealTimeNeitherAllocatesNorBlocks) {
    ScopedLogCapture quiet;
    RealTimeGraph graph;
    auto engine = AudioEngine::make();
    const auto format = *AudioFormat::standard(48000, 2);
    engine->enableManualRenderingMode(AudioEngine::ManualRenderingMode::realtime, format, kBlock);
    auto device = sine(*AudioFormat::standard(32000, 2), kBlock, 440);
    engine->inputNode()->setManualRenderingInputPCMFormat(device->format(),
                                                          [&](std::uint32_t) { return device.get(); });
    graph.build(*engine);
    graph.startTaps(*engine);
    engine->start();
    auto out = PCMBuffer::make(format, kBlock);
    const Counts counts = graph.run(
        *engine,
        [&] { return engine->renderOffline(kBlock, *out) == AudioEngine::ManualRenderingStatus::success; },
        [] {});
    graph.stopAndCheck(*engine);
    engine->stop();
    EXPECT_EQ(counts.allocations, 0);
    EXPECT_EQ(counts.blockingCalls, 0);
    EXPECT_EQ(counts.fileCalls, 0);
    EXPECT_EQ(counts.unrendered, 0);
}

// Held by the test as a slow disk would hold it.
std::atomic<bool> readerHeld{false};

TEST(RenderThread, LongDevicePeriodsAndAStalledFileReaderNeitherAllocateNorBlock) {
    constexpr std::uint32_t kPeriod = 8192;
    constexpr int kLongCounted = 200;
    ScopedLogCapture quiet;
    RealTimeGraph graph(kPeriod, kLongCounted);
    auto fake = std::make_shared<FakeAudioDeviceBackend>();
    fake->setOutputFormat(*AudioFormat::standard(48000, 2));
    fake->setInputFormat(*AudioFormat::standard(32000, 2));
    fake->setBufferFrameSize(kPeriod);
    auto engine = AudioEngine::make();
    engine->setIOBackend(fake->makeIO());
    graph.build(*engine);
    graph.startTaps(*engine);
    AudioPlayerNode::setReaderPassHookForTesting(
        [] { EXPECT_TRUE(testwait::eventually([] { return !readerHeld.load(); })); });
    engine->start();
    auto captured = sine(*AudioFormat::standard(32000, 2), kPeriod * 2 / 3, 440);
    std::uint64_t host = 1'000'000'000;
    int cycle = 0;
    const Counts counts = graph.run(
        *engine,
        [&] {
            host += 170'666'667;
            const std::int64_t before = engine->manualRenderingSampleTime();
            auto out = fake->tick(kPeriod, host);
            return out && out->frameLength() == kPeriod &&
                   engine->manualRenderingSampleTime() == before + std::int64_t(kPeriod);
        },
        [&] {
            // For a quarter of the counted cycles the file player's reader reads nothing.
            readerHeld = cycle >= kWarmUp + kLongCounted / 4 && cycle < kWarmUp + kLongCounted / 2;
            ++cycle;
            fake->feedInput(*captured);
        });
    readerHeld = false;
    graph.stopAndCheck(*engine);
    engine->stop();
    AudioPlayerNode::setReaderPassHookForTesting(nullptr);
    EXPECT_GT(graph.filePlayerUnderruns(), 0u);
    EXPECT_EQ(counts.allocations, 0);
    EXPECT_EQ(counts.blockingCalls, 0);
    EXPECT_EQ(counts.fileCalls, 0);
    EXPECT_EQ(counts.unrendered, 0);
}

} // namespace
