// End to end through the in-process server's delivery thread, on both kinds of input port.
#include "MIDIObjectTestSupport.h"
#include "MIDITestSupport.h"

#include "platform/midi/ServerOperation.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace miditest;
using platform::midi::ExternalPacket;
using platform::midi::ServerOperation;
using Names = std::vector<std::string>;

namespace {

const std::vector<std::uint8_t> kNoteOn{0x90, 0x3C, 0x64};

// A 408-byte SysEx with 8-bit values inside, as the instruments send (key 150, Latin-1 names).
std::vector<std::uint8_t> bankSysEx() {
    std::vector<std::uint8_t> bytes{0xF0, 0x00, 0x66, 0x2B, 0x10};
    for (int i = 0; bytes.size() < 407; ++i)
        bytes.push_back(static_cast<std::uint8_t>((i * 37 + 150) % 0xF0));
    bytes.push_back(0xF7);
    return bytes;
}

class MIDIEndToEnd : public ::testing::TestWithParam<bool> {
protected:
    bool universal() const { return GetParam(); }
    Rig rig{false, GetParam()};
    // A destination whose packets are collected on the delivery thread.
    struct Collector {
        std::mutex mutex;
        std::vector<ExternalPacket> packets;
        std::vector<ExternalPacket> take() {
            std::lock_guard lock(mutex);
            return std::exchange(packets, {});
        }
    };
    MIDIEndpointRef collectingDestination(const std::string& name, MIDIUniqueID uid, Collector& collector) {
        return rig.addDestination(name, uid, [&collector](MIDIEndpointRef, const ExternalPacket& packet) {
            std::lock_guard lock(collector.mutex);
            collector.packets.push_back(packet);
        });
    }
};

std::string mode(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Universal" : "PacketList";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Ports, MIDIEndToEnd, ::testing::Bool(), mode);

TEST_P(MIDIEndToEnd, OpensByNameUniqueIDAndIndexAndDeliversFromEach) {
    const auto velmor = rig.addSource("Velmor", 11);
    const auto toskar = rig.addSource("Toskar MK2", 12);
    const auto pellandor = rig.addSource("Pellandor", 13);
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    auto listener = rig.listen();
    rig.midi->openInput("Velmor");
    rig.midi->openInput(MIDIUniqueID{12});
    rig.midi->openInputAtIndex(2);
    for (auto source : {velmor, toskar, pellandor})
        rig.server->sendFromSource(source, kNoteOn);
    ASSERT_TRUE(listener->waitFor(3));
    std::vector<MIDIUniqueID> ports;
    for (const auto& call : listener->calls()) {
        EXPECT_EQ(call.kind, "noteOn");
        ports.push_back(*call.portID);
    }
    EXPECT_EQ(ports, (std::vector<MIDIUniqueID>{11, 12, 13}));
}

TEST_P(MIDIEndToEnd, OpeningTwiceDeliversOnce) {
    const auto velmor = rig.addSource("Velmor", 11);
    rig.midi->openInput("Velmor");
    rig.midi->openInput("Velmor");
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    auto listener = rig.listen();
    rig.server->sendFromSource(velmor, kNoteOn);
    rig.server->sendFromSource(velmor, std::vector<std::uint8_t>{0xC0, 0x05});
    ASSERT_TRUE(listener->waitFor(2));
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    EXPECT_EQ(listener->kinds(), (Names{"noteOn", "program"}));
}

TEST_P(MIDIEndToEnd, NothingArrivesOnceCloseReturnsEvenWhileTheSourceKeepsSending) {
    const auto velmor = rig.addSource("Velmor", 11);
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    auto listener = rig.listen();
    rig.midi->openInput("Velmor");
    std::atomic<bool> stop = false;
    std::thread device([&] {
        while (!stop)
            rig.server->sendFromSource(velmor, kNoteOn);
    });
    ASSERT_TRUE(listener->waitFor(10));
    rig.midi->closeInput("Velmor");
    const auto afterClose = listener->count();
    stop = true;
    device.join();
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    EXPECT_EQ(listener->count(), afterClose);
    EXPECT_TRUE(rig.midi->inputPorts().empty());
}

TEST_P(MIDIEndToEnd, ClosesAnInputWhoseSourceWasUnplugged) {
    platform::ScopedLogCapture capture;
    const auto velmor = rig.addSource("Velmor", 11);
    rig.midi->openInput("Velmor");
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    auto listener = rig.listen();
    rig.server->removeExternalEndpoint(velmor);
    ASSERT_TRUE(listener->waitFor(2));
    rig.midi->closeInput("Velmor");
    EXPECT_EQ(logContents(capture, "closeInput(uid:)"),
              (Names{"Closing MIDI Input 'Velmor'", "Velmor was unplugged: nothing to disconnect",
                     "Disposed Velmor"}));
    EXPECT_TRUE(rig.midi->inputPorts().empty());
    EXPECT_TRUE(rig.midi->endpoints().empty());
}

TEST_P(MIDIEndToEnd, A408ByteSysExReachesEachListenerOnceAndWhole) {
    const auto velmor = rig.addSource("Velmor", 11);
    rig.midi->openInput("Velmor");
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    auto a = rig.listen();
    auto b = rig.listen();
    const auto sysex = bankSysEx();
    ASSERT_EQ(sysex.size(), 408u);
    rig.server->sendFromSource(velmor, sysex);
    rig.server->sendFromSource(velmor, kNoteOn); // proves the SysEx is over
    ASSERT_TRUE(a->waitFor(2) && b->waitFor(2));
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    for (const auto& listener : {a, b}) {
        const auto calls = listener->calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].kind, "system");
        EXPECT_EQ(calls[0].bytes, sysex) << hex(calls[0].bytes);
        EXPECT_EQ(calls[0].portID, 11);
        EXPECT_EQ(calls[1].kind, "noteOn");
    }
}

TEST_P(MIDIEndToEnd, SendSizeBoundaries) {
    platform::ScopedLogCapture capture;
    Collector collector;
    collectingDestination("Velmor", 21, collector);
    rig.midi->openOutput("Velmor");
    std::vector<std::uint8_t> largest(65522, 0x96);
    largest.front() = 0xF0;
    largest.back() = 0xF7;
    rig.midi->sendMessage(largest);
    auto tooLarge = largest;
    tooLarge.insert(tooLarge.begin() + 1, 0x01);
    rig.midi->sendMessage(tooLarge);
    const std::vector<std::uint8_t> full(256, 0x7E);
    rig.midi->sendMessageWithTime(full, 42);
    rig.midi->sendMessageWithTime(std::vector<std::uint8_t>(257, 0x7E), 42);
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    const auto packets = collector.take();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].data, largest);
    EXPECT_EQ(packets[1], (ExternalPacket{42, full}));
    EXPECT_EQ(logContents(capture, "sendMessage(_:offset:endpointsUIDs:virtualOutputPorts:)"),
              Names{"error sending midi : data array is too large, requires a buffer larger than 65536"});
    EXPECT_EQ(logContents(capture, "sendMessageWithTime(_:time:endpointsUIDs:virtualOutputPorts:)"),
              Names{"error sending midi: Failed to add packet to packet list."});
}

TEST_P(MIDIEndToEnd, SendsReachOnlyTheOpenedDestinations) {
    platform::ScopedLogCapture capture;
    Collector opened, other;
    rig.addSource("Velmor", 11);
    collectingDestination("Velmor", 21, opened);
    collectingDestination("Toskar MK2", 22, other);
    rig.midi->openInput("Velmor");
    rig.midi->openOutput("Velmor");
    const std::vector<std::uint8_t> request{0xF0, 0x00, 0x66, 0x2B, 0x01, 0xF7};
    rig.midi->sendEvent(sonabel::MIDIEvent(request));
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    EXPECT_EQ(opened.take().size(), 1u);
    EXPECT_TRUE(other.take().empty());
    EXPECT_FALSE(hasLine(capture, "error sending midi: -10832")); // never tried on the source
}

TEST_P(MIDIEndToEnd, TwoObjectsTalkThroughVirtualPorts) {
    auto b = sonabel::MIDI::make({rig.server, universal()});
    rig.midi->createVirtualPorts(1);
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    EXPECT_TRUE(rig.midi->inputNames().empty()); // its own are not listed
    EXPECT_EQ(b->inputNames(), Names{"Sonabel Output 1"});
    EXPECT_EQ(b->destinationNames(), Names{"Sonabel Input 1"});

    auto atA = rig.listen();
    auto atB = std::make_shared<RecordingListener>();
    b->addListener(atB);
    b->openInput("Sonabel Output 1");
    b->openOutput("Sonabel Input 1");

    const auto sysex = bankSysEx();
    rig.midi->sendMessage(sysex, 0, std::nullopt, rig.midi->virtualOutputs());
    b->sendNoteOnMessage(64, 90, 9);
    ASSERT_TRUE(atB->waitFor(1) && atA->waitFor(1));
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    ASSERT_EQ(atB->count(), 1u);
    EXPECT_EQ(atB->calls()[0].bytes, sysex);
    EXPECT_EQ(atB->calls()[0].portID, 2000001);
    ASSERT_EQ(atA->count(), 1u);
    EXPECT_EQ(atA->calls()[0].kind, "noteOn");
    EXPECT_EQ(atA->calls()[0].channel, 9);
    EXPECT_EQ(atA->calls()[0].portID, 2000000);
}

TEST_P(MIDIEndToEnd, NotificationsOnPlugUnplugAndRename) {
    auto listener = rig.listen();
    const auto velmor = rig.addSource("Velmor", 11);
    rig.server->renameExternalEndpoint(velmor, "Velmor II");
    rig.server->removeExternalEndpoint(velmor);
    ASSERT_TRUE(listener->waitFor(6));
    const auto calls = listener->calls();
    EXPECT_EQ(listener->kinds(),
              (Names{"notification", "setup", "property", "setup", "notification", "setup"}));
    EXPECT_EQ(calls[0].messageID, kMIDIMsgObjectAdded);
    EXPECT_EQ(calls[2].property, "name");
    EXPECT_EQ(calls[4].messageID, kMIDIMsgObjectRemoved);
}

TEST_P(MIDIEndToEnd, ReleasingTheObjectWhileMessagesArriveEndsDeliveryCleanly) {
    const auto velmor = rig.addSource("Velmor", 11);
    rig.midi->openInput("Velmor");
    auto listener = rig.listen();
    std::atomic<bool> stop = false;
    std::thread device([&] {
        while (!stop)
            rig.server->sendFromSource(velmor, kNoteOn);
    });
    ASSERT_TRUE(listener->waitFor(10));
    // A delivery in flight holds the object until it returns; the last one out disposes the
    // client, and nothing reaches the listener after that.
    rig.midi.reset();
    testwait::eventually([&] { return rig.server->clientCount() == 0; });
    ASSERT_EQ(rig.server->clientCount(), 0u);
    const auto count = listener->count();
    stop = true;
    device.join();
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    EXPECT_EQ(listener->count(), count);
    EXPECT_EQ(rig.server->clientCount(), 0u);
}

TEST_P(MIDIEndToEnd, AListenerMayDropTheLastReferenceFromTheDeliveryThread) {
    const auto velmor = rig.addSource("Velmor", 11);
    rig.midi->openInput("Velmor");
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    std::shared_ptr<sonabel::MIDI> held = std::move(rig.midi);
    auto listener = std::make_shared<RecordingListener>();
    listener->onCall = [&held](const Call&) { held.reset(); }; // runs on the delivery thread only
    held->addListener(listener);
    rig.server->sendFromSource(velmor, kNoteOn);
    ASSERT_TRUE(listener->waitFor(1));
    ASSERT_TRUE(rig.server->waitUntilIdle(testwait::kDeadline));
    EXPECT_EQ(rig.server->clientCount(), 0u);
}

TEST_P(MIDIEndToEnd, EveryInjectedFailureLogsItsLine) {
    struct Case {
        ServerOperation operation;
        std::function<void(Rig&)> act;
        std::string line;
    };
    const auto openVelmor = [](Rig& r) { r.midi->openInput("Velmor"); };
    const std::vector<Case> cases{
        {ServerOperation::clientCreate,
         [&](Rig& r) {
             r.midi = sonabel::MIDI::make({r.server, universal()});
         },
         "Error creating MIDI client: -10830"},
        {universal() ? ServerOperation::inputPortCreateWithProtocol
                     : ServerOperation::inputPortCreateWithBlock,
         openVelmor, "Error creating MIDI Input Port: -10830"},
        {ServerOperation::portDisconnectSource, [](Rig& r) { r.midi->closeInput("Velmor"); },
         "Error disconnecting MIDI port: -10830"},
        {ServerOperation::portDispose, [](Rig& r) { r.midi->closeInput("Velmor"); },
         "Error displosing  MIDI port: -10830"},
        {ServerOperation::outputPortCreate, [](Rig& r) { r.midi->openOutput("Velmor"); },
         "Unable to create MIDIOutputPort"},
        {ServerOperation::send,
         [](Rig& r) { r.midi->sendNoteOnMessage(1, 2, 3, std::vector<MIDIUniqueID>{21}); },
         "error sending midi: -10830"},
        {ServerOperation::portDispose, [](Rig& r) { r.midi->closeOutput("Velmor"); },
         "Error disposing  MIDI Output port: -10830"},
        {ServerOperation::destinationCreate, [](Rig& r) { r.midi->createVirtualInputPorts(1); },
         "Error -10830 Creating Virtual Input Port:\nSonabel Input 1 --\n0"},
        {ServerOperation::sourceCreate, [](Rig& r) { r.midi->createVirtualOutputPorts(1); },
         "Error -10830 Creating Virtual Output Port:\nSonabel Output 1 --\n0"},
    };
    for (const auto& c : cases) {
        Rig r(false, universal());
        r.addSource("Velmor", 11);
        r.addDestination("Velmor", 21);
        const bool closing = c.line.find("MIDI port") != std::string::npos;
        if (closing) r.midi->openInput("Velmor");
        if (c.line.find("Output port") != std::string::npos || c.line.find("sending") != std::string::npos)
            r.midi->openOutput("Velmor");
        platform::ScopedLogCapture capture;
        r.server->failNext(c.operation, kMIDIInvalidClient);
        c.act(r);
        EXPECT_TRUE(hasLine(capture, c.line)) << c.line;
    }
}
