// Captured audio from the input callback to a tap on the input node: each block is written into the
// capture ring as a device callback does, then one render cycle reads it into the input node and
// the tap collects it. Each run also copies the same frames once, block by block, and reports the
// capture path as a ratio to that copy.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kRate = 48000;
constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kBlock = 512;
constexpr std::uint32_t kTapFrames = 4096;
constexpr std::uint32_t kFrames = std::uint32_t(kRate) * 10 / kBlock * kBlock; // whole blocks

// Ten seconds of interleaved input, as a device hands it over block by block.
const std::vector<float>& captured() {
    static const std::vector<float> samples = [] {
        std::vector<float> s(std::size_t(kFrames) * kChannels);
        for (std::size_t i = 0; i < s.size(); ++i)
            s[i] = 0.5f * std::sin(float(i) * 0.01f);
        return s;
    }();
    return samples;
}

using Clock = std::chrono::steady_clock;

double memcpyPass() {
    const auto& source = captured();
    std::vector<float> copy(std::size_t(kBlock) * kChannels);
    const auto start = Clock::now();
    for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
        std::memcpy(copy.data(), source.data() + std::size_t(done) * kChannels, copy.size() * sizeof(float));
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void captureToTap(benchmark::State& state) {
    const auto format = *platform::AudioFormat::standard(kRate, kChannels);
    auto devices = std::make_shared<platform::FakeAudioDeviceBackend>();
    devices->setOutputFormat(format);
    devices->setInputFormat(format);
    auto engine = platform::AudioEngine::make();
    engine->setIOBackend(devices->makeIO());
    auto input = engine->inputNode();
    engine->connect(input, engine->outputNode(), 0, 0, std::nullopt);
    std::atomic<std::uint64_t> tapped{0};
    input->installTap(0, kTapFrames, std::nullopt,
                      [&](auto buffer, auto) { tapped += buffer->frameLength(); });
    engine->start();
    auto ring = devices->captureRing();
    if (!ring) {
        state.SkipWithError("no capture ring");
        return;
    }
    auto out = platform::PCMBuffer::make(format, kBlock);
    const auto& source = captured();
    std::uint64_t host = 1;
    double capture = 0, copy = 0;
    double fastestCapture = 0, fastestCopy = 0;
    std::uint64_t complete = 0;
    for (auto _ : state) {
        const double copied = memcpyPass();
        const std::uint64_t before = tapped.load();
        const auto start = Clock::now();
        for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
            ring->write(source.data() + std::size_t(done) * kChannels, kBlock);
            engine->renderCycle(kBlock, *out, host += 10'000'000, false);
        }
        const double captured = std::chrono::duration<double>(Clock::now() - start).count();
        copy += copied;
        capture += captured;
        state.PauseTiming();
        engine->waitForTapDeliveries(std::chrono::seconds(10));
        state.ResumeTiming();
        // A pass whose tap lost blocks did less work than a capture does.
        if (tapped.load() - before + kTapFrames < kFrames) continue;
        ++complete;
        if (fastestCapture == 0 || captured < fastestCapture) fastestCapture = captured;
        if (fastestCopy == 0 || copied < fastestCopy) fastestCopy = copied;
    }
    engine->stop();
    if (ring->underrunFrames() || ring->overrunFrames()) state.SkipWithError("frames were lost");
    // Blocks the tap thread had no room for (a machine busy elsewhere) are counted, not waited for.
    state.counters["tap_delivered_pct"] =
        100.0 * double(tapped.load()) / (double(kFrames) * state.iterations());
    state.counters["capture_ms"] = capture / double(state.iterations()) * 1e3;
    state.counters["memcpy_ms"] = copy / double(state.iterations()) * 1e3;
    // A pass another process interrupted says nothing about either side: the ratio compares the
    // fastest passes among those whose tap received every block (the mean when there were none).
    state.counters["ratio"] = complete ? fastestCapture / fastestCopy : capture / copy;
    state.counters["complete_passes"] = double(complete);
    state.counters["mean_ratio"] = capture / copy;
    state.counters["frames_per_second"] =
        benchmark::Counter(double(kFrames) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// The ring alone: the callback's write and the input node's read into its channels.
void ringOnly(benchmark::State& state) {
    platform::AudioRingBuffer ring(kChannels, 8192);
    std::vector<float> left(kBlock), right(kBlock);
    float* channels[] = {left.data(), right.data()};
    const std::int32_t source[] = {0, 1};
    const auto& captured = ::captured();
    for (auto _ : state) {
        for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
            ring.write(captured.data() + std::size_t(done) * kChannels, kBlock);
            ring.read(channels, source, kChannels, kBlock);
            benchmark::ClobberMemory();
        }
    }
    state.counters["frames_per_second"] =
        benchmark::Counter(double(kFrames) * double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(captureToTap)->Unit(benchmark::kMillisecond);
BENCHMARK(ringOnly)->Unit(benchmark::kMillisecond);
