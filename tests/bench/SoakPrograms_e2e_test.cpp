// The soak's own programs on a real sound server: the tone's player, the recorders and the plain
// passthrough program, as the soak wires them, on PulseAudio and on PipeWire's PulseAudio service.
#include "bench/SoakPrograms.h"
#include "testing/Eventually.h"
#include "testing/PulseServer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

// The PulseAudio client library keeps a few blocks for the life of the process, and its threads
// share memory through synchronisation the (uninstrumented) library does not show the race detector.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpulse.so\n";
}
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulse\n";
}

using namespace soakbench;
using pulsetest::PulseServer;

class SoakPrograms : public testing::TestWithParam<PulseServer::Kind> {};
INSTANTIATE_TEST_SUITE_P(Servers, SoakPrograms,
                         testing::Values(PulseServer::Kind::pulseaudio, PulseServer::Kind::pipewire),
                         [](const auto& info) {
                             return info.param == PulseServer::Kind::pipewire ? "PipeWire" : "PulseAudio";
                         });

TEST_P(SoakPrograms, TheToneComesBackThroughThePeerLaterThanAtItsInput) {
    PulseServer pulse("soak-programs", GetParam());
    if (!pulse.whyNot.empty()) GTEST_SKIP() << pulse.whyNot;
    ASSERT_TRUE(pulse.addSink("sonabel_tone", "Tone"));
    ASSERT_TRUE(pulse.addSink("sonabel_peer", "Peer"));
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    constexpr unsigned kPeriod = 512;
    // RtAudio's default buffers: a busy machine stalls the streams less than it would with a few.
    const StreamAsk ask{};
    constexpr double kSeconds = 4; // two bursts
    TonePlayer player(RtAudio::LINUX_PULSE);
    Recorder atInput(RtAudio::LINUX_PULSE), afterPeer(RtAudio::LINUX_PULSE);
    PassthroughPeer peer(RtAudio::LINUX_PULSE);
    const std::vector<unsigned> devices =
        waitForDevices(player.rt(),
                       {{{"Tone"}, false},
                        {{"Monitor of Tone", "Tone"}, true},
                        {{"Peer"}, false},
                        {{"Monitor of Peer", "Peer"}, true}},
                       std::chrono::steady_clock::now() + testwait::kDeadline);
    ASSERT_EQ(devices.size(), 4u) << "RtAudio does not list the sinks and their monitors";
    const unsigned tone = devices[0], toneMonitor = devices[1], peerSink = devices[2],
                   peerMonitor = devices[3];
    const double rate = player.rt().getDeviceInfo(tone).preferredSampleRate;
    ASSERT_GT(rate, 0);
    atInput.open(toneMonitor, 1, rate, kPeriod, ask, kSeconds);
    afterPeer.open(peerMonitor, 1, rate, kPeriod, ask, kSeconds);
    player.open(tone, 2, rate, kPeriod, ask, kSeconds);
    peer.open(peerSink, toneMonitor, 2, rate, kPeriod, ask);
    atInput.start();
    afterPeer.start();
    peer.start();
    player.start();
    // Done when the tone is over and the recording after the peer has been quiet for half a second
    // since it was last loud.
    const auto quietAfterLoud = [&](const Recording& r) {
        const std::size_t count = r.count.load();
        for (std::size_t i = count; i-- > 0;)
            if (std::fabs(r.samples[i]) > 0.05f) return count - i > std::size_t(rate / 2);
        return false;
    };
    EXPECT_TRUE(
        testwait::eventually([&] { return player.finished() && quietAfterLoud(afterPeer.recording); }));
    player.stop();
    peer.stop();
    atInput.stop();
    afterPeer.stop();
    unsetenv("PULSE_SERVER");

    const auto back = [&](const Recorder& r, const std::vector<double>& sent) {
        return returned(
            std::vector<float>(r.recording.samples.begin(),
                               r.recording.samples.begin() + std::ptrdiff_t(r.recording.count.load())),
            r.received, sent, rate);
    };
    const std::vector<double> sent = player.sent();
    ASSERT_EQ(sent.size(), 2u);
    const Returned input = back(atInput, sent);
    const Returned output = back(afterPeer, input.at);
    EXPECT_EQ(input.bursts(), 2);
    EXPECT_GE(output.bursts(), 1);
    const RoundTrip trip = roundTrip(input.at, output.at, kPeriod / rate);
    ASSERT_TRUE(trip.measured);
    // Through the server twice and the peer's cushion: more than two periods, less than a second.
    EXPECT_GT(trip.start, 2 * kPeriod / rate);
    EXPECT_LT(trip.max, 1.0);
    EXPECT_EQ(peer.period(), kPeriod);
    EXPECT_NE(peer.ring(), nullptr); // two streams, not one
}
