// The sequencer server against the kernel and its USB MIDI driver: an instrument plugged in over
// USB takes what we send with no connection made beforehand, paced to cable rate, and what it
// answers comes back whole.
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "testing/KernelTestSupport.h"
#include "testing/MIDITestSupport.h"
#include "testing/UsbInstrument.h"

#include <gtest/gtest.h>

using namespace platform::midi;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

class UsbInstrumentExchange : public testing::Test {
protected:
    void SetUp() override {
        server = AlsaServer::open({.jobs = &jobs}, &why);
        KERNEL_TEST_NEEDS(server, "no ALSA sequencer on this machine (" << why << ")");
        instrument = std::make_unique<kerneltest::UsbInstrument>("Toskar MK2");
        ASSERT_TRUE(instrument->plugged()) << instrument->why();
        server->refreshListing();
        ASSERT_EQ(server->createClient("Sonabel kernel test", {}, &client), noErr);
        ASSERT_EQ(server->createOutputPort(client, "Out", &out), noErr);
        ASSERT_EQ(server->createInputPortWithBlock(
                      client, "In",
                      [this](const MIDIPacketList* list, ByteCount size, void*) {
                          const Bytes bytes = miditest::concat(miditest::packetsOf(list, size));
                          {
                              std::lock_guard lock(mutex);
                              replies.insert(replies.end(), bytes.begin(), bytes.end());
                          }
                          arrived.notify_all();
                      },
                      &in),
                  noErr);
        const MIDIEndpointRef source = find(false);
        toskar = find(true);
        ASSERT_NE(source, 0u);
        ASSERT_NE(toskar, 0u);
        ASSERT_EQ(server->connectSource(in, source, nullptr), noErr);
    }
    void TearDown() override {
        if (server) server->disposeClient(client);
        instrument.reset();
        server.reset();
        jobs.joinAll();
    }

    MIDIEndpointRef find(bool destination) {
        const ItemCount count = destination ? server->numberOfDestinations() : server->numberOfSources();
        for (ItemCount i = 0; i < count; ++i) {
            const MIDIEndpointRef ref = destination ? server->destination(i) : server->source(i);
            std::string name;
            if (server->getStringProperty(ref, kMIDIPropertyName, &name) == noErr && name == "Toskar MK2")
                return ref;
        }
        return 0;
    }
    OSStatus send(const Bytes& bytes) {
        PacketListBuilder list;
        list.addSplit(0, bytes, UINT16_MAX);
        return server->send(out, toskar, list.list(), list.size());
    }
    Bytes reply(std::size_t count) {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, 30s, [&] { return replies.size() >= count; });
        return std::exchange(replies, {});
    }

    platform::BackgroundJobs jobs;
    std::string why;
    std::shared_ptr<AlsaServer> server;
    std::unique_ptr<kerneltest::UsbInstrument> instrument;
    MIDIClientRef client = 0;
    MIDIPortRef out = 0, in = 0;
    MIDIEndpointRef toskar = 0;
    std::mutex mutex;
    std::condition_variable arrived;
    Bytes replies;
};

} // namespace

TEST_F(UsbInstrumentExchange, SysExArrivesExactWithNoConnectionMadeAndTheRepliesComeBackExact) {
    for (const std::size_t length : {6, 256, 257, 408, 4000}) {
        SCOPED_TRACE(length);
        const Bytes sysEx = kerneltest::sevenBitSysEx(length);
        ASSERT_EQ(send(sysEx), noErr);
        ASSERT_EQ(instrument->receive(length, 30s), sysEx);
        // The instrument answers with the same bytes, as fast as USB takes them.
        ASSERT_TRUE(instrument->send(sysEx));
        ASSERT_EQ(reply(length), sysEx);
    }
    // A long reply at ten times a MIDI cable's rate.
    const Bytes dump = kerneltest::sevenBitSysEx(70000);
    ASSERT_TRUE(instrument->send(dump, 31250));
    EXPECT_EQ(reply(dump.size()), dump);
}

TEST_F(UsbInstrumentExchange, LongSysExPacedToCableRateArrivesExact) {
    // The driver's 4 KB buffer drops what overflows and says nothing: only pacing gets these through.
    for (const std::size_t length : {65522, 70000}) {
        SCOPED_TRACE(length);
        const Bytes sysEx = kerneltest::sevenBitSysEx(length);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(send(sysEx), noErr);
        EXPECT_EQ(instrument->receive(length, 60s), sysEx);
        // 3125 bytes a second, less the buffer's worth that goes at once.
        EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(length / 3125 - 1));
    }
}

TEST_F(UsbInstrumentExchange, AnUnpluggedInstrumentFailsTheSendAndAfterAReplugTakesEventsAgain) {
    ASSERT_EQ(send({0x90, 0x3C, 0x64}), noErr);
    ASSERT_EQ(instrument->receive(3, 30s), (Bytes{0x90, 0x3C, 0x64}));
    instrument->unplug();
    EXPECT_NE(send({0x90, 0x3C, 0x00}), noErr);
    ASSERT_TRUE(instrument->replug());
    server->refreshListing();
    toskar = find(true);
    ASSERT_NE(toskar, 0u);
    ASSERT_EQ(send({0x90, 0x3D, 0x64}), noErr);
    EXPECT_EQ(instrument->receive(3, 30s), (Bytes{0x90, 0x3D, 0x64}));
}
