// Writes toward kernel MIDI ports and user-space clients, against a fake sequencer whose kernel
// port drops what overflows its buffer, as the kernel does.
#include "platform/core/LogSink.h"
#include "platform/midi/alsa/AlsaOutput.h"
#include "testing/FakeSequencer.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform::midi;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Rig {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    alsatest::FakeSequencer sequencer{clock};
    AlsaServerConfig config;
    Rig() {
        config.clock = &clock;
        config.sleeper = &sleeper;
    }
};

// The upload check: 200 back-to-back 521-byte blocks, then one SysEx as long as a send takes.
std::vector<Bytes> upload() {
    std::vector<Bytes> messages(200, miditest::eightBitSysEx(521));
    messages.push_back(miditest::eightBitSysEx(65522));
    return messages;
}

Bytes joined(const std::vector<Bytes>& messages) {
    Bytes out;
    for (const auto& m : messages)
        out.insert(out.end(), m.begin(), m.end());
    return out;
}

} // namespace

TEST(AlsaOutput, AnUploadToAKernelPortArrivesWholeOnlyWhenPaced) {
    for (bool paced : {true, false}) {
        SCOPED_TRACE(paced);
        Rig rig;
        if (!paced) rig.config.kernelBytesPerSecond = 0;
        rig.sequencer.addDestination(20, 0, true, 4096);
        AlsaOutput output(rig.sequencer, rig.config);
        const auto messages = upload();
        for (const auto& m : messages)
            ASSERT_EQ(output.send({.sourcePort = 1, .client = 20, .port = 0, .kernel = true}, m), noErr);
        const auto received = rig.sequencer.destination(20, 0);
        if (!paced) {
            // What the kernel does to an unpaced upload: the sender hears nothing, data is gone.
            EXPECT_GT(received.dropped, 0u);
            continue;
        }
        EXPECT_EQ(received.dropped, 0u);
        EXPECT_EQ(received.bytes, joined(messages));
        for (std::size_t n : received.eventSizes)
            EXPECT_LE(n, 256u);
        // It took as long as the cable needs, and no more than a buffer's worth longer.
        const double seconds = static_cast<double>(rig.clock.now() - 1'000'000'000) / 1e9;
        const double wire = static_cast<double>(joined(messages).size()) / 3125.0;
        EXPECT_GT(seconds, wire - 2048 / 3125.0 - 0.01);
        EXPECT_LT(seconds, wire + 0.01);
    }
}

TEST(AlsaOutput, PacerKeepsTheModelledBufferWithinBudget) {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    AlsaOutputPacer pacer(clock, sleeper, 3125, 2048);
    pacer.waitForRoom(20, 0, 2000);
    EXPECT_EQ(sleeper.calls(), 0u);
    EXPECT_EQ(pacer.inFlight(20, 0), 2000u);
    // Another port has a buffer of its own.
    pacer.waitForRoom(21, 0, 2000);
    EXPECT_EQ(sleeper.calls(), 0u);
    // 256 more must wait until 208 bytes drained: 66.56 ms.
    pacer.waitForRoom(20, 0, 256);
    EXPECT_EQ(clock.now(), 1'000'000'000u + 66'560'000u);
    EXPECT_EQ(pacer.inFlight(20, 0), 2048u);
    // Larger than the budget: waits for an empty buffer.
    pacer.waitForRoom(20, 0, 5000);
    EXPECT_EQ(clock.now(), 1'000'000'000u + 66'560'000u + 655'360'000u);
    clock.advance(10'000'000'000);
    EXPECT_EQ(pacer.inFlight(20, 0), 0u);
}

TEST(AlsaOutput, AFullUserSpaceQueueIsWaitedForAndAStuckOneFailsTheSendAloud) {
    Rig rig;
    rig.sequencer.addDestination(130, 0, false, 8);
    AlsaOutput output(rig.sequencer, rig.config);
    const auto messages = upload();
    for (const auto& m : messages)
        ASSERT_EQ(output.send({.sourcePort = 1, .client = 130, .port = 0}, m), noErr);
    EXPECT_EQ(rig.sequencer.destination(130, 0).bytes, joined(messages));
    EXPECT_GT(rig.sleeper.calls(), 0u);
    // Never by overfilling it: the kernel would throw away all it had waiting.
    EXPECT_EQ(rig.sequencer.destination(130, 0).refused, 0u);

    // A receiver that takes nothing: the send fails with a status and a line, after the timeout.
    platform::ScopedLogCapture log;
    rig.sequencer.userDrainEvery = UINT64_MAX / 2;
    rig.sequencer.addDestination(131, 0, false, 2);
    const auto start = rig.clock.now();
    EXPECT_EQ(output.send({.sourcePort = 1, .client = 131, .port = 0}, miditest::eightBitSysEx(1000)),
              kMIDIMessageSendErr);
    EXPECT_GE(rig.clock.now() - start, 10'000'000'000u);
    EXPECT_EQ(log.lines().size(), 1u);
    // No half SysEx is carried into the next send: it starts clean.
    rig.sequencer.addDestination(131, 0, false, 100);
    rig.sequencer.userDrainEvery = 1'000'000;
    EXPECT_EQ(output.send({.sourcePort = 1, .client = 131, .port = 0}, Bytes{0x90, 0x3C, 0x64}), noErr);
    // A destination that is gone fails at once.
    EXPECT_EQ(output.send({.sourcePort = 1, .client = 99, .port = 0}, Bytes{0x90, 0x3C, 0x64}),
              kMIDIMessageSendErr);
}

TEST(AlsaOutput, ConcurrentSendsNeverInterleaveTheirChunks) {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    alsatest::FakeSequencer sequencer{clock};
    AlsaServerConfig config;
    config.clock = &clock;
    config.sleeper = &sleeper;
    config.sysExChunkBytes = 16;
    sequencer.addDestination(130, 0, false, 1'000'000);
    AlsaOutput output(sequencer, config);
    auto messageOf = [](std::uint8_t tag) {
        Bytes m(300, tag);
        m.front() = 0xF0;
        m.back() = 0xF7;
        return m;
    };
    std::vector<std::thread> threads;
    for (std::uint8_t tag = 1; tag <= 4; ++tag)
        threads.emplace_back([&, tag] {
            for (int i = 0; i < 25; ++i)
                EXPECT_EQ(output.send({.sourcePort = 1, .client = 130, .port = 0}, messageOf(tag)), noErr);
        });
    for (auto& t : threads)
        t.join();
    const Bytes bytes = sequencer.destination(130, 0).bytes;
    ASSERT_EQ(bytes.size(), 100u * 300u);
    for (std::size_t at = 0; at < bytes.size(); at += 300)
        EXPECT_EQ(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + 300)),
                  messageOf(bytes[at + 1]));
}
