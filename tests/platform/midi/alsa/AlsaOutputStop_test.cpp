// At shutdown a send being paced toward a kernel port ends at its next event, and nothing more goes out.
#include "platform/midi/alsa/AlsaOutput.h"
#include "testing/FakeSequencer.h"
#include "testing/KernelTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace platform::midi;

namespace {

// Moves the clock and, on its fifth wait, stops the output as the application's shutdown would.
class StoppingSleeper final : public platform::Sleeper {
public:
    explicit StoppingSleeper(platform::ManualClock& clock) : clock_(clock) {}
    void sleepFor(std::chrono::nanoseconds duration) override {
        clock_.advance(static_cast<std::uint64_t>(duration.count()));
        if (++calls == 5 && onFifth) onFifth();
    }
    int calls = 0;
    std::function<void()> onFifth;

private:
    platform::ManualClock& clock_;
};

TEST(AlsaOutput, AStoppedOutputDropsWhatWaitsForPacingAndSendsNothingMore) {
    platform::ManualClock clock;
    StoppingSleeper sleeper(clock);
    alsatest::FakeSequencer sequencer{clock};
    AlsaServerConfig config;
    config.clock = &clock;
    config.sleeper = &sleeper;
    sequencer.addDestination(20, 0, true, 4096);
    AlsaOutput output(sequencer, config);
    sleeper.onFifth = [&] { output.stop(); };

    const AlsaOutput::Route kernelPort{.sourcePort = 1, .client = 20, .port = 0, .kernel = true};
    EXPECT_EQ(output.send(kernelPort, kerneltest::sevenBitSysEx(65522)), kMIDIMessageSendErr);
    EXPECT_EQ(sleeper.calls, 5);
    const auto sent = sequencer.destination(20, 0).bytes.size();
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, 65522u);
    EXPECT_EQ(output.send(kernelPort, std::vector<std::uint8_t>{0x90, 0x3C, 0x64}), kMIDIMessageSendErr);
    EXPECT_EQ(sequencer.destination(20, 0).bytes.size(), sent);
}

} // namespace
