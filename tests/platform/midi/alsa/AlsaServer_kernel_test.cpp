// The sequencer server against the kernel and its USB MIDI driver: an instrument plugged in over
// USB takes what we send with no connection made beforehand, as fast as its buffer's room allows
// (or, where the room is not read, at cable rate), and what it answers comes back whole.
#include "platform/core/LogSink.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "testing/Eventually.h"
#include "testing/KernelTestSupport.h"
#include "testing/MIDITestSupport.h"
#include "testing/UsbInstrument.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <map>
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

namespace {

// Ends every subscription it may, as `aconnect -x` does. (The kernel refuses it ours: our ports
// are not exported.)
void endEverySubscription() {
    snd_seq_t* seq = nullptr;
    ASSERT_GE(snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            snd_seq_query_subscribe_set_root(query, snd_seq_port_info_get_addr(port));
            snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
            snd_seq_query_subscribe_set_index(query, 0);
            while (snd_seq_query_port_subscribers(seq, query) >= 0) {
                snd_seq_port_subscribe_t* subscription = nullptr;
                snd_seq_port_subscribe_alloca(&subscription);
                snd_seq_port_subscribe_set_sender(subscription, snd_seq_query_subscribe_get_root(query));
                snd_seq_port_subscribe_set_dest(subscription, snd_seq_query_subscribe_get_addr(query));
                if (snd_seq_unsubscribe_port(seq, subscription) < 0)
                    snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
            }
        }
    }
    snd_seq_close(seq);
}

} // namespace

TEST_F(UsbInstrumentExchange, AfterAnotherProgramEndsEverySubscriptionTheNextSendArrives) {
    for (const std::uint8_t note : {0x3C, 0x3D, 0x3E}) {
        ASSERT_EQ(send({0x90, note, 0x64}), noErr);
        EXPECT_EQ(instrument->receive(3, 30s), (Bytes{0x90, note, 0x64}));
        endEverySubscription();
    }
}

namespace {

// The subscriptions that read from the instrument's port: the kernel copies each event into every
// one's reader.
int readersOfInstrument() {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return -1;
    int count = -1;
    snd_seq_client_info_t* client = nullptr;
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_client_info_set_client(client, -1);
    while (count < 0 && snd_seq_query_next_client(seq, client) >= 0) {
        if (std::string(snd_seq_client_info_get_name(client)) != "Toskar MK2") continue;
        const snd_seq_addr_t root{static_cast<unsigned char>(snd_seq_client_info_get_client(client)), 0};
        snd_seq_query_subscribe_set_root(query, &root);
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
        for (count = 0; snd_seq_query_subscribe_set_index(query, count),
            snd_seq_query_port_subscribers(seq, query) >= 0;)
            ++count;
    }
    snd_seq_close(seq);
    return count;
}

} // namespace

TEST_F(UsbInstrumentExchange, InputPortsOnTheInstrumentShareOneSubscriptionAndEachHearsEveryNote) {
    Bytes second;
    MIDIPortRef other = 0;
    ASSERT_EQ(server->createInputPortWithBlock(
                  client, "In 2",
                  [&](const MIDIPacketList* list, ByteCount size, void*) {
                      const Bytes bytes = miditest::concat(miditest::packetsOf(list, size));
                      {
                          std::lock_guard lock(mutex);
                          second.insert(second.end(), bytes.begin(), bytes.end());
                      }
                      arrived.notify_all();
                  },
                  &other),
              noErr);
    const MIDIEndpointRef source = find(false);
    ASSERT_EQ(server->connectSource(other, source, nullptr), noErr);
    EXPECT_EQ(readersOfInstrument(), 1);
    const auto secondHas = [&](std::size_t count) {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, 30s, [&] { return second.size() >= count; });
        return second;
    };
    ASSERT_TRUE(instrument->send(Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(reply(3), (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(secondHas(3), (Bytes{0x90, 0x3C, 0x64}));

    ASSERT_EQ(server->disconnectSource(in, source), noErr);
    EXPECT_EQ(readersOfInstrument(), 1);
    ASSERT_TRUE(instrument->send(Bytes{0x80, 0x3C, 0x00}));
    EXPECT_EQ(secondHas(6), (Bytes{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00}));
    ASSERT_TRUE(server->waitUntilIdle(testwait::kDeadline));
    EXPECT_EQ(reply(0), Bytes{});
    ASSERT_EQ(server->disposePort(other), noErr);
    EXPECT_EQ(readersOfInstrument(), 0);
}

namespace {

// Another program on the sequencer, with a port that may be subscribed to ours.
struct OtherProgram {
    snd_seq_t* seq = nullptr;
    int port = -1;

    OtherProgram() {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return;
        snd_seq_set_client_name(seq, "Sketcher");
        port = snd_seq_create_simple_port(seq, "Sketcher", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    }
    ~OtherProgram() {
        if (seq) snd_seq_close(seq);
    }
    // The address of a client's port, by their names.
    snd_seq_addr_t find(const std::string& clientName, const std::string& portName) {
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* info = nullptr;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&info);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq, client) >= 0) {
            if (snd_seq_client_info_get_name(client) != clientName) continue;
            snd_seq_port_info_set_client(info, snd_seq_client_info_get_client(client));
            snd_seq_port_info_set_port(info, -1);
            while (snd_seq_query_next_port(seq, info) >= 0)
                if (snd_seq_port_info_get_name(info) == portName) return *snd_seq_port_info_get_addr(info);
        }
        return {0, 0};
    }
    // One SysEx event to our subscribers, whatever its bytes; true once sent.
    bool sysEx(Bytes bytes) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, port);
        snd_seq_ev_set_subs(&event);
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_sysex(&event, static_cast<unsigned>(bytes.size()), bytes.data());
        return snd_seq_event_output_direct(seq, &event) >= 0;
    }
};

} // namespace

TEST(AlsaServerWithAnotherProgram,
     ItsSysExEventArrivesMessageByMessageAndAnUnsubscribeEndsItsUnfinishedSysEx) {
    platform::ScopedLogCapture log;
    // Declared so that the server stops before what its deliveries touch goes.
    platform::BackgroundJobs jobs;
    std::mutex mutex;
    Bytes got;
    AlsaServerConfig config;
    config.jobs = &jobs;
    std::string why;
    auto server = AlsaServer::open(config, &why);
    KERNEL_TEST_NEEDS(server, "no ALSA sequencer on this machine (" << why << ")");
    log.clear(); // the pool's size
    MIDIClientRef client = 0;
    MIDIEndpointRef destination = 0;
    ASSERT_EQ(server->createClient("Sonabel kernel test", {}, &client), noErr);
    ASSERT_EQ(server->createDestination(
                  client, "Virtual In",
                  [&](const MIDIPacketList* list, ByteCount size, void*) {
                      const Bytes bytes = miditest::concat(miditest::packetsOf(list, size));
                      std::lock_guard lock(mutex);
                      got.insert(got.end(), bytes.begin(), bytes.end());
                  },
                  &destination),
              noErr);
    OtherProgram sketcher;
    ASSERT_GE(sketcher.port, 0);
    const snd_seq_addr_t ours = sketcher.find("Sonabel kernel test", "Virtual In");
    ASSERT_NE(ours.client, 0);
    const auto subscribe = [&] {
        return snd_seq_connect_to(sketcher.seq, sketcher.port, ours.client, ours.port);
    };
    // Listed first, so that it is named in the log line.
    ASSERT_TRUE(testwait::eventually([&] {
        for (ItemCount i = 0; i < server->numberOfSources(); ++i) {
            std::string name;
            if (server->getStringProperty(server->source(i), kMIDIPropertyName, &name) == noErr &&
                name == "Sketcher")
                return true;
        }
        return false;
    }));

    ASSERT_EQ(subscribe(), 0);
    ASSERT_TRUE(sketcher.sysEx({0xF0, 0x7D, 0x01, 0xF7, 0xF0, 0x7D, 0x02, 0xF7, 0x90, 0x3C, 0x64}));
    ASSERT_TRUE(sketcher.sysEx({0xF0, 0x7D, 0x0A, 0x0A, 0x0A}));
    ASSERT_EQ(snd_seq_disconnect_to(sketcher.seq, sketcher.port, ours.client, ours.port), 0);
    ASSERT_EQ(subscribe(), 0);
    ASSERT_TRUE(sketcher.sysEx({0x0B, 0x0B, 0x0B, 0xF7}));
    ASSERT_TRUE(sketcher.sysEx({0xF0, 0x7D, 0x0C, 0xF7}));
    const Bytes expected{0xF0, 0x7D, 0x01, 0xF7, 0xF0, 0x7D, 0x02, 0xF7,
                         0x90, 0x3C, 0x64, 0xF0, 0x7D, 0x0C, 0xF7};
    EXPECT_TRUE(testwait::eventually([&] {
        std::lock_guard lock(mutex);
        return got.size() >= expected.size();
    }));
    ASSERT_TRUE(server->waitUntilIdle(testwait::kDeadline));
    std::lock_guard lock(mutex);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input from Sketcher: an unfinished SysEx of 5 bytes is dropped"}));
}

namespace {

// A server with one client and a packet input port that collects what it hears.
struct Listener {
    platform::BackgroundJobs jobs;
    std::shared_ptr<AlsaServer> server;
    std::string why;
    MIDIClientRef client = 0;
    MIDIPortRef in = 0;
    std::mutex mutex;
    Bytes got;

    Listener() {
        AlsaServerConfig config;
        config.jobs = &jobs;
        server = AlsaServer::open(config, &why);
        if (!server) return;
        EXPECT_EQ(server->createClient("Sonabel kernel test", {}, &client), noErr);
        EXPECT_EQ(server->createInputPortWithBlock(
                      client, "In",
                      [this](const MIDIPacketList* list, ByteCount size, void*) {
                          const Bytes bytes = miditest::concat(miditest::packetsOf(list, size));
                          std::lock_guard lock(mutex);
                          got.insert(got.end(), bytes.begin(), bytes.end());
                      },
                      &in),
                  noErr);
    }
    ~Listener() {
        if (server) server->stop();
    }
    MIDIEndpointRef endpointNamed(const std::string& name, bool source) {
        const ItemCount count = source ? server->numberOfSources() : server->numberOfDestinations();
        for (ItemCount i = 0; i < count; ++i) {
            const MIDIEndpointRef ref = source ? server->source(i) : server->destination(i);
            std::string text;
            if (server->getStringProperty(ref, kMIDIPropertyName, &text) == noErr && text == name) return ref;
        }
        return 0;
    }
    bool hears(const Bytes& expected) {
        return testwait::eventually([&] {
            std::lock_guard lock(mutex);
            return got == expected;
        });
    }
};

} // namespace

TEST(AlsaServerWithMidiThrough, ItTakesEightBitSysExUnpacedAsAProgramDoes) {
    platform::ScopedLogCapture log;
    Listener ours;
    KERNEL_TEST_NEEDS(ours.server, "no ALSA sequencer on this machine (" << ours.why << ")");
    const MIDIEndpointRef through = ours.endpointNamed("Midi Through", false);
    KERNEL_TEST_NEEDS(through, "no Midi Through client (snd-seq-dummy)");
    ASSERT_EQ(ours.server->connectSource(ours.in, ours.endpointNamed("Midi Through", true), nullptr), noErr);
    MIDIPortRef out = 0;
    ASSERT_EQ(ours.server->createOutputPort(ours.client, "Out", &out), noErr);
    const Bytes name{0xF0, 0x7D, 0x4E, 0xE9, 0x65, 0xF7};
    const Bytes upload = miditest::eightBitSysEx(6000);
    PacketListBuilder list;
    list.add(0, name);
    list.add(0, upload);
    EXPECT_EQ(ours.server->send(out, through, list.list(), list.size()), noErr);
    Bytes expected = name;
    expected.insert(expected.end(), upload.begin(), upload.end());
    EXPECT_TRUE(ours.hears(expected));
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find("paced"), std::string::npos) << line;
}

namespace {

// A program with ports we may send to, reading what comes as it is asked to.
struct ReadingProgram {
    snd_seq_t* seq = nullptr;
    std::vector<int> ports;
    std::map<int, Bytes> got; // by port

    ReadingProgram(const std::string& name, const std::vector<std::string>& portNames) {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return;
        snd_seq_set_client_name(seq, name.c_str());
        for (const auto& portName : portNames)
            ports.push_back(snd_seq_create_simple_port(
                seq, portName.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION));
    }
    ~ReadingProgram() {
        if (seq) snd_seq_close(seq);
    }
    bool ready() const {
        return seq && std::none_of(ports.begin(), ports.end(), [](int p) { return p < 0; });
    }
    // Reads what has come; the bytes of each event, by the port it came to.
    void read() {
        snd_midi_event_t* decoder = nullptr;
        snd_midi_event_new(16, &decoder);
        snd_midi_event_no_status(decoder, 1);
        snd_seq_event_t* event = nullptr;
        while (snd_seq_event_input(seq, &event) >= 0 && event) {
            Bytes& to = got[event->dest.port];
            if (event->type == SND_SEQ_EVENT_SYSEX) {
                const auto* p = static_cast<const std::uint8_t*>(event->data.ext.ptr);
                to.insert(to.end(), p, p + event->data.ext.len);
            } else if (event->source.client != SND_SEQ_CLIENT_SYSTEM) {
                unsigned char buffer[16];
                const long n = snd_midi_event_decode(decoder, buffer, sizeof buffer, event);
                if (n > 0) to.insert(to.end(), buffer, buffer + n);
            }
        }
        snd_midi_event_free(decoder);
    }
    bool receives(int port, const Bytes& expected) {
        return testwait::eventually([&] {
            read();
            return got[port] == expected;
        });
    }
};

} // namespace

TEST(AlsaServerWithAnotherProgram, DeletingOneOfItsPortsLeavesOurUnfinishedSysExToItsOtherPortWhole) {
    Listener ours;
    KERNEL_TEST_NEEDS(ours.server, "no ALSA sequencer on this machine (" << ours.why << ")");
    ReadingProgram looper("Looper", {"Looper A", "Looper B"});
    ASSERT_TRUE(looper.ready());
    MIDIEndpointRef a = 0, b = 0;
    ASSERT_TRUE(testwait::eventually([&] {
        a = ours.endpointNamed("Looper A", false);
        b = ours.endpointNamed("Looper B", false);
        return a && b;
    }));
    MIDIPortRef out = 0;
    ASSERT_EQ(ours.server->createOutputPort(ours.client, "Out", &out), noErr);
    auto send = [&](MIDIEndpointRef to, const Bytes& bytes) {
        PacketListBuilder list;
        list.add(0, bytes);
        return ours.server->send(out, to, list.list(), list.size());
    };
    ASSERT_EQ(send(a, {0xF0, 0x7D, 0x01}), noErr);
    ASSERT_EQ(send(b, {0xF0, 0x7D, 0x09}), noErr);
    ASSERT_EQ(snd_seq_delete_simple_port(looper.seq, looper.ports[1]), 0);
    ASSERT_TRUE(testwait::eventually([&] { return ours.endpointNamed("Looper B", false) == 0; }));
    ASSERT_TRUE(ours.server->waitUntilIdle(testwait::kDeadline));
    ASSERT_EQ(send(a, {0x02, 0x03, 0x04, 0xF7}), noErr);
    EXPECT_TRUE(looper.receives(looper.ports[0], {0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0xF7}));
}

TEST(AlsaServerWithOtherPrograms, OneThatTakesNothingHoldsUpNoOtherSubscriberOfOurSource) {
    platform::BackgroundJobs jobs;
    AlsaServerConfig config;
    config.jobs = &jobs;
    config.retryTimeout = 10s; // far longer than the guest ever stalls
    std::string why;
    auto server = AlsaServer::open(config, &why);
    KERNEL_TEST_NEEDS(server, "no ALSA sequencer on this machine (" << why << ")");
    MIDIClientRef client = 0;
    MIDIEndpointRef source = 0;
    // A name no other test uses: the kernel tests run side by side, each with a client of its own.
    ASSERT_EQ(server->createClient("Sonabel frozen subscriber test", {}, &client), noErr);
    ASSERT_EQ(server->createSource(client, "Sonabel Out", &source), noErr);
    ReadingProgram frozen("Frozen", {"Frozen in"}), reader("Reader", {"Reader in"});
    ASSERT_TRUE(frozen.ready() && reader.ready());
    // A pool of eight events that nobody reads; subscribed first, so listed first.
    ASSERT_EQ(snd_seq_set_client_pool_input(frozen.seq, 8), 0);
    const int ourClient = [&] {
        snd_seq_client_info_t* info = nullptr;
        snd_seq_client_info_alloca(&info);
        snd_seq_client_info_set_client(info, -1);
        while (snd_seq_query_next_client(frozen.seq, info) >= 0)
            if (std::string(snd_seq_client_info_get_name(info)) == "Sonabel frozen subscriber test")
                return snd_seq_client_info_get_client(info);
        return -1;
    }();
    ASSERT_GE(ourClient, 0);
    snd_seq_port_info_t* port = nullptr;
    snd_seq_port_info_alloca(&port);
    snd_seq_port_info_set_client(port, ourClient);
    snd_seq_port_info_set_port(port, -1);
    int ourPort = -1;
    while (snd_seq_query_next_port(frozen.seq, port) >= 0)
        if (std::string(snd_seq_port_info_get_name(port)) == "Sonabel Out")
            ourPort = snd_seq_port_info_get_port(port);
    ASSERT_GE(ourPort, 0);
    ASSERT_EQ(snd_seq_connect_from(frozen.seq, frozen.ports[0], ourClient, ourPort), 0);
    ASSERT_EQ(snd_seq_connect_from(reader.seq, reader.ports[0], ourClient, ourPort), 0);

    auto note = [&](std::uint8_t key) {
        PacketListBuilder list;
        list.add(0, Bytes{0x90, key, 0x64});
        return server->received(source, list.list(), list.size());
    };
    Bytes expected;
    for (std::uint8_t key = 0x30; key < 0x38; ++key) {
        ASSERT_EQ(note(key), noErr);
        expected.insert(expected.end(), {0x90, key, 0x64});
    }
    auto late = std::async(std::launch::async, [&] { return note(0x40); });
    expected.insert(expected.end(), {0x90, 0x40, 0x64});
    // The reader has it while the send still waits for the frozen one.
    EXPECT_TRUE(reader.receives(reader.ports[0], expected));
    EXPECT_EQ(late.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(late.get(), kMIDIMessageSendErr);
}
