// The in-process server with its delivery thread running, as the application and the
// instrument emulator use it.
#include "platform/core/BackgroundJobs.h"
#include "platform/midi/MIDIServices.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "testing/Eventually.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform::midi;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Every test owns the jobs its server runs on, so nothing outlives it.
struct Threaded {
    platform::BackgroundJobs jobs;
    std::shared_ptr<InProcessServer> server;
    Threaded() {
        InProcessServerConfig config;
        config.jobs = &jobs;
        server = std::make_shared<InProcessServer>(config);
    }
    ~Threaded() {
        server.reset();
        jobs.joinAll();
    }
    MIDIEndpointRef source(const std::string& name) {
        MIDIEndpointRef ref = 0;
        EXPECT_EQ(server->addExternalSource({.name = name}, &ref), noErr);
        return ref;
    }
};

Bytes controller(int i) {
    return {0xB0, std::uint8_t((i >> 7) & 0x7F), std::uint8_t(i & 0x7F)};
}

int controllerValue(const std::uint8_t* b) {
    return (b[1] << 7) | b[2];
}

} // namespace

TEST(InProcessServerThreaded, EveryBlockRunsOnOneThreadInOrder) {
    Threaded t;
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::vector<int> packetOrder, wordOrder;
    int notifications = 0;

    MIDIClientRef client = 0;
    ASSERT_EQ(t.server->createClient(
                  "Sonabel",
                  [&](const MIDINotification*) {
                      std::lock_guard lock(mutex);
                      threads.push_back(std::this_thread::get_id());
                      ++notifications;
                  },
                  &client),
              noErr);
    MIDIPortRef packets = 0, events = 0;
    ASSERT_EQ(t.server->createInputPortWithBlock(
                  client, "In",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      std::lock_guard lock(mutex);
                      threads.push_back(std::this_thread::get_id());
                      for (const auto& p : miditest::packetsOf(l, n))
                          for (std::size_t i = 0; i + 2 < p.data.size(); i += 3)
                              packetOrder.push_back(controllerValue(&p.data[i]));
                  },
                  &packets),
              noErr);
    ASSERT_EQ(
        t.server->createInputPortWithProtocol(
            client, "In", kMIDIProtocol_1_0,
            [&](const MIDIEventList* l, ByteCount n, void*) {
                std::lock_guard lock(mutex);
                threads.push_back(std::this_thread::get_id());
                for (std::uint32_t w : miditest::wordsOf(l, n)) {
                    const std::uint8_t b[3] = {std::uint8_t(w >> 16), std::uint8_t(w >> 8), std::uint8_t(w)};
                    wordOrder.push_back(controllerValue(b));
                }
            },
            &events),
        noErr);
    const MIDIEndpointRef source = t.source("Velmor");
    ASSERT_EQ(t.server->connectSource(packets, source, nullptr), noErr);
    ASSERT_EQ(t.server->connectSource(events, source, nullptr), noErr);

    constexpr int kCount = 5000;
    std::thread sender([&] {
        for (int i = 0; i < kCount; ++i)
            t.server->sendFromSource(source, controller(i));
    });
    std::thread plugger([&] {
        for (int i = 0; i < 20; ++i)
            t.source("Plug " + std::to_string(i));
    });
    sender.join();
    plugger.join();
    ASSERT_TRUE(t.server->waitUntilIdle(testwait::kDeadline));

    std::lock_guard lock(mutex);
    std::vector<int> expected(kCount);
    for (int i = 0; i < kCount; ++i)
        expected[i] = i;
    EXPECT_EQ(packetOrder, expected);
    EXPECT_EQ(wordOrder, expected);
    EXPECT_EQ(notifications, 2 * 21);
    ASSERT_FALSE(threads.empty());
    for (const auto& id : threads)
        EXPECT_EQ(id, threads.front());
    EXPECT_NE(threads.front(), std::this_thread::get_id());
}

// While another thread keeps sending, each way of ending a connection must leave nothing
// arriving once it has returned.
TEST(InProcessServerThreaded, NothingArrivesAfterDisconnectOrDisposeReturns) {
    enum class Ending { disconnect, disposePort, disposeClient, unplug };
    for (Ending ending : {Ending::disconnect, Ending::disposePort, Ending::disposeClient, Ending::unplug}) {
        for (int round = 0; round < 20; ++round) {
            Threaded t;
            std::atomic<bool> ended{false};
            std::atomic<int> late{0}, arrived{0};
            MIDIClientRef client = 0;
            ASSERT_EQ(t.server->createClient("c", {}, &client), noErr);
            MIDIPortRef port = 0;
            ASSERT_EQ(t.server->createInputPortWithBlock(
                          client, "In",
                          [&](auto, auto, auto) {
                              if (ended.load()) ++late;
                              ++arrived;
                          },
                          &port),
                      noErr);
            const MIDIEndpointRef source = t.source("Velmor");
            ASSERT_EQ(t.server->connectSource(port, source, nullptr), noErr);
            std::atomic<bool> stop{false};
            std::atomic<int> sent{0};
            std::thread sender([&] {
                while (!stop.load()) {
                    t.server->sendFromSource(source, controller(1));
                    ++sent;
                }
            });
            if (!testwait::eventually([&] { return arrived.load() >= 3; })) {
                stop = true;
                sender.join();
                FAIL() << "nothing arrived";
            }
            OSStatus status = noErr;
            switch (ending) {
            case Ending::disconnect:
                status = t.server->disconnectSource(port, source);
                break;
            case Ending::disposePort:
                status = t.server->disposePort(port);
                break;
            case Ending::disposeClient:
                status = t.server->disposeClient(client);
                break;
            case Ending::unplug:
                status = t.server->removeExternalEndpoint(source);
                break;
            }
            ended = true;
            const int sentBefore = sent.load();
            EXPECT_TRUE(testwait::eventually(
                [&] { return sent.load() >= sentBefore + 20; })); // the sender goes on a while
            stop = true;
            sender.join();
            EXPECT_EQ(status, noErr);
            EXPECT_TRUE(t.server->waitUntilIdle(testwait::kDeadline));
            EXPECT_EQ(late.load(), 0) << "ending " << int(ending) << " round " << round;
        }
    }
}

TEST(InProcessServerThreaded, DisconnectWaitsForTheDeliveryInFlight) {
    Threaded t;
    std::promise<void> entered, release;
    auto releaseFuture = release.get_future().share();
    std::atomic<bool> returned{false};
    MIDIClientRef client = 0;
    ASSERT_EQ(t.server->createClient("c", {}, &client), noErr);
    MIDIPortRef port = 0;
    std::atomic<int> calls{0};
    ASSERT_EQ(t.server->createInputPortWithBlock(
                  client, "In",
                  [&](auto, auto, auto) {
                      if (calls++ > 0) return;
                      entered.set_value();
                      releaseFuture.wait();
                      EXPECT_FALSE(returned.load()) << "disconnect returned while its port was being called";
                  },
                  &port),
              noErr);
    const MIDIEndpointRef source = t.source("Velmor");
    ASSERT_EQ(t.server->connectSource(port, source, nullptr), noErr);
    ASSERT_EQ(t.server->sendFromSource(source, controller(1)), noErr);
    ASSERT_EQ(entered.get_future().wait_for(testwait::kDeadline), std::future_status::ready);

    auto disconnecting = std::async(std::launch::async, [&] {
        const OSStatus status = t.server->disconnectSource(port, source);
        returned = true;
        return status;
    });
    EXPECT_EQ(disconnecting.wait_for(50ms), std::future_status::timeout);
    // Meanwhile the rest of the server stays usable.
    EXPECT_EQ(t.server->numberOfSources(), 1u);
    release.set_value();
    ASSERT_EQ(disconnecting.wait_for(testwait::kDeadline), std::future_status::ready);
    EXPECT_EQ(disconnecting.get(), noErr);
    EXPECT_TRUE(returned.load());
}

TEST(InProcessServerThreaded, BlocksMayEndTheirOwnPortAndClient) {
    Threaded t;
    MIDIClientRef client = 0;
    ASSERT_EQ(t.server->createClient("c", {}, &client), noErr);
    std::atomic<int> calls{0};
    MIDIPortRef port = 0;
    ASSERT_EQ(t.server->createInputPortWithBlock(
                  client, "In",
                  [&](auto, auto, auto) {
                      ++calls;
                      EXPECT_EQ(t.server->disposeClient(client), noErr);
                  },
                  &port),
              noErr);
    const MIDIEndpointRef source = t.source("Velmor");
    ASSERT_EQ(t.server->connectSource(port, source, nullptr), noErr);
    for (int i = 0; i < 10; ++i)
        t.server->sendFromSource(source, controller(i));
    ASSERT_TRUE(t.server->waitUntilIdle(testwait::kDeadline));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(t.server->clientCount(), 0u);
}

TEST(InProcessServerThreaded, TheLastReferenceMayGoInsideADelivery) {
    platform::BackgroundJobs jobs;
    {
        InProcessServerConfig config;
        config.jobs = &jobs;
        auto server = std::make_shared<InProcessServer>(config);
        std::promise<void> released, done;
        auto releasedFuture = released.get_future().share();
        auto held = std::make_shared<std::shared_ptr<InProcessServer>>(server);
        MIDIClientRef client = 0;
        ASSERT_EQ(server->createClient(
                      "c",
                      [held, releasedFuture, &done](const MIDINotification* n) {
                          if (n->messageID != kMIDIMsgSetupChanged || !*held) return;
                          releasedFuture.wait();
                          held->reset(); // the last reference: the server goes on its own delivery thread
                          done.set_value();
                      },
                      &client),
                  noErr);
        MIDIEndpointRef ref = 0;
        ASSERT_EQ(server->addExternalSource({.name = "Velmor"}, &ref), noErr);
        for (int i = 0; i < 100; ++i)
            server->addExternalSource({.name = "More"}, &ref);
        server.reset();
        released.set_value();
        ASSERT_EQ(done.get_future().wait_for(testwait::kDeadline), std::future_status::ready);
    }
    jobs.joinAll();
    EXPECT_EQ(jobs.activeCount(), 0u);
}

TEST(InProcessServerThreaded, ADeliveryMayCallTheServerWhileItIsBeingDestroyed) {
    platform::BackgroundJobs jobs;
    InProcessServerConfig config;
    config.jobs = &jobs;
    auto server = std::make_unique<InProcessServer>(config);
    InProcessServer* raw = server.get();
    std::promise<void> entered, destroying;
    auto destroyingFuture = destroying.get_future().share();
    std::atomic<OSStatus> status{1};
    MIDIClientRef client = 0;
    ASSERT_EQ(raw->createClient("c", {}, &client), noErr);
    MIDIPortRef port = 0;
    ASSERT_EQ(raw->createInputPortWithBlock(
                  client, "In",
                  [&](auto, auto, auto) {
                      entered.set_value();
                      destroyingFuture.wait();
                      status = raw->disposePort(port);
                  },
                  &port),
              noErr);
    MIDIEndpointRef source = 0;
    ASSERT_EQ(raw->addExternalSource({.name = "Velmor"}, &source), noErr);
    ASSERT_EQ(raw->connectSource(port, source, nullptr), noErr);
    raw->sendFromSource(source, controller(1));
    ASSERT_EQ(entered.get_future().wait_for(testwait::kDeadline), std::future_status::ready);
    auto destroyer = std::async(std::launch::async, [&] { server.reset(); });
    EXPECT_EQ(destroyer.wait_for(20ms), std::future_status::timeout) << "waits for the delivery in flight";
    destroying.set_value();
    ASSERT_EQ(destroyer.wait_for(testwait::kDeadline), std::future_status::ready);
    destroyer.get();
    EXPECT_EQ(status.load(), noErr);
    jobs.joinAll();
}

TEST(InProcessServerThreaded, TwoClientsTalkThroughVirtualEndpointsWithWholeSysEx) {
    Threaded t;
    setMIDIServer(t.server);
    const Bytes sysEx = miditest::eightBitSysEx(408);

    // A publishes a source and a destination; B listens on both port kinds and answers.
    MIDIClientRef a = 0, b = 0;
    ASSERT_EQ(MIDIClientCreateWithBlock("A", &a, {}), noErr);
    ASSERT_EQ(MIDIClientCreateWithBlock("B", &b, {}), noErr);
    MIDIEndpointRef aOut = 0, aIn = 0;
    ASSERT_EQ(MIDISourceCreate(a, "A Output 1", &aOut), noErr);
    std::promise<Bytes> answer;
    ASSERT_EQ(MIDIDestinationCreateWithBlock(a, "A Input 1", &aIn,
                                             [&](const MIDIPacketList* l, ByteCount n, void*) {
                                                 answer.set_value(
                                                     miditest::concat(miditest::packetsOf(l, n)));
                                             }),
              noErr);

    std::promise<std::vector<std::uint32_t>> words;
    std::promise<Bytes> packets;
    MIDIPortRef bWords = 0, bPackets = 0, bOut = 0;
    ASSERT_EQ(MIDIInputPortCreateWithProtocol(b, "In", kMIDIProtocol_1_0, &bWords,
                                              [&](const MIDIEventList* l, ByteCount n, void*) {
                                                  words.set_value(miditest::wordsOf(l, n));
                                              }),
              noErr);
    ASSERT_EQ(MIDIInputPortCreateWithBlock(b, "In", &bPackets,
                                           [&](const MIDIPacketList* l, ByteCount n, void*) {
                                               packets.set_value(miditest::concat(miditest::packetsOf(l, n)));
                                               PacketListBuilder reply;
                                               reply.add(0, Bytes{0xF0, 0x7E, 0x01, 0xF7});
                                               EXPECT_EQ(MIDISend(bOut, aIn, reply.list(), reply.size()),
                                                         noErr);
                                           }),
              noErr);
    ASSERT_EQ(MIDIOutputPortCreate(b, "Out", &bOut), noErr);
    ASSERT_EQ(MIDIPortConnectSource(bWords, aOut, nullptr), noErr);
    ASSERT_EQ(MIDIPortConnectSource(bPackets, aOut, nullptr), noErr);

    std::vector<std::uint8_t> buffer(sysEx.size() + 14);
    auto* list = reinterpret_cast<MIDIPacketList*>(buffer.data());
    ASSERT_NE(MIDIPacketListAdd(list, buffer.size(), MIDIPacketListInit(list), 0, sysEx.size(), sysEx.data()),
              nullptr);
    ASSERT_EQ(MIDIReceived(aOut, list, buffer.size()), noErr);

    EXPECT_EQ(miditest::sysExMessages(words.get_future().get()), std::vector<Bytes>{sysEx});
    EXPECT_EQ(packets.get_future().get(), sysEx);
    EXPECT_EQ(answer.get_future().get(), (Bytes{0xF0, 0x7E, 0x01, 0xF7}));
    setMIDIServer(nullptr);
}
