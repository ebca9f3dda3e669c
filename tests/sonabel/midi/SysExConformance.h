#pragma once
// Whole SysEx on every receive path of the MIDI object and every server: inputs of both kinds and
// own virtual destinations, fed by another program's sources (or sends) two at a time. Payloads
// hold every byte value but F7, and F0 or F8-FF stand wherever a packet, send or chunk is cut.
// Instantiated for the in-process server and the fake sequencer (SysExConformance_e2e_test.cpp)
// and for the kernel's sequencer (SysExConformance_kernel_test.cpp).
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/midi/MIDI.h"
#include "testing/Eventually.h"
#include "testing/FakeSequencer.h"
#include "testing/KernelTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <tuple>

using namespace platform::midi;
using Bytes = std::vector<std::uint8_t>;

namespace sysexconformance {

enum class Backend { inProcess, alsaFake, alsaReal };
enum class Path { universalPackets, packetLists, virtualDestinations };

// Every message that reaches a listener, by the unique ID it came in under.
class Collector final : public sonabel::MIDIListener {
public:
    void receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data,
                                   std::optional<MIDIUniqueID> port, std::optional<MIDITimeStamp>) override {
        add(port, data);
    }
    void receivedMIDINoteOn(sonabel::MIDINoteNumber n, sonabel::MIDIVelocity v, sonabel::MIDIChannel,
                            std::optional<MIDIUniqueID> port, std::optional<MIDITimeStamp>) override {
        add(port, {0x90, n, v});
    }
    void receivedMIDINoteOff(sonabel::MIDINoteNumber n, sonabel::MIDIVelocity v, sonabel::MIDIChannel,
                             std::optional<MIDIUniqueID> port, std::optional<MIDITimeStamp>) override {
        add(port, {0x80, n, v});
    }
    void receivedMIDIController(sonabel::MIDIByte c, sonabel::MIDIByte v, sonabel::MIDIChannel,
                                std::optional<MIDIUniqueID> port, std::optional<MIDITimeStamp>) override {
        add(port, {0xB0, c, v});
    }
    void receivedMIDIProgramChange(sonabel::MIDIByte p, sonabel::MIDIChannel,
                                   std::optional<MIDIUniqueID> port, std::optional<MIDITimeStamp>) override {
        add(port, {0xC0, p});
    }
    // Through the kernel in an emulated guest on a loaded host, the universal-packet path took
    // more than 60 s for what a quiet guest carries in 45 s.
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(300), [&] { return count_ >= count; });
    }
    std::map<MIDIUniqueID, std::vector<Bytes>> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void add(std::optional<MIDIUniqueID> port, Bytes bytes) {
        {
            std::lock_guard lock(mutex_);
            received_[port.value_or(0)].push_back(std::move(bytes));
            ++count_;
        }
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<MIDIUniqueID, std::vector<Bytes>> received_;
    std::size_t count_ = 0;
};

// What one sender sends: its messages, and the sends (each a run of the stream) that carry them.
struct Plan {
    std::vector<Bytes> messages;
    std::vector<Bytes> sends;
};

Plan makePlan(std::mt19937& random) {
    const std::uint8_t special[] = {0xF0, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
    std::size_t nextSpecial = 0;
    std::uniform_int_distribution<int> byte(0, 0xFE);
    auto message = [&](std::size_t length) {
        Bytes m(length);
        for (auto& b : m) {
            b = static_cast<std::uint8_t>(byte(random));
            if (b == 0xF7) b = 0xFF;
        }
        m.front() = 0xF0;
        m.back() = 0xF7;
        return m;
    };
    // Sends of whole messages, or of one message cut at the given points.
    struct Send {
        std::vector<std::size_t> messages;
        std::size_t from = 0, to = 0; // of a single message; 0, 0 for whole ones
    };
    Plan plan;
    std::vector<Send> sends;
    auto cutInTwo = [&](std::size_t length, std::size_t at) {
        plan.messages.push_back(message(length));
        const std::size_t index = plan.messages.size() - 1;
        sends.push_back({{index}, 0, at});
        sends.push_back({{index}, at, length});
    };
    for (const std::size_t length : {3, 255, 256, 257, 408})
        cutInTwo(length, length / 2);
    for (int half = 0; half < 2; ++half) {
        Send send;
        for (int i = 0; i < 100; ++i) {
            plan.messages.push_back(message(521));
            send.messages.push_back(plan.messages.size() - 1);
        }
        sends.push_back(send);
    }
    for (const std::size_t length : {65522, 70000}) { // one send each; the second is two packets
        plan.messages.push_back(message(length));
        sends.push_back({{plan.messages.size() - 1}});
    }
    cutInTwo(70000, 65522); // as sendMessage would have to

    // Special bytes wherever a cut may fall: every 256 bytes of a message (sequencer chunks) and
    // of a send (packets), and every 65535 bytes of a send (largest packet).
    auto mark = [&](Bytes& m, std::size_t at) {
        if (at > 0 && at + 1 < m.size()) m[at] = special[nextSpecial++ % std::size(special)];
    };
    for (auto& m : plan.messages)
        for (std::size_t at = 0; at < m.size(); at += 256)
            mark(m, at);
    for (const auto& send : sends) {
        std::size_t offset = 0;
        for (const std::size_t index : send.messages) {
            Bytes& m = plan.messages[index];
            const std::size_t from = send.to > 0 ? send.from : 0;
            const std::size_t to = send.to > 0 ? send.to : m.size();
            for (std::size_t at = from; at < to; ++at, ++offset)
                if (offset % 256 == 0 || offset % 65535 == 0) mark(m, at);
        }
    }
    for (const auto& send : sends) {
        Bytes bytes;
        for (const std::size_t index : send.messages) {
            const Bytes& m = plan.messages[index];
            const std::size_t to = send.to > 0 ? send.to : m.size();
            bytes.insert(bytes.end(), m.begin() + std::ptrdiff_t(send.from), m.begin() + std::ptrdiff_t(to));
        }
        plan.sends.push_back(std::move(bytes));
    }
    return plan;
}

class SysExConformance : public testing::TestWithParam<std::tuple<Backend, Path>> {
protected:
    void SetUp() override {
        // Every UMP piece would log a line.
        sonabel::Settings::setLoggingEnabled(false);
        switch (std::get<0>(GetParam())) {
        case Backend::inProcess: {
            InProcessServerConfig config;
            config.jobs = &jobs;
            auto inProcess = std::make_shared<InProcessServer>(config);
            idle = [inProcess] { return inProcess->waitUntilIdle(testwait::kDeadline); };
            server = inProcess;
            break;
        }
        case Backend::alsaFake:
        case Backend::alsaReal: {
            AlsaServerConfig config;
            config.jobs = &jobs;
            std::shared_ptr<AlsaServer> alsa;
            if (std::get<0>(GetParam()) == Backend::alsaFake) {
                alsa = std::make_shared<AlsaServer>(std::make_unique<alsatest::FakeSequencer>(clock), config);
            } else {
                std::string why;
                alsa = AlsaServer::open(config, &why);
                KERNEL_TEST_NEEDS(alsa, "no ALSA sequencer on this machine (" << why << ")");
            }
            idle = [alsa] { return alsa->waitUntilIdle(testwait::kDeadline); };
            server = alsa;
            break;
        }
        }
        midi = sonabel::MIDI::make({server, std::get<1>(GetParam()) == Path::universalPackets});
        midi->addListener(collector);
        ASSERT_EQ(server->createClient("Other program", {}, &other), noErr);
    }
    void TearDown() override {
        midi.reset();
        idle = nullptr;
        server.reset();
        jobs.joinAll();
        sonabel::Settings::setLoggingEnabled(true);
    }

    platform::BackgroundJobs jobs;
    platform::ManualClock clock;
    std::shared_ptr<Server> server;
    std::function<bool()> idle;
    std::shared_ptr<sonabel::MIDI> midi;
    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
    MIDIClientRef other = 0;
};

std::string name(const testing::TestParamInfo<std::tuple<Backend, Path>>& info) {
    const char* backends[] = {"InProcess", "AlsaOverFakeSequencer", "AlsaSequencer"};
    const char* paths[] = {"UniversalPacketInputs", "PacketListInputs", "VirtualDestinations"};
    return std::string(backends[int(std::get<0>(info.param))]) + "_" + paths[int(std::get<1>(info.param))];
}

auto allPaths() {
    return testing::Values(Path::universalPackets, Path::packetLists, Path::virtualDestinations);
}

} // namespace sysexconformance

using namespace sysexconformance;

TEST_P(SysExConformance, EveryMessageArrivesWholeInOrderOnce) {
    // Two senders: sources of another program opened as inputs, or two own virtual destinations
    // that another program sends to.
    std::vector<MIDIUniqueID> uids;
    std::function<OSStatus(std::size_t, const PacketListBuilder&)> send;
    std::vector<MIDIEndpointRef> targets(2);
    if (std::get<1>(GetParam()) == Path::virtualDestinations) {
        midi->createVirtualInputPorts(2);
        uids = midi->virtualInputUIDs();
        const auto inputs = midi->virtualInputs();
        ASSERT_EQ(uids.size(), 2u);
        targets = {inputs[0], inputs[1]};
        auto out = std::make_shared<MIDIPortRef>(0);
        ASSERT_EQ(server->createOutputPort(other, "Out", out.get()), noErr);
        send = [this, out, &targets](std::size_t i, const PacketListBuilder& list) {
            return server->send(*out, targets[i], list.list(), list.size());
        };
    } else {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < 2; ++i) {
            // Named apart from another test process's senders, which the kernel's sequencer lists too.
            names.push_back("Sender " + std::to_string(i) + " of " + std::to_string(::getpid()));
            ASSERT_EQ(server->createSource(other, names[i], &targets[i]), noErr);
            std::int32_t uid = 0;
            ASSERT_EQ(server->getIntegerProperty(targets[i], kMIDIPropertyUniqueID, &uid), noErr);
            uids.push_back(uid);
        }
        // The kernel's sequencer announces new ports to us on its own time.
        ASSERT_TRUE(testwait::eventually([&] {
            const auto listed = midi->inputNames();
            return std::ranges::all_of(names, [&](const std::string& name) {
                return std::ranges::find(listed, name) != listed.end();
            });
        })) << ::testing::PrintToString(midi->inputNames());
        for (const auto& name : names)
            midi->openInput(name);
        ASSERT_EQ(midi->inputPorts().size(), 2u);
        send = [this, &targets](std::size_t i, const PacketListBuilder& list) {
            return server->received(targets[i], list.list(), list.size());
        };
    }

    std::mt19937 random(14);
    const Plan plans[] = {makePlan(random), makePlan(random)};
    for (std::size_t s = 0; s < plans[0].sends.size(); ++s)
        for (std::size_t i = 0; i < 2; ++i) {
            PacketListBuilder list;
            list.addSplit(0, plans[i].sends[s], UINT16_MAX);
            ASSERT_EQ(send(i, list), noErr);
        }

    const std::size_t total = plans[0].messages.size() + plans[1].messages.size();
    EXPECT_TRUE(collector->waitFor(total));
    EXPECT_TRUE(idle());
    const auto received = collector->received();
    for (std::size_t i = 0; i < 2; ++i) {
        const auto found = received.find(uids[i]);
        ASSERT_NE(found, received.end()) << "sender " << i << " unheard; heard: " << [&] {
            std::string heard;
            for (const auto& [uid, messages] : received)
                heard += std::to_string(uid) + " (" + std::to_string(messages.size()) + " messages) ";
            return heard + "for " + std::to_string(uids[0]) + ", " + std::to_string(uids[1]);
        }();
        const auto& got = found->second;
        ASSERT_EQ(got.size(), plans[i].messages.size()) << i;
        for (std::size_t m = 0; m < got.size(); ++m)
            ASSERT_EQ(got[m], plans[i].messages[m])
                << "sender " << i << ", message " << m << " of " << plans[i].messages[m].size() << " bytes";
    }
    EXPECT_EQ(received.size(), 2u);
}
