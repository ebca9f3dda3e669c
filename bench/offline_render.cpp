// 60 s of stereo 44.1 kHz through player -> mixer -> main mixer, rendered offline: without taps, and
// with an amplitude tap, an FFT tap and a node recorder writing a file. Each run also times a plain
// copy of the same frames block by block (the memory limit) and reports both renders as ratios to it.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "sonabel/taps/AmplitudeTap.h"
#include "sonabel/taps/FFTTap.h"
#include "sonabel/taps/NodeRecorder.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace {

constexpr double kRate = 44100;
constexpr std::uint32_t kSeconds = 60;
constexpr std::uint32_t kFrames = std::uint32_t(kRate) * kSeconds;
constexpr std::uint32_t kBlock = 4096;

platform::AudioFormat stereo() {
    return *platform::AudioFormat::standard(kRate, 2);
}

std::shared_ptr<platform::PCMBuffer> sourceBuffer() {
    static auto buffer = [] {
        auto b = platform::PCMBuffer::make(stereo(), kFrames);
        for (std::uint32_t c = 0; c < 2; ++c)
            for (std::uint32_t i = 0; i < kFrames; ++i)
                b->floatChannelData()[c][i] = 0.5f * std::sin(float(i) * (c ? 0.02f : 0.01f));
        b->setFrameLength(kFrames);
        return b;
    }();
    return buffer;
}

class Wrapped : public sonabel::Node {
public:
    explicit Wrapped(std::shared_ptr<platform::AudioNode> node) : node_(std::move(node)) {}
    std::vector<std::shared_ptr<sonabel::Node>> connections() const override { return {}; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return node_; }

private:
    std::shared_ptr<platform::AudioNode> node_;
};

using Clock = std::chrono::steady_clock;

double copyPass() {
    auto source = sourceBuffer();
    auto out = platform::PCMBuffer::make(stereo(), kBlock);
    const auto start = Clock::now();
    for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
        const std::uint32_t n = std::min(kBlock, kFrames - done);
        for (std::uint32_t c = 0; c < 2; ++c)
            std::memcpy(out->floatChannelData()[c], source->floatChannelData()[c] + done, n * sizeof(float));
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds for the render loop; with taps, until the recorder's file holds every frame.
double renderPass(bool taps) {
    platform::ScopedLogCapture quiet;
    platform::ManualClock clock;
    platform::MainQueue queue{clock};
    platform::TestMainQueueDriver driver{queue, clock};
    auto engine = platform::AudioEngine::make();
    engine->enableManualRenderingMode(platform::AudioEngine::ManualRenderingMode::offline, stereo(), kBlock);
    auto player = platform::AudioPlayerNode::make();
    auto mixer = platform::AudioMixerNode::make();
    engine->attach(player);
    engine->attach(mixer);
    engine->connect(player, mixer, stereo());
    engine->connect(mixer, engine->mainMixerNode(), stereo());
    player->scheduleBuffer(sourceBuffer());
    const auto path =
        std::filesystem::temp_directory_path() / ("sonabel-bench-" + std::to_string(::getpid()) + ".caf");
    std::shared_ptr<sonabel::AmplitudeTap> amplitude;
    std::shared_ptr<sonabel::FFTTap> fft;
    std::shared_ptr<sonabel::NodeRecorder> recorder;
    if (taps) {
        amplitude = std::make_shared<sonabel::AmplitudeTap>(std::make_shared<Wrapped>(player), 4096);
        fft = std::make_shared<sonabel::FFTTap>(std::make_shared<Wrapped>(mixer), 2048);
        amplitude->setMainQueue(queue);
        fft->setMainQueue(queue);
        amplitude->start();
        fft->start();
        recorder = std::make_shared<sonabel::NodeRecorder>(
            std::make_shared<Wrapped>(engine->mainMixerNode()),
            platform::AudioFile::forWriting(path.string(), stereo().settings()));
        recorder->record();
    }
    engine->start();
    player->play();
    auto out = platform::PCMBuffer::make(stereo(), kBlock);
    float checksum = 0;
    const auto start = Clock::now();
    for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
        engine->renderOffline(std::min(kBlock, kFrames - done), *out);
        checksum += out->floatChannelData()[1][0];
    }
    engine->waitForTapDeliveries();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    benchmark::DoNotOptimize(checksum);
    if (taps) {
        recorder->stop();
        amplitude->stop();
        fft->stop();
        driver.runUntilIdle();
        std::filesystem::remove(path);
    }
    engine->stop();
    return seconds;
}

void offlineRender(benchmark::State& state) {
    double copy = 0, plain = 0, tapped = 0;
    for (auto _ : state) {
        copy += copyPass();
        plain += renderPass(false);
        tapped += renderPass(true);
    }
    const double runs = double(state.iterations());
    state.counters["copy_ms"] = copy / runs * 1e3;
    state.counters["render_ms"] = plain / runs * 1e3;
    state.counters["taps_ms"] = tapped / runs * 1e3;
    state.counters["render_ratio"] = plain / copy; // goal <= 2
    state.counters["taps_ratio"] = tapped / copy;  // goal <= 3
    state.counters["realtime_factor"] = kSeconds * runs / plain;
}

} // namespace

BENCHMARK(offlineRender)->Unit(benchmark::kMillisecond)->Iterations(5);
