// The emulator on a server that delivers on its own thread, as in the demo run: answers come
// from the delivery thread, delayed ones from the emulator's reply thread.
#include "emulator/EmulatedInstruments.h"
#include "emulator/InstrumentEmulator.h"

#include "platform/core/BackgroundJobs.h"
#include "tests/emulator/EmulatorHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace emulation;
using emulatortest::Bytes;
using platform::midi::InProcessServer;

namespace {

struct Threaded {
    platform::BackgroundJobs jobs;
    InProcessServer server{{.jobs = &jobs}};
    emulatortest::EmulatorHost host{server};
};

Bytes firmwareBlock(int number, int count, const Bytes& data) {
    Bytes m{0xF0,
            0x02,
            0x01,
            std::uint8_t(number >> 7),
            std::uint8_t(number & 0x7F),
            std::uint8_t(count >> 7),
            std::uint8_t(count & 0x7F),
            0x01};
    for (auto b : data) {
        m.push_back(b >> 7);
        m.push_back(b & 0x7F);
    }
    m.push_back(0xF7);
    return m;
}

} // namespace

TEST(InstrumentEmulatorE2E, FirmwareUploadWaitsForReadyAndEveryAck) {
    Threaded t;
    InstrumentEmulatorConfig config{.portName = "Toskar MK2", .version = FirmwareVersion{1, 0, 6}};
    auto toskar = InstrumentEmulator::make(t.server, config);
    ASSERT_TRUE(toskar);
    t.host.listenTo(toskar->source());
    toskar->setFaults({.naks = 3});

    Bytes file(40 * 256 + 17);
    for (std::size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
    const int count = static_cast<int>((file.size() + 255) / 256);
    int resends = 0;
    for (int k = 1; k <= count; ++k) {
        const auto begin = file.begin() + (k - 1) * 256;
        const Bytes block(begin, std::min(begin + 256, file.end()));
        for (;;) {
            t.host.send(toskar->destination(), firmwareBlock(k, count, block), 256);
            ASSERT_TRUE(t.host.waitForMessages(1)) << "block " << k;
            const auto replies = t.host.take();
            ASSERT_EQ(replies.size(), 1u);
            const std::uint8_t answer = replies[0][2];
            if (k == 1) {
                ASSERT_EQ(answer, 0x05);
                break;
            }
            if (answer == 0x25) break;
            ASSERT_EQ(answer, 0x26);
            ++resends;
        }
    }
    EXPECT_EQ(resends, 3);
    EXPECT_EQ(toskar->state().firmwareImage(), file);
}

TEST(InstrumentEmulatorE2E, WholeBankRoundTripAndDelayedAnswers) {
    Threaded t;
    auto velmor = InstrumentEmulator::make(t.server, {.portName = "Velmor"});
    ASSERT_TRUE(velmor);
    t.host.listenTo(velmor->source());
    std::vector<Bytes> uploads;
    for (int p = 0; p < 128; ++p) {
        Bytes m{0xF0, 0x03, 0x00, 0x05, std::uint8_t(p)};
        for (int i = 0; i < 256; ++i)
            m.push_back(static_cast<std::uint8_t>((p * 3 + i * 7) & 0x7F));
        m.push_back(0xF7);
        t.host.send(velmor->destination(), m);
        uploads.push_back(m);
    }
    velmor->setFaults({.replyDelay = std::chrono::milliseconds(20)});
    const auto start = std::chrono::steady_clock::now();
    for (int p = 0; p < 128; ++p)
        t.host.send(velmor->destination(), {0xF0, 0x03, 0x13, 0x05, std::uint8_t(p), 0xF7});
    ASSERT_TRUE(t.host.waitForMessages(128));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(t.host.take(), uploads);
}

TEST(InstrumentEmulatorE2E, ManualClockReleasesDelayedAnswersWithoutPumping) {
    Threaded t;
    platform::ManualClock clock;
    auto orvane = InstrumentEmulator::make(t.server, {.portName = "ORVANE", .clock = &clock});
    ASSERT_TRUE(orvane);
    t.host.listenTo(orvane->source());
    orvane->setFaults({.replyDelay = std::chrono::seconds(1)});
    t.host.send(orvane->destination(), {0xF0, 0x04, 0x30, 0xF7});
    // Taken, and its answer due a second from now, before the clock moves.
    ASSERT_TRUE(t.server.waitUntilIdle(testwait::kDeadline));
    EXPECT_FALSE(t.host.waitForMessages(1, std::chrono::milliseconds(30)));
    clock.advance(1'000'000'000);
    ASSERT_TRUE(t.host.waitForMessages(1));
    EXPECT_EQ(t.host.take(), (std::vector<Bytes>{{0xF0, 0x04, 0x30, 0x00, 0xF7}}));
}

TEST(InstrumentEmulatorE2E, UnplugWhileTrafficFlowsThenReplug) {
    Threaded t;
    auto emulators = attachEmulatedInstruments(t.server, "Toskar MK2, Pellandor");
    ASSERT_EQ(emulators.size(), 2u);
    auto& toskar = *emulators[0];
    t.host.listenTo(toskar.source());
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) {
            if (const auto destination = toskar.destination())
                t.host.send(destination, {0xF0, 0x02, 0x33, 0x05, 0xF7});
            toskar.pressKey(60);
        }
    });
    for (int i = 0; i < 20; ++i) {
        toskar.unplug();
        toskar.replug();
    }
    stop = true;
    sender.join();
    ASSERT_TRUE(toskar.isPlugged());
    EXPECT_EQ(t.server.numberOfSources(), 2u);
    ASSERT_TRUE(t.server.waitUntilIdle(testwait::kDeadline));
    t.host.take();
    t.host.listenTo(toskar.source());
    t.host.send(toskar.destination(), {0xF0, 0x02, 0x15, 0xF7});
    ASSERT_TRUE(t.host.waitForMessages(1));
    EXPECT_EQ(t.host.take(), (std::vector<Bytes>{{0xF0, 0x02, 0x15, 1, 2, 1, 0xF7}}));
}
