// Key presses into an audio unit while it renders 64-frame cycles, taking and applying them as a
// sampler does (events due are applied frame by frame). With argument 0 another thread sends note-ons
// and note-offs as fast as it can, as a MIDI input would in a flood: reported per event delivered.
// With argument 1 the rendering loop itself sends four presses and releases before each cycle: the
// cost of a cycle with eight events, sending included.
#include "platform/audio/AUAudioUnit.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

void keysWhileRendering(benchmark::State& state) {
    using namespace platform;
    const bool inLoop = state.range(0) == 1;
    auto unit = AUAudioUnit::make({kAudioUnitType_MusicDevice, 0, 0, 0, 0}, 0, 1);
    std::atomic<std::uint64_t> delivered{0};
    unit->setMIDIHandler([&](AUEventSampleTime, std::uint8_t, const std::vector<std::uint8_t>&) {
        delivered.fetch_add(1, std::memory_order_relaxed);
    });
    const auto block = *unit->scheduleMIDIEventBlock();
    const auto press = [&block](std::uint8_t note) {
        const std::uint8_t on[3] = {0x90, note, 100}, off[3] = {0x80, note, 0};
        block(AUEventSampleTimeImmediate, 0, 3, on);
        block(AUEventSampleTimeImmediate + 32, 0, 3, off);
    };
    std::atomic<bool> done{false};
    std::thread keys;
    if (!inLoop)
        keys = std::thread([&] {
            for (std::uint8_t note = 0; !done.load(std::memory_order_relaxed);
                 note = std::uint8_t((note + 1) % 128))
                press(note);
        });
    std::int64_t t = 0;
    for (auto _ : state) {
        if (inLoop)
            for (std::uint8_t note = 60; note < 64; ++note)
                press(note);
        unit->beginRender(t);
        for (std::int64_t f = t; f < t + 64; ++f)
            unit->applyEventsDue(f);
        t += 64;
    }
    done = true;
    if (keys.joinable()) keys.join();
    state.counters["events/s"] = benchmark::Counter(double(delivered.load()), benchmark::Counter::kIsRate);
    state.counters["ns/event"] = benchmark::Counter(
        double(delivered.load()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(keysWhileRendering)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);
