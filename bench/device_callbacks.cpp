// The RtAudio backend's two callbacks as RtAudio's threads run them, on a fake RtAudio: an input and
// an output stream of 512 frames at 44.1 kHz, the input node playing into the main mixer, a period
// apart on a manual clock. A period's time for both: what the device's threads spend in front of the
// engine (the gate a stop closes, the capture ring) and in it. Runs against another build of the
// backend compare its cost.
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/devices/FakeRtAudioDriver.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/HostClock.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

void deviceCallbacks(benchmark::State& state) {
    auto driver = std::make_shared<platform::FakeRtAudioDriver>();
    driver->addDevice("Speakers", 0, 2);
    driver->addDevice("Microphone", 2, 0);
    platform::ManualClock clock;
    platform::RtAudioDeviceBackend::Configuration configuration;
    configuration.clock = &clock;
    configuration.api = platform::RtAudioDeviceBackend::Api::pulse;
    configuration.driver = driver;
    auto backend = platform::RtAudioDeviceBackend::makeIfAvailable(configuration);
    auto engine = platform::AudioEngine::make();
    engine->setIOBackend(backend->makeIO());
    auto input = engine->inputNode();
    engine->connect(input, engine->mainMixerNode(), input->outputFormat(0));
    engine->start();
    std::vector<float> in(2 * 512, 0.1f), out(2 * 512);
    driver->run(1, 512, in.data(), nullptr); // the cushion: two periods
    for (auto _ : state) {
        driver->run(1, 512, in.data(), nullptr);
        clock.advance(11'609'977);
        driver->run(0, 512, nullptr, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * 512);
    engine->stop();
}

} // namespace

BENCHMARK(deviceCallbacks);
