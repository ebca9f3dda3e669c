// The MIDI object over the sequencer server (a fake sequencer): the backend decides about a SysEx
// once and the object follows it, so the two never disagree about one it dropped.
#include "MIDIObjectTestSupport.h"
#include "MIDITestSupport.h"

#include "platform/midi/alsa/AlsaServer.h"
#include "testing/Eventually.h"
#include "testing/FakeSequencer.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform::midi;
using miditest::Call;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;

class MIDIOverAlsa : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        auto fake = std::make_unique<alsatest::FakeSequencer>(clock);
        sequencer = fake.get();
        sequencer->setListing({{20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kReadable, true}});
        server =
            std::make_shared<AlsaServer>(std::move(fake), AlsaServerConfig{.jobs = &jobs, .clock = &clock});
        midi = sonabel::MIDI::make({server, GetParam()});
        midi->addListener(listener);
        midi->openInput("Toskar MK2");
        for (int port : sequencer->ownPorts())
            if (!sequencer->connections()[port].empty()) input = port;
        ASSERT_GE(input, 0);
    }
    void TearDown() override {
        midi.reset();
        server.reset();
        jobs.joinAll();
    }
    void sysEx(const Bytes& bytes) {
        snd_seq_event_t e{};
        e.type = SND_SEQ_EVENT_SYSEX;
        e.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
        e.source = {20, 0};
        e.dest = {128, static_cast<unsigned char>(input)};
        sequencer->push(e, bytes);
    }
    // The SysEx messages that reached the listener once everything pushed was handled.
    std::vector<Bytes> received() {
        EXPECT_TRUE(testwait::eventually([&] { return sequencer->inputEmpty(); }));
        EXPECT_TRUE(server->waitUntilIdle(testwait::kDeadline));
        std::vector<Bytes> out;
        for (const Call& call : listener->calls())
            if (call.kind == "system") out.push_back(call.bytes);
        return out;
    }

    platform::BackgroundJobs jobs;
    platform::ManualClock clock;
    alsatest::FakeSequencer* sequencer = nullptr;
    std::shared_ptr<AlsaServer> server;
    std::shared_ptr<sonabel::MIDI> midi;
    std::shared_ptr<miditest::RecordingListener> listener = std::make_shared<miditest::RecordingListener>();
    int input = -1;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Ports, MIDIOverAlsa, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Universal" : "PacketList"; });

TEST_P(MIDIOverAlsa, AfterAnOverrunOrANewStartTheObjectHearsOnlyWholeMessages) {
    Bytes head{0xF0};
    head.insert(head.end(), 255, 0x41);
    sysEx(head);
    ASSERT_TRUE(received().empty());
    sequencer->pushOverrun();
    sysEx({0x41, 0x42, 0x43, 0xF7});
    sysEx({0xF0, 0x7D, 0x0D, 0xF7});
    sysEx(head);
    sysEx({0xF0, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF7});
    EXPECT_EQ(received(), (std::vector<Bytes>{{0xF0, 0x7D, 0x0D, 0xF7},
                                              {0xF0, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF7}}));
}

TEST_P(MIDIOverAlsa, ClosingAnUnpluggedInstrumentLogsNoError) {
    platform::ScopedLogCapture capture;
    sequencer->setListing({});
    snd_seq_event_t exit{};
    exit.type = SND_SEQ_EVENT_CLIENT_EXIT;
    exit.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    exit.data.addr = {20, 0};
    sequencer->push(exit);
    ASSERT_TRUE(testwait::eventually([&] { return midi->inputNames().empty(); }));
    midi->closeInput("Toskar MK2");
    EXPECT_EQ(
        miditest::logContents(capture, "closeInput(uid:)"),
        (std::vector<std::string>{"Closing MIDI Input 'Toskar MK2'",
                                  "Toskar MK2 was unplugged: nothing to disconnect", "Disposed Toskar MK2"}));
    EXPECT_TRUE(midi->inputPorts().empty());
}
