// 60 s of stereo 44.1 kHz through player -> mixer -> main mixer, rendered offline: without taps, and
// with an amplitude tap, an FFT tap and a node recorder writing a file. Each run also times a plain
// copy of the same frames block by block (the memory limit) and reports the render without taps as a
// ratio to it. Writing a file costs far more than a copy, so the render with taps is measured against
// a plain loop doing the same work without the framework: it copies the frames, takes the same RMS
// and the same FFT through the DSP code directly and writes the same frames to a file of the same
// format through AudioFile. That ratio is the framework's overhead on top of the work itself.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/dsp/FFT.h"
#include "platform/audio/dsp/VectorOps.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/core/MainQueue.h"
#include "sonabel/taps/AmplitudeTap.h"
#include "sonabel/taps/FFTTap.h"
#include "sonabel/taps/NodeRecorder.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <vector>

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

std::filesystem::path scratchPath() {
    return std::filesystem::temp_directory_path() / ("sonabel-bench-" + std::to_string(::getpid()) + ".caf");
}

constexpr std::uint32_t kAmplitudeSize = 4096;
constexpr std::uint32_t kFFTSize = 2048;

// What the tapped render does, without the framework: the same frames copied, measured and written.
double plainWorkPass() {
    auto source = sourceBuffer();
    auto out = platform::PCMBuffer::make(stereo(), kBlock);
    const auto path = scratchPath();
    auto file = platform::AudioFile::forWriting(path.string(), stereo().settings());
    std::vector<float> window(kFFTSize), transfer(kFFTSize), magnitudes(kFFTSize / 2),
        normalized(kFFTSize / 2);
    platform::dsp::hannWindow(window.data(), kFFTSize, true);
    float checksum = 0;
    const auto start = Clock::now();
    for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
        const std::uint32_t n = std::min(kBlock, kFrames - done);
        for (std::uint32_t c = 0; c < 2; ++c)
            std::memcpy(out->floatChannelData()[c], source->floatChannelData()[c] + done, n * sizeof(float));
        out->setFrameLength(n);
        if (n == kAmplitudeSize)
            for (std::uint32_t c = 0; c < 2; ++c)
                checksum += platform::dsp::rms(out->floatChannelData()[c], 1, n);
        for (std::uint32_t at = 0; at + kFFTSize <= n; at += kFFTSize) {
            platform::dsp::multiply(window.data(), out->floatChannelData()[0] + at, transfer.data(),
                                    kFFTSize);
            const auto bins = platform::dsp::FFT::forward(transfer.data(), kFFTSize);
            const float scale = 2.0f / float(kFFTSize / 2);
            magnitudes[0] = bins[0].real() * bins[0].real() * scale * scale +
                            bins[kFFTSize / 2].real() * bins[kFFTSize / 2].real() * scale * scale;
            for (std::size_t k = 1; k < kFFTSize / 2; ++k)
                magnitudes[k] = std::norm(bins[k]) * scale * scale;
            const float largest = *std::max_element(magnitudes.begin(), magnitudes.end());
            platform::dsp::scale(magnitudes.data(), 1.0f / largest, normalized.data(), kFFTSize / 2);
            checksum += normalized[1];
        }
        file->write(*out);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    benchmark::DoNotOptimize(checksum);
    file.reset();
    std::filesystem::remove(path);
    return seconds;
}

// Seconds for the render loop; with taps, until the recorder's file holds every frame and the taps
// have measured every block.
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
    const auto path = scratchPath();
    std::shared_ptr<sonabel::AmplitudeTap> amplitude;
    std::shared_ptr<sonabel::FFTTap> fft;
    std::shared_ptr<sonabel::NodeRecorder> recorder;
    if (taps) {
        amplitude =
            std::make_shared<sonabel::AmplitudeTap>(std::make_shared<Wrapped>(player), kAmplitudeSize);
        fft = std::make_shared<sonabel::FFTTap>(std::make_shared<Wrapped>(mixer), kFFTSize);
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
    driver.runUntilIdle(); // the taps measure on the main queue
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
    double copy = 0, plain = 0, work = 0, tapped = 0;
    for (auto _ : state) {
        copy += copyPass();
        plain += renderPass(false);
        work += plainWorkPass();
        tapped += renderPass(true);
    }
    const double runs = double(state.iterations());
    state.counters["copy_ms"] = copy / runs * 1e3;
    state.counters["render_ms"] = plain / runs * 1e3;
    state.counters["plain_work_ms"] = work / runs * 1e3;
    state.counters["taps_ms"] = tapped / runs * 1e3;
    state.counters["render_ratio"] = plain / copy; // goal <= 2
    state.counters["taps_ratio"] = tapped / work;  // goal <= 3
    state.counters["realtime_factor"] = kSeconds * runs / plain;
}

} // namespace

BENCHMARK(offlineRender)->Unit(benchmark::kMillisecond)->Iterations(5);
