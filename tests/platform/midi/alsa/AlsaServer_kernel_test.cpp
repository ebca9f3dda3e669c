// The sequencer server against the kernel and its USB MIDI driver: an instrument plugged in over
// USB takes what we send with no connection made beforehand, as fast as its buffer's room allows
// (or, where the room is not read, at cable rate), and what it answers comes back whole.
#include "platform/core/LogSink.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "testing/KernelTestSupport.h"
#include "testing/MIDITestSupport.h"
#include "testing/UsbInstrument.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <regex>

using namespace platform::midi;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

class UsbInstrumentExchange : public testing::Test {
protected:
    void SetUp() override {
        config.jobs = &jobs;
        server = AlsaServer::open(config, &why);
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

    platform::ScopedLogCapture log;
    platform::BackgroundJobs jobs;
    AlsaServerConfig config;
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

// The same, with the kernel's report of the device's room out of reach (as in a container without
// /proc/asound): the cable model paces.
class UsbInstrumentOnTheCableModel : public UsbInstrumentExchange {
protected:
    void SetUp() override {
        config.readKernelFile = [](const std::string&) { return std::nullopt; };
        UsbInstrumentExchange::SetUp();
    }
};

// The kernel's report read as it is until the device seems to stop: from the tenth read on, its
// room shows 0, as a device that no longer takes bytes leaves it (the emulated instrument always
// takes what USB brings).
class UsbInstrumentThatStops : public UsbInstrumentExchange {
protected:
    void SetUp() override {
        config.retryTimeout = 1s;
        config.readKernelFile = [this](const std::string& path) -> std::optional<std::string> {
            std::ifstream file(path);
            if (!file) return std::nullopt;
            std::string text((std::istreambuf_iterator<char>(file)), {});
            if (++reads >= 10) text = std::regex_replace(text, std::regex("Avail( *): [0-9]+"), "Avail$1: 0");
            return text;
        };
        UsbInstrumentExchange::SetUp();
    }
    std::atomic<int> reads{0};
};

bool contains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

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

TEST_F(UsbInstrumentExchange, LongSysExArrivesExactAtTheDevicesSpeed) {
    // The driver's 4 KB buffer drops what overflows and says nothing: each event waits for room.
    for (const std::size_t length : {65522, 70000}) {
        SCOPED_TRACE(length);
        const Bytes sysEx = kerneltest::sevenBitSysEx(length);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(send(sysEx), noErr);
        const Bytes got = instrument->receive(length, 60s);
        EXPECT_EQ(got.size(), sysEx.size());
        EXPECT_TRUE(got == sysEx);
        // A cable would take 21 s and more.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    }
    EXPECT_TRUE(contains(log.lines(), "goes as fast as the device takes it: /proc/asound/card"));
}

TEST_F(UsbInstrumentOnTheCableModel, LongSysExPacedToCableRateArrivesExact) {
    const Bytes sysEx = kerneltest::sevenBitSysEx(70000);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(send(sysEx), noErr);
    EXPECT_EQ(instrument->receive(sysEx.size(), 60s), sysEx);
    // 3125 bytes a second, less the buffer's worth that goes at once.
    EXPECT_GT(std::chrono::steady_clock::now() - start, 21s);
    EXPECT_TRUE(
        contains(log.lines(), "is paced at a MIDI cable's rate (3125 bytes a second): /proc/asound/card"));
}

TEST_F(UsbInstrumentThatStops, ASendFailsAfterTheTimeOutAndWhatWentBeforeArrivesExact) {
    const Bytes sysEx = kerneltest::sevenBitSysEx(65522);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(send(sysEx), noErr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    const Bytes got = instrument->receive(sysEx.size(), 2s);
    // What went before arrives exact (USB MIDI carries SysEx in threes: up to two bytes wait).
    ASSERT_GT(got.size(), 0u);
    ASSERT_LT(got.size(), 16384u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sysEx.begin()));
    EXPECT_TRUE(contains(log.lines(), "failed: the device took nothing for 1000 ms"));
}

TEST_F(UsbInstrumentExchange, AnUnplugMidSendFailsTheSendAtOnce) {
    // Long enough to be on its way when the unplug comes.
    const Bytes sysEx = kerneltest::sevenBitSysEx(4 * 1024 * 1024);
    auto sending = std::async(std::launch::async, [&] { return send(sysEx); });
    ASSERT_EQ(instrument->receive(16384, 30s).size() >= 16384, true);
    instrument->unplug();
    const auto unplugged = std::chrono::steady_clock::now();
    ASSERT_EQ(sending.wait_for(30s), std::future_status::ready);
    EXPECT_NE(sending.get(), noErr);
    EXPECT_LT(std::chrono::steady_clock::now() - unplugged, 2s);
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
