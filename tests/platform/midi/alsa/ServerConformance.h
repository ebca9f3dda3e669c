#pragma once
// The Server contract, run against every backend: the in-process server and the sequencer server
// over a fake sequencer that loops our own ports back (ServerConformance_e2e_test.cpp), and the
// kernel's sequencer (ServerConformance_kernel_test.cpp). Virtual endpoints carry the traffic, so
// no device is needed.
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "testing/Eventually.h"
#include "testing/FakeSequencer.h"
#include "testing/KernelTestSupport.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace platform::midi;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace serverconformance {

enum class Backend { inProcess, alsaFake, alsaReal };

std::string backendName(const testing::TestParamInfo<Backend>& info) {
    switch (info.param) {
    case Backend::inProcess:
        return "InProcess";
    case Backend::alsaFake:
        return "AlsaOverFakeSequencer";
    case Backend::alsaReal:
        return "AlsaSequencer";
    }
    return "?";
}

class ServerConformance : public testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        switch (GetParam()) {
        case Backend::inProcess: {
            InProcessServerConfig config;
            config.jobs = &jobs;
            server = std::make_shared<InProcessServer>(config);
            break;
        }
        case Backend::alsaFake: {
            AlsaServerConfig config;
            config.jobs = &jobs;
            server = std::make_shared<AlsaServer>(std::make_unique<alsatest::FakeSequencer>(clock), config);
            break;
        }
        case Backend::alsaReal: {
            AlsaServerConfig config;
            config.jobs = &jobs;
            std::string why;
            server = AlsaServer::open(config, &why);
            KERNEL_TEST_NEEDS(server, "no ALSA sequencer on this machine (" << why << ")");
            break;
        }
        }
        ASSERT_EQ(server->createClient("Sonabel conformance", {}, &client), noErr);
        ASSERT_EQ(server->createClient("Other program", {}, &other), noErr);
    }
    void TearDown() override {
        server.reset();
        jobs.joinAll();
    }

    // Waits for a condition a delivery makes true, with a deadline that holds on a loaded machine.
    template <typename F> static bool eventually(F condition) { return testwait::eventually(condition); }

    // Disposes the clients when a test body ends, early returns included. Once that has returned
    // no block runs again, so blocks may capture the body's locals if this is declared after them.
    struct DeliveryStop {
        ServerConformance& test;
        ~DeliveryStop() {
            test.server->disposeClient(test.client);
            test.server->disposeClient(test.other);
        }
    };

    platform::BackgroundJobs jobs;
    platform::ManualClock clock;
    std::shared_ptr<Server> server;
    MIDIClientRef client = 0, other = 0;
};

} // namespace serverconformance

using namespace serverconformance;

TEST_P(ServerConformance, VirtualEndpointsCarryWholeSysExToBothPortKinds) {
    std::mutex mutex;
    std::vector<miditest::Packet> packets;
    std::vector<std::uint32_t> words;
    MIDIEndpointRef source = 0;
    ASSERT_EQ(server->createSource(other, "Conformance Out", &source), noErr);
    MIDIPortRef packetPort = 0, eventPort = 0;
    ASSERT_EQ(server->createInputPortWithBlock(
                  client, "In",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      std::lock_guard lock(mutex);
                      for (auto& p : miditest::packetsOf(l, n))
                          packets.push_back(p);
                  },
                  &packetPort),
              noErr);
    ASSERT_EQ(server->createInputPortWithProtocol(
                  client, "UMP In", kMIDIProtocol_1_0,
                  [&](const MIDIEventList* l, ByteCount n, void*) {
                      std::lock_guard lock(mutex);
                      auto w = miditest::wordsOf(l, n);
                      words.insert(words.end(), w.begin(), w.end());
                  },
                  &eventPort),
              noErr);
    ASSERT_EQ(server->connectSource(packetPort, source, nullptr), noErr);
    ASSERT_EQ(server->connectSource(eventPort, source, nullptr), noErr);
    const DeliveryStop stop{*this};

    const Bytes sysEx = miditest::eightBitSysEx(408);
    PacketListBuilder list;
    list.add(0, sysEx);
    list.add(0, Bytes{0x90, 0x3C, 0x64});
    ASSERT_EQ(server->received(source, list.list(), list.size()), noErr);
    Bytes expected = sysEx;
    expected.insert(expected.end(), {0x90, 0x3C, 0x64});
    // The SysEx may come in more pieces on one backend than on another: wait for the note-on.
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return miditest::concat(packets).size() >= expected.size() && !words.empty() &&
               words.back() == 0x20903C64u;
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(miditest::concat(packets), expected);
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{sysEx}));
    EXPECT_EQ(words.back(), 0x20903C64u);
}

TEST_P(ServerConformance, SendReachesAVirtualDestinationAndNeverASource) {
    std::mutex mutex;
    Bytes received;
    MIDIEndpointRef destination = 0, source = 0;
    ASSERT_EQ(server->createDestination(
                  other, "Conformance In",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      std::lock_guard lock(mutex);
                      auto bytes = miditest::concat(miditest::packetsOf(l, n));
                      received.insert(received.end(), bytes.begin(), bytes.end());
                  },
                  &destination),
              noErr);
    const DeliveryStop stop{*this};
    ASSERT_EQ(server->createSource(other, "Conformance Out", &source), noErr);
    MIDIPortRef out = 0;
    ASSERT_EQ(server->createOutputPort(client, "Out", &out), noErr);
    Bytes expected;
    for (int i = 0; i < 20; ++i) {
        const Bytes block = miditest::eightBitSysEx(521);
        PacketListBuilder list;
        list.add(0, block);
        ASSERT_EQ(server->send(out, destination, list.list(), list.size()), noErr);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    PacketListBuilder note;
    note.add(0, Bytes{0x90, 0x3C, 0x64});
    EXPECT_NE(server->send(out, source, note.list(), note.size()), noErr);
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return received.size() >= expected.size();
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, expected);
}

TEST_P(ServerConformance, HandlesAreNeverReusedAndUniqueIDsAreUnique) {
    MIDIEndpointRef first = 0, second = 0;
    ASSERT_EQ(server->createSource(client, "A", &first), noErr);
    ASSERT_EQ(server->createSource(client, "B", &second), noErr);
    std::int32_t a = 0, b = 0;
    ASSERT_EQ(server->getIntegerProperty(first, kMIDIPropertyUniqueID, &a), noErr);
    ASSERT_EQ(server->getIntegerProperty(second, kMIDIPropertyUniqueID, &b), noErr);
    EXPECT_NE(a, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(server->setIntegerProperty(second, kMIDIPropertyUniqueID, a), kMIDIIDNotUnique);
    std::string name;
    ASSERT_EQ(server->getStringProperty(first, kMIDIPropertyName, &name), noErr);
    EXPECT_EQ(name, "A");

    ASSERT_EQ(server->disposeEndpoint(first), noErr);
    EXPECT_NE(server->getIntegerProperty(first, kMIDIPropertyUniqueID, &a), noErr);
    EXPECT_NE(server->disposeEndpoint(first), noErr);
    MIDIEndpointRef third = 0;
    ASSERT_EQ(server->createSource(client, "A", &third), noErr);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    ASSERT_EQ(server->disposeClient(client), noErr);
    EXPECT_NE(server->getStringProperty(third, kMIDIPropertyName, &name), noErr);
    EXPECT_NE(server->disposeClient(client), noErr);
}

TEST_P(ServerConformance, NothingIsDeliveredOnceDisconnectReturns) {
    MIDIEndpointRef source = 0;
    ASSERT_EQ(server->createSource(other, "Conformance Out", &source), noErr);
    std::atomic<bool> disconnected{false};
    std::atomic<int> late{0}, delivered{0};
    MIDIPortRef port = 0;
    ASSERT_EQ(server->createInputPortWithBlock(
                  client, "In",
                  [&](const MIDIPacketList*, ByteCount, void*) {
                      if (disconnected) ++late;
                      ++delivered;
                      std::this_thread::sleep_for(100us);
                  },
                  &port),
              noErr);
    ASSERT_EQ(server->connectSource(port, source, nullptr), noErr);
    PacketListBuilder note;
    note.add(0, Bytes{0x90, 0x3C, 0x64});
    std::thread sender([&] {
        for (int i = 0; i < 200; ++i)
            server->received(source, note.list(), note.size());
    });
    EXPECT_TRUE(eventually([&] { return delivered > 0; }));
    ASSERT_EQ(server->disconnectSource(port, source), noErr);
    disconnected = true;
    sender.join();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(late, 0);
}
