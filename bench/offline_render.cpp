// 60 s of stereo 44.1 kHz through player -> mixer -> main mixer, rendered offline, against a
// baseline that only copies the same frames block by block (the memory limit).
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioPlayerNode.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

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

void offlineRender(benchmark::State& state) {
    auto source = sourceBuffer();
    auto out = platform::PCMBuffer::make(stereo(), kBlock);
    for (auto _ : state) {
        state.PauseTiming();
        auto engine = platform::AudioEngine::make();
        engine->enableManualRenderingMode(platform::AudioEngine::ManualRenderingMode::offline, stereo(),
                                          kBlock);
        auto player = platform::AudioPlayerNode::make();
        auto mixer = platform::AudioMixerNode::make();
        engine->attach(player);
        engine->attach(mixer);
        engine->connect(player, mixer, stereo());
        engine->connect(mixer, engine->mainMixerNode(), stereo());
        player->scheduleBuffer(source);
        engine->start();
        player->play();
        state.ResumeTiming();
        float checksum = 0;
        for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
            engine->renderOffline(std::min(kBlock, kFrames - done), *out);
            checksum += out->floatChannelData()[1][0];
        }
        benchmark::DoNotOptimize(checksum);
    }
    const double seconds = double(kSeconds) * double(state.iterations());
    state.counters["realtime_factor"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

void copyBaseline(benchmark::State& state) {
    auto source = sourceBuffer();
    auto out = platform::PCMBuffer::make(stereo(), kBlock);
    for (auto _ : state) {
        for (std::uint32_t done = 0; done < kFrames; done += kBlock) {
            const std::uint32_t n = std::min(kBlock, kFrames - done);
            for (std::uint32_t c = 0; c < 2; ++c)
                std::memcpy(out->floatChannelData()[c], source->floatChannelData()[c] + done,
                            n * sizeof(float));
            benchmark::ClobberMemory();
        }
    }
    const double seconds = double(kSeconds) * double(state.iterations());
    state.counters["realtime_factor"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(offlineRender)->Unit(benchmark::kMillisecond);
BENCHMARK(copyBaseline)->Unit(benchmark::kMillisecond);
