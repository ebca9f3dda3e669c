// The sequencer server over a fake sequencer: listing, announcements, input and sending.
#include "platform/core/LogSink.h"
#include "platform/midi/MIDIByteReader.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/alsa/AlsaErrorLog.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "testing/Eventually.h"
#include "testing/FakeSequencer.h"
#include "testing/KernelTestSupport.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace platform::midi;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr unsigned kIn = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kOut = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
const AlsaPortInfo kToskar{20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kIn | kOut, true};
const AlsaPortInfo kSketcher{130, 0, "Sketcher", "Sketcher out", kIn, false};

struct Notice {
    MIDINotificationMessageID id;
    MIDIObjectRef ref = 0;
    std::string property{};
    bool operator==(const Notice&) const = default;
};

struct Rig {
    platform::BackgroundJobs jobs;
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    alsatest::FakeSequencer* sequencer = nullptr;
    std::unique_ptr<AlsaServer> server;
    MIDIClientRef client = 0;
    std::vector<Notice> notices;

    explicit Rig(std::vector<AlsaPortInfo> listing = {kToskar}, platform::Sleeper* pacing = nullptr) {
        auto fake = std::make_unique<alsatest::FakeSequencer>(clock);
        sequencer = fake.get();
        sequencer->setListing(std::move(listing));
        AlsaServerConfig config;
        config.manualDelivery = true;
        config.jobs = &jobs;
        config.clock = &clock;
        config.sleeper = pacing ? pacing : &sleeper;
        server = std::make_unique<AlsaServer>(std::move(fake), config);
        EXPECT_EQ(server->createClient(
                      "Sonabel",
                      [this](const MIDINotification* n) {
                          Notice notice{n->messageID};
                          if (n->messageID == kMIDIMsgObjectAdded || n->messageID == kMIDIMsgObjectRemoved)
                              notice.ref = reinterpret_cast<const MIDIObjectAddRemoveNotification*>(n)->child;
                          if (n->messageID == kMIDIMsgIOError)
                              notice.ref = reinterpret_cast<const MIDIIOErrorNotification*>(n)->driverDevice;
                          if (n->messageID == kMIDIMsgPropertyChanged) {
                              auto* p = reinterpret_cast<const MIDIObjectPropertyChangeNotification*>(n);
                              notice.ref = p->object;
                              notice.property = p->propertyName;
                          }
                          notices.push_back(notice);
                      },
                      &client),
                  noErr);
    }
    ~Rig() {
        server.reset();
        jobs.joinAll();
    }
    // Lets the polling thread handle what was pushed, then runs the deliveries.
    void settle() {
        EXPECT_TRUE(testwait::eventually([&] { return sequencer->inputEmpty(); }));
        EXPECT_TRUE(server->waitUntilIdle(testwait::kDeadline));
        server->runPending();
    }
    void announce(int type, int client, int port) {
        snd_seq_event_t e{};
        e.type = static_cast<snd_seq_event_type_t>(type);
        e.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
        e.data.addr = {static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
        sequencer->push(e);
    }
    void sendFrom(int client, int port, int ourPort, const Bytes& bytes) {
        AlsaTranslation t;
        AlsaTranslation::OpenSysEx open;
        t.encode(bytes, 100, open, [&](snd_seq_event_t& e, std::size_t) {
            e.source = {static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
            e.dest = {128, static_cast<unsigned char>(ourPort)};
            Bytes sysEx;
            if (e.type == SND_SEQ_EVENT_SYSEX) {
                auto* p = static_cast<const std::uint8_t*>(e.data.ext.ptr);
                sysEx.assign(p, p + e.data.ext.len);
            }
            sequencer->push(e, sysEx);
            return 0;
        });
    }
    // One SysEx event as a sender's own chunking would make it.
    void sysExFrom(int client, int port, int ourPort, const Bytes& bytes) {
        snd_seq_event_t e{};
        e.type = SND_SEQ_EVENT_SYSEX;
        e.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
        e.source = {static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
        e.dest = {128, static_cast<unsigned char>(ourPort)};
        sequencer->push(e, bytes);
    }
    std::string name(MIDIObjectRef ref) {
        std::string out;
        server->getStringProperty(ref, kMIDIPropertyName, &out);
        return out;
    }
};

} // namespace

TEST(AlsaServer, AnnouncementsBecomeNotificationsAndAReusedAddressGetsNewHandles) {
    Rig rig;
    ASSERT_EQ(rig.server->numberOfSources(), 1u);
    const MIDIEndpointRef toskar = rig.server->source(0);
    EXPECT_EQ(rig.name(toskar), "Toskar MK2");
    EXPECT_EQ(rig.sequencer->clientName, "Sonabel");

    // Our own ports come and go without a word.
    MIDIPortRef in = 0;
    ASSERT_EQ(rig.server->createInputPortWithBlock(
                  rig.client, "In", [](auto...) {}, &in),
              noErr);
    rig.announce(SND_SEQ_EVENT_PORT_START, 128, 0);
    rig.settle();
    EXPECT_TRUE(rig.notices.empty());
    EXPECT_EQ(rig.server->numberOfSources(), 1u);

    // A second device plugged in.
    rig.sequencer->setListing({kToskar, {24, 0, "UM-4", "UM-4 MIDI 1", kIn, true}});
    rig.announce(SND_SEQ_EVENT_PORT_START, 24, 0);
    rig.settle();
    const MIDIEndpointRef um4 = rig.server->source(1);
    EXPECT_EQ(rig.notices, (std::vector<Notice>{{kMIDIMsgObjectAdded, um4}, {kMIDIMsgSetupChanged}}));
    rig.notices.clear();

    // Renamed: property changed with the property's name, then setup changed.
    rig.sequencer->setListing({kToskar, {24, 0, "UM-4 Pro", "UM-4 MIDI 1", kIn, true}});
    rig.announce(SND_SEQ_EVENT_CLIENT_CHANGE, 24, 0);
    rig.settle();
    EXPECT_EQ(rig.notices, (std::vector<Notice>{{kMIDIMsgPropertyChanged, um4, "name"},
                                                {kMIDIMsgPropertyChanged, um4, "displayName"},
                                                {kMIDIMsgSetupChanged}}));
    rig.notices.clear();

    // Unplugged, and another device took the address before we looked: the old handle is dead,
    // and the new one is made once, though the listing shows it before its start is read.
    rig.sequencer->setListing({kToskar, {24, 0, "Other", "Other port", kIn, true}});
    rig.announce(SND_SEQ_EVENT_PORT_EXIT, 24, 0);
    rig.announce(SND_SEQ_EVENT_CLIENT_EXIT, 24, -1);
    rig.announce(SND_SEQ_EVENT_CLIENT_START, 24, 0);
    rig.announce(SND_SEQ_EVENT_PORT_START, 24, 0);
    rig.settle();
    ASSERT_EQ(rig.server->numberOfSources(), 2u);
    const MIDIEndpointRef other = rig.server->source(1);
    EXPECT_NE(other, um4);
    std::string name;
    EXPECT_EQ(rig.server->getStringProperty(um4, kMIDIPropertyName, &name), kMIDIObjectNotFound);
    EXPECT_EQ(rig.server->connectSource(in, um4, nullptr), kMIDIUnknownEndpoint);
    EXPECT_EQ(rig.notices, (std::vector<Notice>{{kMIDIMsgObjectRemoved, um4},
                                                {kMIDIMsgSetupChanged},
                                                {kMIDIMsgObjectAdded, other},
                                                {kMIDIMsgSetupChanged}}));
}

TEST(AlsaServer, InputReachesBothPortKindsInOrderAndSurvivesLostEvents) {
    Rig rig;
    const MIDIEndpointRef toskar = rig.server->source(0);
    std::vector<miditest::Packet> packets;
    std::vector<std::uint32_t> words;
    MIDIPortRef packetPort = 0, eventPort = 0;
    ASSERT_EQ(rig.server->createInputPortWithBlock(
                  rig.client, "In",
                  [&](const MIDIPacketList* l, ByteCount n, void* refCon) {
                      EXPECT_EQ(refCon, &packets);
                      for (auto& p : miditest::packetsOf(l, n))
                          packets.push_back(p);
                  },
                  &packetPort),
              noErr);
    ASSERT_EQ(rig.server->createInputPortWithProtocol(
                  rig.client, "UMP In", kMIDIProtocol_1_0,
                  [&](const MIDIEventList* l, ByteCount n, void*) {
                      auto w = miditest::wordsOf(l, n);
                      words.insert(words.end(), w.begin(), w.end());
                  },
                  &eventPort),
              noErr);
    ASSERT_EQ(rig.server->connectSource(packetPort, toskar, &packets), noErr);
    ASSERT_EQ(rig.server->connectSource(eventPort, toskar, nullptr), noErr);
    const auto ports = rig.sequencer->ownPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(rig.sequencer->connections()[ports[0]], (std::vector<std::pair<int, int>>{{20, 0}}));
    // Ours are not for others to see or connect to.
    EXPECT_EQ(rig.sequencer->capabilityOf(ports[0]),
              unsigned(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT));

    const Bytes sysEx = miditest::eightBitSysEx(408);
    for (int ourPort : ports) {
        rig.sendFrom(20, 0, ourPort, {0x90, 0x3C, 0x64});
        rig.sendFrom(20, 0, ourPort, sysEx);
        rig.sendFrom(21, 0, ourPort, {0x90, 0x3D, 0x64}); // not connected: nothing
    }
    rig.settle();
    Bytes expected{0x90, 0x3C, 0x64};
    expected.insert(expected.end(), sysEx.begin(), sysEx.end());
    EXPECT_EQ(miditest::concat(packets), expected);
    for (const auto& p : packets) {
        EXPECT_EQ(p.timeStamp, rig.clock.now());
        EXPECT_LE(p.data.size(), 256u);
    }
    EXPECT_EQ(words.front(), 0x20903C64u);
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{sysEx}));

    // Events lost in the middle of a SysEx: logged, the partial SysEx dropped, input goes on.
    platform::ScopedLogCapture log;
    words.clear();
    rig.sendFrom(20, 0, ports[0], Bytes(sysEx.begin(), sysEx.begin() + 150));
    rig.settle();
    EXPECT_TRUE(words.empty()); // a SysEx goes up whole or not at all
    words.clear();
    rig.sequencer->pushOverrun();
    rig.sendFrom(20, 0, ports[0], {0xF0, 0x01, 0xF7, 0x80, 0x3C, 0x00});
    rig.settle();
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{{0xF0, 0x01, 0xF7}}));
    EXPECT_EQ(words.back(), 0x20803C00u);

    // After disconnect returns, nothing more.
    ASSERT_EQ(rig.server->disconnectSource(packetPort, toskar), noErr);
    packets.clear();
    rig.sendFrom(20, 0, ports[0], {0x90, 0x3C, 0x64});
    rig.settle();
    EXPECT_TRUE(packets.empty());
}

TEST(AlsaServer, InputPortsOnOneSourceShareOneSubscriptionUntilTheLastDisconnects) {
    Rig rig;
    const MIDIEndpointRef toskar = rig.server->source(0);
    Bytes got[2];
    MIDIPortRef ports[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(rig.server->createInputPortWithBlock(
                      rig.client, "In",
                      [&got, i](const MIDIPacketList* l, ByteCount n, void*) {
                          const Bytes bytes = miditest::concat(miditest::packetsOf(l, n));
                          got[i].insert(got[i].end(), bytes.begin(), bytes.end());
                      },
                      &ports[i]),
                  noErr);
        ASSERT_EQ(rig.server->connectSource(ports[i], toskar, nullptr), noErr);
    }
    // One event from the kernel, one cell of our input pool, whatever number of ports hear it.
    std::vector<int> subscribed;
    for (auto& [ourPort, from] : rig.sequencer->connections())
        subscribed.insert(subscribed.end(), from.size(), ourPort);
    ASSERT_EQ(subscribed.size(), 1u);
    const int shared = subscribed[0];
    rig.sysExFrom(20, 0, shared, {0xF0, 0x7D, 0x01});
    rig.sendFrom(20, 0, shared, {0x90, 0x3C, 0x64});
    rig.sysExFrom(20, 0, shared, {0xF0, 0x7D, 0x02, 0xF7});
    rig.settle();
    for (const Bytes& each : got)
        EXPECT_EQ(each, (Bytes{0x90, 0x3C, 0x64, 0xF0, 0x7D, 0x02, 0xF7}));
    // The kernel's news that the subscription ended ends each port's unfinished SysEx.
    platform::ScopedLogCapture log;
    rig.sysExFrom(20, 0, shared, {0xF0, 0x7D, 0x03});
    snd_seq_event_t unsubscribed{};
    unsubscribed.type = SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
    unsubscribed.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    unsubscribed.data.connect = {{20, 0}, {128, static_cast<unsigned char>(shared)}};
    rig.sequencer->push(unsubscribed);
    rig.sysExFrom(20, 0, shared, {0x04, 0xF7});
    rig.settle();
    EXPECT_EQ(log.lines(), std::vector<std::string>(
                               2, "MIDI input from Toskar MK2: an unfinished SysEx of 3 bytes is dropped"));

    // The first port gone, the second hears on; the last one's disconnect ends the subscription.
    ASSERT_EQ(rig.server->disconnectSource(ports[0], toskar), noErr);
    EXPECT_EQ(rig.sequencer->connections()[shared], (std::vector<std::pair<int, int>>{{20, 0}}));
    rig.sendFrom(20, 0, shared, {0x80, 0x3C, 0x00});
    rig.settle();
    EXPECT_EQ(got[0].size(), 7u);
    EXPECT_EQ(Bytes(got[1].begin() + 7, got[1].end()), (Bytes{0x80, 0x3C, 0x00}));
    ASSERT_EQ(rig.server->disposePort(ports[1]), noErr);
    EXPECT_TRUE(rig.sequencer->connections()[shared].empty());
}

TEST(AlsaServer, SendsGoToDestinationsPacedTowardDevicesAndVirtualEndpointsAreExported) {
    Rig rig;
    rig.sequencer->addDestination(20, 0, true, 4096);
    MIDIPortRef out = 0;
    ASSERT_EQ(rig.server->createOutputPort(rig.client, "Out", &out), noErr);
    const MIDIEndpointRef toskarIn = rig.server->source(0), toskarOut = rig.server->destination(0);
    PacketListBuilder list;
    for (int i = 0; i < 20; ++i)
        list.add(0, kerneltest::sevenBitSysEx(521));
    EXPECT_EQ(rig.server->send(out, toskarOut, list.list(), list.size()), noErr);
    const auto received = rig.sequencer->destination(20, 0);
    EXPECT_EQ(received.dropped, 0u);
    EXPECT_EQ(received.bytes.size(), 20u * 521u);
    EXPECT_EQ(rig.server->send(out, toskarIn, list.list(), list.size()), kMIDIWrongEndpointType);
    EXPECT_EQ(rig.server->send(out, 0xDEAD, list.list(), list.size()), kMIDIUnknownEndpoint);

    MIDIEndpointRef source = 0, destination = 0;
    ASSERT_EQ(rig.server->createSource(rig.client, "Sonabel Out", &source), noErr);
    ASSERT_EQ(rig.server->createDestination(
                  rig.client, "Sonabel In", [](auto...) {}, &destination),
              noErr);
    EXPECT_EQ(rig.name(source), "Sonabel Out");
    const auto ports = rig.sequencer->ownPorts();
    EXPECT_EQ(rig.sequencer->capabilityOf(ports[1]), kIn);
    EXPECT_EQ(rig.sequencer->capabilityOf(ports[2]), kOut);
    std::int32_t id = 0;
    ASSERT_EQ(rig.server->getIntegerProperty(source, kMIDIPropertyUniqueID, &id), noErr);
    EXPECT_EQ(rig.server->setIntegerProperty(destination, kMIDIPropertyUniqueID, id), kMIDIIDNotUnique);
    EXPECT_EQ(rig.server->setIntegerProperty(toskarIn, kMIDIPropertyUniqueID, 5), kMIDINotPermitted);

    // MIDIReceived goes to subscribers, paced when a device subscribed.
    rig.sequencer->subscribe(ports[1], 20, 0);
    PacketListBuilder note;
    note.add(0, Bytes{0x90, 0x3C, 0x64});
    EXPECT_EQ(rig.server->received(source, note.list(), note.size()), noErr);
    EXPECT_EQ(rig.sequencer->destination(20, 0).bytes.size(), 20u * 521u + 3u);
    EXPECT_EQ(rig.server->received(toskarIn, note.list(), note.size()), kMIDINotPermitted);

    ASSERT_EQ(rig.server->disposeEndpoint(source), noErr);
    EXPECT_EQ(rig.server->received(source, note.list(), note.size()), kMIDIUnknownEndpoint);
    EXPECT_EQ(rig.server->disposeEndpoint(toskarIn), kMIDINotPermitted);
    EXPECT_EQ(rig.sequencer->ownPorts().size(), 2u);
}

TEST(AlsaServer, ASendSubscribesFirstAndARefusalFailsItAloudOncePerDestination) {
    const AlsaPortInfo held{21, 0, "Held", "Held MIDI 1", kIn | kOut, true};
    Rig rig({kToskar, held});
    rig.sequencer->addDestination(20, 0, true, 4096);
    rig.sequencer->addDestination(21, 0, true, 4096);
    rig.sequencer->refuseSubscriptions(21, 0, -EBUSY);
    MIDIPortRef out = 0;
    ASSERT_EQ(rig.server->createOutputPort(rig.client, "Out", &out), noErr);
    const MIDIEndpointRef toskar = rig.server->destination(0), busy = rig.server->destination(1);
    PacketListBuilder note;
    note.add(0, Bytes{0x90, 0x3C, 0x64});
    platform::ScopedLogCapture log;

    // A device takes events only from a subscriber: the first send subscribes, later ones do not.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(rig.server->send(out, toskar, note.list(), note.size()), noErr);
    EXPECT_EQ(rig.sequencer->destination(20, 0).bytes.size(), 9u);
    EXPECT_EQ(rig.sequencer->connectToCalls, 1u);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(rig.server->send(out, busy, note.list(), note.size()), kMIDIMessageSendErr);
    // Gone between two listings, then back unsubscribed: one failure, then subscribed again.
    rig.sequencer->removeDestination(20, 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(rig.server->send(out, toskar, note.list(), note.size()), kMIDIMessageSendErr);
    rig.sequencer->addDestination(20, 0, true, 4096);
    EXPECT_EQ(rig.server->send(out, toskar, note.list(), note.size()), noErr);
    EXPECT_EQ(rig.sequencer->destination(20, 0).bytes, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "MIDI output to 20:0 is paced at a MIDI cable's rate (3125 bytes a second): the port drives no "
            "raw MIDI device of a card",
            "MIDI send to 21:0 failed: the port refused our connection: Device or resource busy",
            "MIDI send to 20:0 failed: No such file or directory"}));
}

TEST(AlsaServer, OurSourceSendsToEachSubscriberOnceAndNoEightBitSysExToADevice) {
    Rig rig;
    rig.sequencer->addDestination(20, 0, true, 4096);
    rig.sequencer->addDestination(130, 0, false, 2); // a program that takes an event a second
    rig.sequencer->userDrainEvery = 1'000'000'000;
    MIDIEndpointRef source = 0;
    ASSERT_EQ(rig.server->createSource(rig.client, "Sonabel Out", &source), noErr);
    const int ourPort = rig.sequencer->ownPorts().back();
    rig.sequencer->subscribe(ourPort, 20, 0);
    rig.sequencer->subscribe(ourPort, 130, 0);
    platform::ScopedLogCapture log;
    // The program's full pool refuses an event the device got: the device never gets it again.
    PacketListBuilder upload;
    upload.add(0, kerneltest::sevenBitSysEx(1000));
    EXPECT_EQ(rig.server->received(source, upload.list(), upload.size()), noErr);
    EXPECT_EQ(rig.sequencer->destination(20, 0).bytes, kerneltest::sevenBitSysEx(1000));
    EXPECT_EQ(rig.sequencer->destination(130, 0).bytes, kerneltest::sevenBitSysEx(1000));
    // A byte a cable reads as status: the program gets it, the device is skipped, and told of.
    const Bytes latin1Name{0xF0, 0x7D, 0x4E, 0xE9, 0x65, 0xF7};
    PacketListBuilder name;
    name.add(0, latin1Name);
    EXPECT_EQ(rig.server->received(source, name.list(), name.size()), kMIDIMessageSendErr);
    EXPECT_EQ(rig.sequencer->destination(20, 0).bytes.size(), 1000u);
    const auto program = rig.sequencer->destination(130, 0).bytes;
    EXPECT_EQ(Bytes(program.end() - 6, program.end()), latin1Name);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().back(), "MIDI send to 20:0 (a subscriber of port " + std::to_string(ourPort) +
                                      ") skipped: the SysEx holds the byte E9, which cannot cross a MIDI "
                                      "cable inside a SysEx");
}

TEST(AlsaServer, APortAnnouncedWhereWeSentBeforeGetsNoneOfTheOldPortsUnfinishedSysEx) {
    Rig rig({{130, 0, "Synth", "Synth In", kOut, false}});
    rig.sequencer->addDestination(130, 0, false, 100);
    MIDIPortRef out = 0;
    ASSERT_EQ(rig.server->createOutputPort(rig.client, "Out", &out), noErr);
    PacketListBuilder head, note;
    head.add(0, Bytes{0xF0, 0x7D, 0x01});
    note.add(0, Bytes{0x90, 0x3C, 0x64});
    ASSERT_EQ(rig.server->send(out, rig.server->destination(0), head.list(), head.size()), noErr);
    // Its exit went unheard (lost input); the new one's start is heard.
    rig.announce(SND_SEQ_EVENT_PORT_START, 130, 0);
    rig.settle();
    ASSERT_EQ(rig.server->send(out, rig.server->destination(0), note.list(), note.size()), noErr);
    EXPECT_EQ(rig.sequencer->destination(130, 0).eventTypes.back(), SND_SEQ_EVENT_NOTEON);
}

TEST(AlsaServer, InputIsHandledWhileASendIsPacedAndItsDestinationGoes) {
    // Holds the send in its first pacing wait until released, then lets the clock run.
    struct HeldSleeper final : platform::Sleeper {
        platform::ManualClock* clock = nullptr;
        std::mutex mutex;
        std::condition_variable changed;
        bool holding = false, released = false;
        void sleepFor(std::chrono::nanoseconds duration) override {
            std::unique_lock lock(mutex);
            holding = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
            clock->advance(static_cast<std::uint64_t>(duration.count()));
        }
    } held;
    const AlsaPortInfo keys{21, 0, "Keys", "Keys MIDI 1", kIn, true};
    Rig rig({kToskar, keys}, &held);
    held.clock = &rig.clock;
    rig.sequencer->addDestination(20, 0, true, 4096);
    Bytes received;
    MIDIPortRef in = 0, out = 0;
    ASSERT_EQ(rig.server->createInputPortWithBlock(
                  rig.client, "In",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      const Bytes bytes = miditest::concat(miditest::packetsOf(l, n));
                      received.insert(received.end(), bytes.begin(), bytes.end());
                  },
                  &in),
              noErr);
    ASSERT_EQ(rig.server->connectSource(in, rig.server->source(1), nullptr), noErr);
    ASSERT_EQ(rig.server->createOutputPort(rig.client, "Out", &out), noErr);
    PacketListBuilder upload;
    upload.add(0, kerneltest::sevenBitSysEx(8000));
    std::thread sender(
        [&] { rig.server->send(out, rig.server->destination(0), upload.list(), upload.size()); });
    {
        std::unique_lock lock(held.mutex);
        ASSERT_TRUE(held.changed.wait_for(lock, std::chrono::seconds(30), [&] { return held.holding; }));
    }
    // The instrument is unplugged mid-upload while the keyboard plays.
    rig.sequencer->setListing({keys});
    rig.announce(SND_SEQ_EVENT_CLIENT_EXIT, 20, 0);
    rig.sendFrom(21, 0, rig.sequencer->ownPorts()[0], {0x90, 0x3C, 0x64});
    rig.settle();
    EXPECT_EQ(received, (Bytes{0x90, 0x3C, 0x64}));
    {
        std::lock_guard lock(held.mutex);
        held.released = true;
    }
    held.changed.notify_all();
    sender.join();
}

TEST(AlsaServer, AlsaLibMessagesBecomeOneLogLine) {
    EXPECT_EQ(AlsaErrorLog::line("/build/alsa-lib/src/seq/seq_hw.c", 466, "snd_seq_hw_open", -ENOENT,
                                 "open /dev/snd/seq failed"),
              "ALSA lib seq_hw.c:466:(snd_seq_hw_open) open /dev/snd/seq failed: No such file or directory");
    EXPECT_EQ(AlsaErrorLog::line(nullptr, 1, nullptr, 0, "x"), "ALSA lib ?:1:(?) x");
}

TEST(AlsaServer, RealTimeEventsInsideASysExPassAtOnceOnEveryReceiver) {
    Rig rig;
    const MIDIEndpointRef toskar = rig.server->source(0);
    std::vector<std::vector<miditest::Packet>> lists;
    std::vector<std::uint32_t> words;
    Bytes toDestination;
    MIDIPortRef packetPort = 0, eventPort = 0;
    MIDIEndpointRef destination = 0;
    ASSERT_EQ(
        rig.server->createInputPortWithBlock(
            rig.client, "In",
            [&](const MIDIPacketList* l, ByteCount n, void*) { lists.push_back(miditest::packetsOf(l, n)); },
            &packetPort),
        noErr);
    ASSERT_EQ(rig.server->createInputPortWithProtocol(
                  rig.client, "UMP In", kMIDIProtocol_1_0,
                  [&](const MIDIEventList* l, ByteCount n, void*) {
                      auto w = miditest::wordsOf(l, n);
                      words.insert(words.end(), w.begin(), w.end());
                  },
                  &eventPort),
              noErr);
    ASSERT_EQ(rig.server->createDestination(
                  rig.client, "Virtual In",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      const auto bytes = miditest::concat(miditest::packetsOf(l, n));
                      toDestination.insert(toDestination.end(), bytes.begin(), bytes.end());
                  },
                  &destination),
              noErr);
    ASSERT_EQ(rig.server->connectSource(packetPort, toskar, nullptr), noErr);
    ASSERT_EQ(rig.server->connectSource(eventPort, toskar, nullptr), noErr);
    for (int ourPort : rig.sequencer->ownPorts()) {
        rig.sysExFrom(20, 0, ourPort, {0xF0, 0x01, 0x02});
        rig.sendFrom(20, 0, ourPort, {0xF8});
        rig.sendFrom(20, 0, ourPort, {0xFA});
        rig.sysExFrom(20, 0, ourPort, {0x03, 0xF7});
        rig.sendFrom(20, 0, ourPort, {0xFC});
    }
    rig.settle();

    // Real-time messages as they come; the SysEx once whole, never cut by them. What was read
    // together may come in one list.
    std::vector<Bytes> packets;
    for (const auto& list : lists)
        for (const auto& packet : list)
            packets.push_back(packet.data);
    EXPECT_EQ(packets, (std::vector<Bytes>{{0xF8}, {0xFA}, {0xF0, 0x01, 0x02, 0x03, 0xF7}, {0xFC}}));
    EXPECT_EQ(toDestination, (Bytes{0xF8, 0xFA, 0xF0, 0x01, 0x02, 0x03, 0xF7, 0xFC}));
    ASSERT_EQ(words.size(), 5u);
    EXPECT_EQ((std::vector<std::uint32_t>{words[0], words[1], words[4]}),
              (std::vector<std::uint32_t>{0x10F80000u, 0x10FA0000u, 0x10FC0000u}));
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0x03, 0xF7}}));
}

namespace {

// Every message each kind of receiver got from a source (the Toskar unless told), one byte string
// per message, in order.
struct Receivers {
    Rig& rig;
    int client;
    std::vector<Bytes> packets, events, virtualIn;
    Bytes umpSysEx; // the universal packets' SysEx so far
    std::vector<int> ports;
    int virtualPort = -1;
    MIDIPortRef packetPort = 0, eventPort = 0;
    MIDIEndpointRef destination = 0, source = 0;

    explicit Receivers(Rig& r, std::size_t sourceIndex = 0, int sourceClient = 20)
        : rig(r), client(sourceClient) {
        const auto messagesOf = [](const MIDIPacketList* l, ByteCount n) {
            std::vector<Bytes> out;
            const Bytes bytes = miditest::concat(miditest::packetsOf(l, n));
            for (std::size_t i = 0; i < bytes.size();) {
                std::size_t length = std::max<std::size_t>(MIDIByteReader::messageLength(bytes[i]), 1);
                if (bytes[i] == 0xF0)
                    length = static_cast<std::size_t>(std::find(bytes.begin() + i, bytes.end(), 0xF7) -
                                                      bytes.begin()) +
                             1 - i;
                out.emplace_back(bytes.begin() + i, bytes.begin() + std::min(i + length, bytes.size()));
                i += length;
            }
            return out;
        };
        EXPECT_EQ(rig.server->createInputPortWithBlock(
                      rig.client, "In",
                      [=, this](const MIDIPacketList* l, ByteCount n, void*) {
                          for (auto& m : messagesOf(l, n))
                              packets.push_back(m);
                      },
                      &packetPort),
                  noErr);
        EXPECT_EQ(rig.server->createInputPortWithProtocol(
                      rig.client, "UMP In", kMIDIProtocol_1_0,
                      [this](const MIDIEventList* l, ByteCount n, void*) {
                          const auto words = miditest::wordsOf(l, n);
                          for (std::size_t i = 0; i < words.size(); ++i) {
                              const std::uint32_t w = words[i];
                              if ((w >> 28) == 3 && i + 1 < words.size()) {
                                  const std::uint32_t w1 = words[++i];
                                  const unsigned status = (w >> 20) & 0xF, n = std::min((w >> 16) & 0xF, 6u);
                                  const std::uint8_t b[6] = {std::uint8_t(w >> 8),   std::uint8_t(w),
                                                             std::uint8_t(w1 >> 24), std::uint8_t(w1 >> 16),
                                                             std::uint8_t(w1 >> 8),  std::uint8_t(w1)};
                                  if (status <= 1) umpSysEx = {0xF0};
                                  umpSysEx.insert(umpSysEx.end(), b, b + n);
                                  if (status == 0 || status == 3) {
                                      umpSysEx.push_back(0xF7);
                                      events.push_back(umpSysEx);
                                  }
                                  continue;
                              }
                              const auto status = std::uint8_t(w >> 16);
                              const Bytes all{status, std::uint8_t(w >> 8), std::uint8_t(w)};
                              events.emplace_back(all.begin(),
                                                  all.begin() + MIDIByteReader::messageLength(status));
                          }
                      },
                      &eventPort),
                  noErr);
        EXPECT_EQ(rig.server->createDestination(
                      rig.client, "Virtual In",
                      [=, this](const MIDIPacketList* l, ByteCount n, void*) {
                          for (auto& m : messagesOf(l, n))
                              virtualIn.push_back(m);
                      },
                      &destination),
                  noErr);
        virtualPort = rig.sequencer->ownPorts().back();
        source = rig.server->source(sourceIndex);
        EXPECT_EQ(rig.server->connectSource(packetPort, source, nullptr), noErr);
        EXPECT_EQ(rig.server->connectSource(eventPort, source, nullptr), noErr);
        ports = rig.sequencer->ownPorts();
    }
    void sysEx(const Bytes& bytes) {
        for (int port : ports)
            rig.sysExFrom(client, 0, port, bytes);
    }
    void send(const Bytes& bytes) {
        for (int port : ports)
            rig.sendFrom(client, 0, port, bytes);
    }
    void expectEach(const std::vector<Bytes>& messages) {
        EXPECT_EQ(packets, messages);
        EXPECT_EQ(events, messages);
        EXPECT_EQ(virtualIn, messages);
    }
};

Bytes withData(Bytes head, std::size_t count, std::uint8_t value) {
    head.insert(head.end(), count, value);
    return head;
}

} // namespace

TEST(AlsaServer, ASysExGoesUpWholeAsTheKernelFramedItHoweverLateItIsRead) {
    Rig rig;
    Receivers in(rig);
    ASSERT_EQ(in.ports.size(), 2u);
    platform::ScopedLogCapture log;
    // A new start drops the unfinished SysEx: the later one alone, whole.
    in.sysEx(withData({0xF0}, 255, 0x41));
    in.sysEx({0xF0, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF7});
    rig.settle();
    in.sysEx({0xF0, 0x7D, 0x01, 0x02});
    rig.settle();
    rig.clock.advance(100'000'000);
    in.sysEx({0xF0, 0x7D, 0x03, 0x04, 0xF7});
    // Continuation events read more than a second apart (a reader held up, or a slow sender):
    // one SysEx, 8-bit data and all, nothing invented from its bytes.
    in.sysEx({0xF0, 0x7D, 0x10, 0x20});
    rig.settle();
    rig.clock.advance(1'000'000'001);
    in.sysEx({0x90, 0x3C, 0x64, 0xB0, 0x07, 0x7F, 0x01, 0xF7});
    rig.settle();
    // A channel message ends a SysEx and goes at once; the rest of that SysEx is dropped.
    in.sysEx({0xF0, 0x7D, 0x05});
    in.send({0x90, 0x3C, 0x64});
    in.sysEx({0x06, 0xF7});
    rig.settle();
    in.expectEach({{0xF0, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF7},
                   {0xF0, 0x7D, 0x03, 0x04, 0xF7},
                   {0xF0, 0x7D, 0x10, 0x20, 0x90, 0x3C, 0x64, 0xB0, 0x07, 0x7F, 0x01, 0xF7},
                   {0x90, 0x3C, 0x64}});
    std::vector<std::string> expected;
    for (const char* bytes : {"256", "4", "3"})
        for (int receiver = 0; receiver < 3; ++receiver)
            expected.push_back(std::string("MIDI input from Toskar MK2: an unfinished SysEx of ") + bytes +
                               " bytes is dropped");
    EXPECT_EQ(log.lines(), expected);
}

TEST(AlsaServer, AfterAnOverrunEveryUnfinishedSysExIsDroppedOnEveryReceiverWithOneLogLine) {
    Rig rig;
    Receivers in(rig);
    platform::ScopedLogCapture log;
    in.sysEx(withData({0xF0}, 255, 0x41));
    rig.settle();
    rig.sequencer->pushOverrun();
    in.sysEx({0x41, 0x42, 0x43, 0xF7});
    in.sysEx({0xF0, 0x7D, 0x0D, 0xF7});
    rig.settle();
    in.expectEach({{0xF0, 0x7D, 0x0D, 0xF7}});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input overran: events were lost; every unfinished SysEx is dropped"}));
}

TEST(AlsaServer, EveryMessageOfAProgramsSysExEventReachesEveryReceiverInOrder) {
    Rig rig({kToskar, kSketcher});
    Receivers in(rig, 1, kSketcher.client);
    platform::ScopedLogCapture log;
    in.sysEx({0xF0, 0x7D, 0x01, 0xF7, 0xF0, 0x7D, 0x02, 0xF7, 0x90, 0x3C, 0x64});
    // Split over events, 8-bit data and all; after an F7, real-time bytes and a SysEx left open.
    in.sysEx({0xF0, 0x7D, 0xE9});
    in.sysEx({0x03, 0xF7, 0xF8, 0xF0, 0x7D, 0x04});
    in.sysEx({0x05, 0xF7, 0x80, 0x3C, 0x00});
    // Bytes that begin no message are not passed on as if they did.
    in.sysEx({0xF0, 0x06, 0xF7, 0x3C, 0x64, 0xF7, 0x90, 0x3C});
    rig.settle();
    in.expectEach({{0xF0, 0x7D, 0x01, 0xF7},
                   {0xF0, 0x7D, 0x02, 0xF7},
                   {0x90, 0x3C, 0x64},
                   {0xF0, 0x7D, 0xE9, 0x03, 0xF7},
                   {0xF8},
                   {0xF0, 0x7D, 0x04, 0x05, 0xF7},
                   {0x80, 0x3C, 0x00},
                   {0xF0, 0x06, 0xF7}});
    EXPECT_EQ(log.lines(), std::vector<std::string>(
                               3, "MIDI input from Sketcher: 5 bytes that begin no message are dropped"));
}

TEST(AlsaServer, ADisconnectEndsThePairsUnfinishedSysExSoAReconnectJoinsNothingToIt) {
    Rig rig;
    Receivers in(rig);
    platform::ScopedLogCapture log;
    in.sysEx({0xF0, 0x7D, 0x0A, 0x0A, 0x0A});
    rig.settle();
    ASSERT_EQ(rig.server->disconnectSource(in.packetPort, in.source), noErr);
    ASSERT_EQ(rig.server->disconnectSource(in.eventPort, in.source), noErr);
    // The virtual destination's subscriber taken away from outside: the kernel announces it.
    snd_seq_event_t unsubscribed{};
    unsubscribed.type = SND_SEQ_EVENT_PORT_UNSUBSCRIBED;
    unsubscribed.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    unsubscribed.data.connect = {{20, 0}, {128, static_cast<unsigned char>(in.virtualPort)}};
    rig.sequencer->push(unsubscribed);
    rig.settle();
    ASSERT_EQ(rig.server->connectSource(in.packetPort, in.source, nullptr), noErr);
    ASSERT_EQ(rig.server->connectSource(in.eventPort, in.source, nullptr), noErr);
    in.sysEx({0x0B, 0x0B, 0x0B, 0xF7});
    in.sysEx({0xF0, 0x7D, 0x0C, 0xF7});
    rig.settle();
    in.expectEach({{0xF0, 0x7D, 0x0C, 0xF7}});
    EXPECT_EQ(log.lines(), std::vector<std::string>(
                               3, "MIDI input from Toskar MK2: an unfinished SysEx of 5 bytes is dropped"));
}

namespace {

// Holds the first thread that sleeps until released; any other sleeper moves the clock on.
struct FirstSleeperHeld final : platform::Sleeper {
    platform::ManualClock* clock = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::thread::id> held;
    bool released = false;
    void sleepFor(std::chrono::nanoseconds duration) override {
        {
            std::unique_lock lock(mutex);
            if (!held) held = std::this_thread::get_id();
            if (*held == std::this_thread::get_id() && !released) {
                changed.notify_all();
                changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
            }
        }
        clock->advance(static_cast<std::uint64_t>(duration.count()));
    }
    bool waitUntilHeld() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return held.has_value(); });
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
    }
};

const AlsaPortInfo kTwoPortsA{130, 0, "Looper", "Looper A", kOut, false};
const AlsaPortInfo kTwoPortsB{130, 1, "Looper", "Looper B", kOut, false};

} // namespace

TEST(AlsaServer, AProgramDeletingOneOfItsPortsLeavesWhatWeSentToItsOtherPortIntact) {
    Rig rig({kTwoPortsA, kTwoPortsB});
    rig.sequencer->addDestination(130, 0, false, 100);
    rig.sequencer->addDestination(130, 1, false, 100);
    MIDIPortRef out = 0;
    ASSERT_EQ(rig.server->createOutputPort(rig.client, "Out", &out), noErr);
    const MIDIEndpointRef a = rig.server->destination(0), b = rig.server->destination(1);
    auto send = [&](MIDIEndpointRef to, const Bytes& bytes) {
        PacketListBuilder list;
        list.add(0, bytes);
        return rig.server->send(out, to, list.list(), list.size());
    };
    ASSERT_EQ(send(a, {0xF0, 0x7D, 0x01}), noErr);
    ASSERT_EQ(send(b, {0xF0, 0x7D, 0x09}), noErr);
    rig.sequencer->setListing({kTwoPortsA});
    rig.sequencer->removeDestination(130, 1);
    rig.announce(SND_SEQ_EVENT_PORT_EXIT, 130, 1);
    rig.settle();
    ASSERT_EQ(send(a, {0x02, 0x03, 0x04, 0xF7}), noErr);
    EXPECT_EQ(rig.sequencer->destination(130, 0).bytes, (Bytes{0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0xF7}));
}

TEST(AlsaServer, ASendUnderWayKeepsItsDestinationsOrderWhenAnotherPortOfItsProgramGoes) {
    FirstSleeperHeld held;
    Rig rig({kTwoPortsA, kTwoPortsB}, &held);
    held.clock = &rig.clock;
    rig.sequencer->addDestination(130, 0, false, 1); // takes an event a millisecond
    rig.sequencer->addDestination(130, 1, false, 100);
    MIDIPortRef out = 0;
    ASSERT_EQ(rig.server->createOutputPort(rig.client, "Out", &out), noErr);
    const MIDIEndpointRef a = rig.server->destination(0);
    PacketListBuilder upload, note;
    upload.add(0, miditest::eightBitSysEx(700));
    note.add(0, Bytes{0x90, 0x3C, 0x64});
    std::thread first([&] { EXPECT_EQ(rig.server->send(out, a, upload.list(), upload.size()), noErr); });
    ASSERT_TRUE(held.waitUntilHeld());
    rig.sequencer->setListing({kTwoPortsA});
    rig.sequencer->removeDestination(130, 1);
    rig.announce(SND_SEQ_EVENT_PORT_EXIT, 130, 1);
    rig.settle();
    std::atomic<bool> noteSent{false};
    std::thread second([&] {
        EXPECT_EQ(rig.server->send(out, a, note.list(), note.size()), noErr);
        noteSent = true;
    });
    // The note waits for the upload; were it let through, it would be there by now.
    testwait::eventually([&] { return noteSent.load(); }, std::chrono::milliseconds(300));
    held.release();
    first.join();
    second.join();
    const auto types = rig.sequencer->destination(130, 0).eventTypes;
    ASSERT_EQ(types.size(), 4u);
    EXPECT_EQ(types, (std::vector<snd_seq_event_type_t>{SND_SEQ_EVENT_SYSEX, SND_SEQ_EVENT_SYSEX,
                                                        SND_SEQ_EVENT_SYSEX, SND_SEQ_EVENT_NOTEON}));
}

TEST(AlsaServer, ASubscriptionEndedFromOutsideIsMadeAgainOrTheClientIsToldAndAReconnectRepairsIt) {
    Rig rig;
    const MIDIEndpointRef toskar = rig.server->source(0);
    Bytes got[2];
    MIDIPortRef ports[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(rig.server->createInputPortWithBlock(
                      rig.client, "In",
                      [&got, i](const MIDIPacketList* l, ByteCount n, void*) {
                          const Bytes bytes = miditest::concat(miditest::packetsOf(l, n));
                          got[i].insert(got[i].end(), bytes.begin(), bytes.end());
                      },
                      &ports[i]),
                  noErr);
        ASSERT_EQ(rig.server->connectSource(ports[i], toskar, nullptr), noErr);
    }
    const int shared = rig.sequencer->ownPorts()[0];
    const std::vector<std::pair<int, int>> subscribed{{20, 0}};
    auto hearBoth = [&](std::uint8_t note) {
        got[0].clear();
        got[1].clear();
        rig.sendFrom(20, 0, shared, {0x90, note, 0x64});
        rig.settle();
        for (const Bytes& each : got)
            EXPECT_EQ(each, (Bytes{0x90, note, 0x64}));
    };
    platform::ScopedLogCapture log;

    // Ended by the instrument's driver or a tool while the instrument stays: made again at once.
    rig.sequencer->endSubscription(shared, 20, 0);
    rig.settle();
    EXPECT_EQ(rig.sequencer->connections()[shared], subscribed);
    hearBoth(0x3C);
    EXPECT_TRUE(log.lines().empty());

    // It cannot be made again: one line, one notification; connecting the same port again repairs
    // it for every port, and a second connect of a live one changes nothing.
    rig.notices.clear();
    rig.sequencer->refuseConnectFrom(-EPERM);
    rig.sequencer->endSubscription(shared, 20, 0);
    rig.settle();
    EXPECT_TRUE(rig.sequencer->connections()[shared].empty());
    EXPECT_EQ(rig.notices, (std::vector<Notice>{{kMIDIMsgIOError, toskar}}));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"MIDI input from Toskar MK2 stopped: our subscription was "
                                        "ended and cannot be made again: Operation not permitted"}));
    EXPECT_EQ(rig.server->connectSource(ports[1], toskar, nullptr), kMIDIServerStartErr);
    rig.sequencer->refuseConnectFrom(0);
    ASSERT_EQ(rig.server->connectSource(ports[1], toskar, nullptr), noErr);
    ASSERT_EQ(rig.server->connectSource(ports[0], toskar, nullptr), noErr);
    EXPECT_EQ(rig.sequencer->connections()[shared], subscribed);
    hearBoth(0x3D);

    // The instrument's port going ends it too: not made again, and nobody is told but by its exit.
    rig.notices.clear();
    log.clear();
    rig.sequencer->setListing({});
    rig.sequencer->refuseConnectFrom(-EINVAL);
    rig.sequencer->endSubscription(shared, 20, 0);
    rig.settle();
    EXPECT_TRUE(rig.notices.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST(AlsaServer, AFrozenSubscriberOfOurSourceHoldsUpNoOtherAndItsSendStillFails) {
    FirstSleeperHeld held;
    Rig rig({}, &held);
    held.clock = &rig.clock;
    rig.sequencer->addDestination(130, 0, false, 4);
    rig.sequencer->addDestination(131, 0, false, 100);
    rig.sequencer->addDestination(132, 0, false, 100);
    rig.sequencer->setFrozen(130, 0, true);
    MIDIEndpointRef source = 0;
    ASSERT_EQ(rig.server->createSource(rig.client, "Sonabel Out", &source), noErr);
    const int ourPort = rig.sequencer->ownPorts().back();
    for (int client : {130, 131, 132})
        rig.sequencer->subscribe(ourPort, client, 0);
    PacketListBuilder note;
    note.add(0, Bytes{0x90, 0x3C, 0x64});
    platform::ScopedLogCapture log;
    std::atomic<OSStatus> status{1};
    std::thread sender([&] { status = rig.server->received(source, note.list(), note.size()); });
    ASSERT_TRUE(held.waitUntilHeld());
    // The frozen one, first in the list, waits: those after it have the note already.
    EXPECT_TRUE(testwait::eventually([&] {
        return rig.sequencer->destination(131, 0).bytes.size() == 3 &&
               rig.sequencer->destination(132, 0).bytes.size() == 3;
    }));
    EXPECT_EQ(status.load(), 1);
    held.release();
    sender.join();
    EXPECT_EQ(status.load(), kMIDIMessageSendErr);
    EXPECT_TRUE(rig.sequencer->destination(130, 0).bytes.empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI send to 130:0 failed: the receiver took nothing for 10000 ms"}));
    // Past its deadline it fails at once while it has no room, and takes sends again once it has.
    const auto before = rig.clock.now();
    EXPECT_EQ(rig.server->received(source, note.list(), note.size()), kMIDIMessageSendErr);
    EXPECT_LT(rig.clock.now() - before, 1'000'000'000u);
    EXPECT_EQ(rig.sequencer->destination(131, 0).bytes.size(), 6u);
    rig.sequencer->setFrozen(130, 0, false);
    EXPECT_EQ(rig.server->received(source, note.list(), note.size()), noErr);
    EXPECT_EQ(rig.sequencer->destination(130, 0).bytes, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(rig.sequencer->destination(132, 0).bytes.size(), 9u);
}

TEST(AlsaServer, ASenderKnownByItsAddressKeepsItsSysExWhenListedAndLosesItWhenItsProgramGoes) {
    static const AlsaPortInfo writeOnly{130, 0, "Sketcher", "Sketcher out", kOut, false};
    static const AlsaPortInfo readable{130, 0, "Sketcher", "Sketcher out", kIn | kOut, false};
    struct Case {
        const char* what;
        int announcement; // what happens between the SysEx's halves
        std::vector<AlsaPortInfo> listing;
        std::vector<Bytes> expected;
        std::vector<std::string> lines;
        std::vector<AlsaPortInfo> before = {writeOnly};
    };
    const std::string dropped = "MIDI input from 130:0: an unfinished SysEx of 3 bytes is dropped";
    const Case cases[] = {
        {"listed", SND_SEQ_EVENT_PORT_CHANGE, {readable}, {{0xF0, 0x7D, 0x01, 0x55, 0x66, 0xF7}}, {}},
        {"port gone, another comes", SND_SEQ_EVENT_PORT_EXIT, {writeOnly}, {}, {dropped}},
        {"program gone, another comes", SND_SEQ_EVENT_CLIENT_EXIT, {writeOnly}, {}, {dropped}},
        {"another program at the address", SND_SEQ_EVENT_CLIENT_START, {writeOnly}, {}, {dropped}},
        // The other way round: known by its address from now on, it goes on all the same.
        {"no longer listed",
         SND_SEQ_EVENT_PORT_CHANGE,
         {writeOnly},
         {{0xF0, 0x7D, 0x01, 0x55, 0x66, 0xF7}},
         {},
         {readable}},
        {"no longer listed, then gone", SND_SEQ_EVENT_PORT_EXIT, {}, {}, {}, {readable}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(c.before);
        std::vector<Bytes> got;
        MIDIEndpointRef destination = 0;
        ASSERT_EQ(rig.server->createDestination(
                      rig.client, "Virtual In",
                      [&](const MIDIPacketList* l, ByteCount n, void*) {
                          got.push_back(miditest::concat(miditest::packetsOf(l, n)));
                      },
                      &destination),
                  noErr);
        const int virtualPort = rig.sequencer->ownPorts().back();
        platform::ScopedLogCapture log;
        rig.sysExFrom(130, 0, virtualPort, {0xF0, 0x7D, 0x01});
        rig.settle();
        rig.sequencer->setListing(c.listing);
        rig.announce(c.announcement, 130, 0);
        rig.sysExFrom(130, 0, virtualPort, {0x55, 0x66, 0xF7});
        rig.settle();
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(log.lines(), c.lines);
    }
}

TEST(AlsaServer, ARealTimeByteInsideAMessageOfAProgramsEventComesFirstAndTheMessageWholeAfterIt) {
    Rig rig({kToskar, kSketcher});
    Receivers in(rig, 1, kSketcher.client);
    platform::ScopedLogCapture log;
    in.sysEx({0xF0, 0x01, 0xF7, 0x90, 0xF8, 0x3C, 0x64, 0xB0, 0x07, 0xFE, 0xFA, 0x7F});
    // Cut short by a status byte with a real-time byte inside: that byte, then what cut it.
    in.sysEx({0xF0, 0x02, 0xF7, 0x90, 0x3C, 0xFC, 0xF0, 0x7D, 0xF7});
    rig.settle();
    in.expectEach({{0xF0, 0x01, 0xF7},
                   {0xF8},
                   {0x90, 0x3C, 0x64},
                   {0xFE},
                   {0xFA},
                   {0xB0, 0x07, 0x7F},
                   {0xF0, 0x02, 0xF7},
                   {0xFC},
                   {0xF0, 0x7D, 0xF7}});
    EXPECT_EQ(log.lines(), std::vector<std::string>(
                               3, "MIDI input from Sketcher: 2 bytes that begin no message are dropped"));
}

TEST(AlsaServer, UndefinedRealTimeBytesInAProgramsEventAreLeftOutAndTheMessagesAroundThemArrive) {
    const std::string cut = "MIDI input from Sketcher: 2 bytes that begin no message are dropped";
    const struct {
        Bytes event;
        std::vector<Bytes> expected;
        std::vector<std::string> lines;
    } cases[] = {
        {{0xF0, 0x7D, 0xF7, 0xC7, 0xFD, 0x02}, {{0xF0, 0x7D, 0xF7}, {0xC7, 0x02}}, {}},
        {{0xF0, 0x01, 0xF7, 0xF9, 0x90, 0x3C, 0x64, 0xFD}, {{0xF0, 0x01, 0xF7}, {0x90, 0x3C, 0x64}}, {}},
        {{0xF0, 0x02, 0xF7, 0x90, 0xF9, 0x3C, 0xF8, 0xFD, 0x64},
         {{0xF0, 0x02, 0xF7}, {0xF8}, {0x90, 0x3C, 0x64}},
         {}},
        {{0xF0, 0x03, 0xF7, 0x90, 0x3C, 0xFD, 0xF0, 0x7D, 0xF7},
         {{0xF0, 0x03, 0xF7}, {0xF0, 0x7D, 0xF7}},
         {cut, cut, cut}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.event));
        Rig rig({kToskar, kSketcher});
        Receivers in(rig, 1, kSketcher.client);
        platform::ScopedLogCapture log;
        in.sysEx(c.event);
        rig.settle();
        in.expectEach(c.expected);
        EXPECT_EQ(log.lines(), c.lines);
    }
}

TEST(AlsaServer, ABrokenInputIsToldOnceAndReadAgainAfterAPauseNotInALoop) {
    platform::BackgroundJobs jobs;
    platform::ManualClock clock;
    auto fake = std::make_unique<alsatest::FakeSequencer>(clock);
    alsatest::FakeSequencer& sequencer = *fake;
    AlsaServerConfig config;
    config.manualDelivery = true;
    config.jobs = &jobs;
    config.clock = &clock;
    config.pollTimeout = std::chrono::milliseconds(20);
    platform::ScopedLogCapture log;
    {
        AlsaServer server(std::move(fake), config);
        sequencer.failInput(-EIO);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // A read every pause at most, however fast the machine; once the input works, an event is
        // read and handled again.
        EXPECT_LE(sequencer.inputCalls(), 20u);
        sequencer.failInput(0);
        snd_seq_event_t e{};
        e.type = SND_SEQ_EVENT_CLIENT_START;
        e.source = {SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
        e.data.addr = {20, 0};
        sequencer.push(e);
        EXPECT_TRUE(testwait::eventually([&] { return sequencer.inputEmpty(); }));
    }
    jobs.joinAll();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"MIDI input failed: Input/output error"}));
}
