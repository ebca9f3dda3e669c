// The engine on the kernel's loopback sound card through ALSA, its output and its input one device
// whose input hears its output back (scripts/run-in-guest makes it ALSA's default): after the
// callback stalls once, long enough for the output to run dry, the tone comes back whole within a
// second.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "testing/KernelTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;

namespace {

bool hasLoopbackCard() {
    std::ifstream cards("/proc/asound/cards");
    std::stringstream text;
    text << cards.rdbuf();
    return text.str().find("Loopback") != std::string::npos;
}

// Runs of `minimum` or more samples that are exactly zero, as first frame and length.
std::vector<std::pair<std::size_t, std::size_t>> holes(const std::vector<float>& s, std::size_t from,
                                                       std::size_t to, std::size_t minimum) {
    std::vector<std::pair<std::size_t, std::size_t>> found;
    std::size_t run = 0;
    for (std::size_t i = from; i < to; ++i) {
        run = s[i] == 0.0f ? run + 1 : 0;
        if (run == minimum) found.push_back({i + 1 - minimum, minimum});
        if (run > minimum) found.back().second = run;
    }
    return found;
}

} // namespace

TEST(AlsaDevices, AfterAnOutputUnderrunTheEngineIsBackOnTimeWithinASecond) {
    KERNEL_TEST_NEEDS(hasLoopbackCard(), "no loopback sound card (snd-aloop)");
    // What an emulated guest on a busy host keeps up with.
    RtAudioDeviceBackend::Configuration configuration;
    configuration.bufferFrameSize = 2048;
    configuration.numberOfBuffers = 4;
    auto backend = RtAudioDeviceBackend::makeIfAvailable(configuration);
    ASSERT_TRUE(backend);
    ASSERT_EQ(backend->defaultDevice(false), backend->defaultDevice(true))
        << "ALSA's default output and input are not one device";

    auto engine = AudioEngine::make();
    engine->setIOBackend(backend->makeIO());
    const double rate = engine->outputNode()->outputFormat(0).sampleRate();
    ASSERT_GT(rate, 0);
    const auto stallAt = std::int64_t(rate); // a second in
    constexpr auto kStall = 600ms;           // the output's buffers last 171 ms at 48 kHz
    std::atomic<bool> stalled{false};
    auto source = AudioSourceNode::make(
        [&](bool&, const AudioTime& time, std::uint32_t frames, float* const* channels, std::uint32_t count) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                const double t = double(time.sampleTime() + i) / rate;
                const auto v = float(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * t));
                for (std::uint32_t c = 0; c < count; ++c)
                    channels[c][i] = v;
            }
            if (time.sampleTime() >= stallAt && !stalled.exchange(true)) std::this_thread::sleep_for(kStall);
            return noErr;
        });
    engine->attach(source);
    engine->connect(source, engine->mainMixerNode(), *AudioFormat::standard(rate, 2));
    auto input = engine->inputNode();
    input->setVolume(0);
    engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
    // What the input hears, placed by the engine's sample time.
    const auto length = std::size_t(8 * rate);
    std::vector<float> recording(length, 0.0f);
    std::atomic<std::size_t> recorded{0};
    ASSERT_TRUE(
        input->installTap(0, 1024, std::nullopt, [&](std::shared_ptr<PCMBuffer> buffer, AudioTime when) {
            const std::int64_t at = when.sampleTime();
            const float* s = buffer->floatChannelData()[0];
            for (std::uint32_t i = 0; i < buffer->frameLength(); ++i)
                if (at + i >= 0 && std::size_t(at + i) < length) recording[std::size_t(at + i)] = s[i];
            recorded.store(std::size_t(std::max<std::int64_t>(at + buffer->frameLength(), 0)));
        }));
    engine->start();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (recorded.load() < length && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    engine->stop();
    ASSERT_TRUE(stalled.load());
    ASSERT_GE(recorded.load(), length) << "the engine stopped running";
    EXPECT_GE(engine->outputUnderruns(), 1u);

    // The tone went round before the stall. From a second after it on it has no holes, but for a
    // hiccup of a busy host (an emulated guest stalls whole): holes that go on for more than a second
    // are an output that never got back on time.
    EXPECT_GT(*std::max_element(recording.begin(), recording.begin() + stallAt), 0.4f);
    const auto recovered = std::size_t(stallAt) + std::size_t((kStall + 1s) / 1.0s * rate);
    const auto found = holes(recording, recovered, length, std::size_t(rate / 2000));
    std::string where;
    for (const auto& [first, frames] : found)
        if (where.size() < 300) where += " " + std::to_string(first) + "+" + std::to_string(frames);
    const std::size_t span =
        found.empty() ? 0 : found.back().first + found.back().second - found.front().first;
    EXPECT_LE(span, std::size_t(rate)) << "holes (first frame+frames) after the recovery:" << where;
}
