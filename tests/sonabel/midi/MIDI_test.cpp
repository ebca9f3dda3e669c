// The MIDI object itself: creation, shared instance, registries, notifications and dispatch.
#include "MIDIObjectTestSupport.h"
#include "MIDITestSupport.h"

#include "platform/midi/ServerOperation.h"

#include <gtest/gtest.h>

using namespace miditest;
using platform::midi::ServerOperation;
using sonabel::MIDI;
using sonabel::MIDIEvent;

namespace {

constexpr MIDIUniqueID kPort = 4242;

std::uint32_t word(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return std::uint32_t{b0} << 24 | std::uint32_t{b1} << 16 | std::uint32_t{b2} << 8 | b3;
}

void receiveWords(MIDI& midi, std::vector<std::uint32_t> words, MIDITimeStamp time = 77,
                  std::int32_t protocol = kMIDIProtocol_1_0) {
    const AlignedBuffer list(eventListBytes({{time, std::move(words)}}, protocol));
    midi.receiveEventList(list.as<MIDIEventList>(), list.size(), kPort);
}

class Appender : public sonabel::MIDITransformer {
public:
    explicit Appender(std::uint8_t add) : add_(add) {}
    std::vector<MIDIEvent> transform(std::vector<MIDIEvent> events) override {
        for (auto& event : events)
            event.data[1] = static_cast<std::uint8_t>(event.data[1] + add_);
        events.push_back(events.front());
        return events;
    }

private:
    std::uint8_t add_;
};

class Replacer : public sonabel::MIDITransformer {
public:
    explicit Replacer(std::vector<std::uint8_t> data) : data_(std::move(data)) {}
    std::vector<MIDIEvent> transform(std::vector<MIDIEvent>) override {
        MIDIEvent event;
        event.data = data_;
        return {event};
    }

private:
    std::vector<std::uint8_t> data_;
};

class Recorder : public sonabel::MIDITransformer {
public:
    std::vector<MIDIEvent> transform(std::vector<MIDIEvent> events) override {
        seen.insert(seen.end(), events.begin(), events.end());
        return events;
    }
    std::vector<MIDIEvent> seen;
};

} // namespace

TEST(MIDIObject, NewObjectHasClientPlaceholdersAndLogsItsCreation) {
    platform::ScopedLogCapture capture;
    Rig rig(true);
    auto& midi = *rig.midi;
    EXPECT_NE(midi.client(), 0u);
    EXPECT_EQ(midi.virtualInputs(), std::vector<MIDIEndpointRef>{0});
    EXPECT_EQ(midi.virtualOutputs(), std::vector<MIDIEndpointRef>{0});
    EXPECT_TRUE(midi.inputPorts().empty());
    EXPECT_TRUE(midi.endpoints().empty());
    EXPECT_TRUE(midi.listeners().empty());
    EXPECT_EQ(midi.outputPort(), 0u);
    EXPECT_EQ(midi.outputPortName(), "MIDI Out Port");
    EXPECT_EQ(contents(capture), std::vector<std::string>{"Initializing MIDI"});
}

TEST(MIDIObject, RefusedClientIsLoggedAndTheObjectStillWorks) {
    platform::ScopedLogCapture capture;
    auto server = std::make_shared<InProcessServer>(InProcessServerConfig{.manualDelivery = true});
    server->failNext(ServerOperation::clientCreate, kMIDIServerStartErr);
    auto midi = MIDI::make({server});
    EXPECT_EQ(midi->client(), 0u);
    EXPECT_TRUE(hasLine(capture, "Error creating MIDI client: -10839"));
    MIDIEndpointRef source = 0;
    server->addExternalSource({.name = "Velmor", .uniqueID = 11}, &source);
    midi->openInput("Velmor"); // port creation fails on the missing client: logged, nothing recorded
    EXPECT_TRUE(hasLine(capture, "Error creating MIDI Input Port: -10830"));
    EXPECT_TRUE(midi->inputPorts().empty());
}

TEST(MIDIObject, DestructorDisposesTheClientAndItsPorts) {
    auto server = std::make_shared<InProcessServer>(InProcessServerConfig{.manualDelivery = true});
    auto midi = MIDI::make({server});
    midi->createVirtualPorts(1);
    const auto client = midi->client();
    EXPECT_EQ(server->endpointsOf(client).size(), 2u);
    midi.reset();
    EXPECT_EQ(server->clientCount(), 0u);
    EXPECT_TRUE(server->endpointsOf(client).empty());
}

TEST(MIDIObject, SharedObjectIsMadeOnceAndCanBeReplaced) {
    const auto first = sonabel::sharedMIDI();
    EXPECT_EQ(sonabel::sharedMIDI(), first);
    EXPECT_NE(first->client(), 0u);
    auto replacement = MIDI::make();
    sonabel::setSharedMIDI(replacement);
    EXPECT_EQ(sonabel::sharedMIDI(), replacement);
    EXPECT_NE(replacement->client(), first->client());
    sonabel::setSharedMIDI(nullptr);
    EXPECT_NE(sonabel::sharedMIDI(), nullptr);
}

TEST(MIDIObject, RegistryKeepsOrderDuplicatesAndRemovesEveryEqualEntry) {
    Rig rig(true);
    auto& midi = *rig.midi;
    midi.removeListener(std::make_shared<RecordingListener>()); // empty registry: nothing happens
    auto a = std::make_shared<RecordingListener>();
    auto b = std::make_shared<RecordingListener>();
    midi.addListener(a);
    midi.addListener(b);
    midi.addListener(a);
    midi.handleMIDIMessage(MIDIEvent({0xC0, 0x05}), kPort);
    EXPECT_EQ(a->count(), 2u); // added twice, called twice
    EXPECT_EQ(b->count(), 1u);
    midi.removeListener(a);
    EXPECT_EQ(midi.listeners(), std::vector<MIDI::Listener>{b});
    midi.clearListeners();
    EXPECT_TRUE(midi.listeners().empty());

    auto t = std::make_shared<sonabel::MIDITransformer>();
    midi.addTransformer(t);
    midi.addTransformer(t);
    midi.removeTransformer(t);
    EXPECT_TRUE(midi.transformers().empty());
}

TEST(MIDIObject, DefaultTransformerLogsAndReturnsItsInput) {
    platform::ScopedLogCapture capture;
    sonabel::MIDITransformer transformer;
    const std::vector<MIDIEvent> events{MIDIEvent({0x90, 0x3C, 0x64}, 5), MIDIEvent({0xF8})};
    EXPECT_EQ(transformer.transform(events), events);
    EXPECT_EQ(contents(capture), std::vector<std::string>{"MIDI Transformer called"});
}

TEST(MIDIObject, NotificationsReachListenersInOrderWithTheServersRecords) {
    Rig rig(true);
    auto first = rig.listen();
    auto second = rig.listen();
    std::vector<std::string> order;
    first->onCall = [&](const Call& c) { order.push_back("first " + c.kind); };
    second->onCall = [&](const Call& c) { order.push_back("second " + c.kind); };

    const auto source = rig.addSource("Velmor", 11);
    rig.run();
    EXPECT_EQ(order, (std::vector<std::string>{"first notification", "second notification", "first setup",
                                               "second setup"}));
    EXPECT_EQ(first->calls()[0].messageID, kMIDIMsgObjectAdded);
    EXPECT_EQ(first->calls()[0].messageSize, sizeof(MIDIObjectAddRemoveNotification));

    first->clear();
    rig.server->renameExternalEndpoint(source, "Velmor 2");
    rig.run();
    ASSERT_EQ(first->kinds(), (std::vector<std::string>{"property", "setup"}));
    EXPECT_EQ(first->calls()[0].property, "name");
    EXPECT_EQ(first->calls()[0].bytes, std::vector<std::uint8_t>{kMIDIObjectType_Source});

    first->clear();
    rig.server->removeExternalEndpoint(source);
    rig.server->postIOError(7, -1);
    rig.run();
    ASSERT_EQ(first->kinds(), (std::vector<std::string>{"notification", "setup", "notification"}));
    EXPECT_EQ(first->calls()[0].messageID, kMIDIMsgObjectRemoved);
    EXPECT_EQ(first->calls()[2].messageID, kMIDIMsgIOError);
    EXPECT_EQ(first->calls()[2].messageSize, sizeof(MIDIIOErrorNotification));
}

TEST(MIDIDispatch, EachStatusReachesItsOperationWithItsArguments) {
    Rig rig(true);
    auto listener = rig.listen();
    struct Case {
        std::vector<std::uint8_t> data;
        std::string kind;
        std::vector<std::uint8_t> args;
        int channel;
    };
    const std::vector<Case> cases{
        {{0x83, 0x3C, 0x40}, "noteOff", {0x3C, 0x40}, 3},
        {{0x90, 0x3C, 0x00}, "noteOn", {0x3C, 0x00}, 0}, // velocity 0 stays a note on
        {{0xA1, 0x3C, 0x7F}, "polyAftertouch", {0x3C, 0x7F}, 1},
        {{0xBF, 0x07, 0x64}, "controller", {0x07, 0x64}, 15},
        {{0xC2, 0x05}, "program", {0x05}, 2},
        {{0xD4, 0x33}, "aftertouch", {0x33}, 4},
        {{0xE0, 0x00, 0x40}, "pitchWheel", {0x20, 0x00}, 0}, // 8192
        {{0xE5}, "pitchWheel", {0x00, 0x00}, 5},             // too short for a value: 0
        {{0xF8, 0x00, 0x00}, "system", {0xF8, 0x00, 0x00}, -1},
        {{0xF0, 0x01, 0xF7}, "system", {0xF0, 0x01, 0xF7}, -1},
    };
    for (const auto& c : cases) {
        listener->clear();
        rig.midi->handleMIDIMessage(MIDIEvent(c.data, 99), kPort);
        const auto calls = listener->calls();
        ASSERT_EQ(calls.size(), 1u) << hex(c.data);
        EXPECT_EQ(calls[0].kind, c.kind) << hex(c.data);
        EXPECT_EQ(calls[0].bytes, c.args) << hex(c.data);
        EXPECT_EQ(calls[0].channel, c.channel) << hex(c.data);
        EXPECT_EQ(calls[0].portID, kPort);
        EXPECT_EQ(calls[0].timeStamp, 99u);
    }
}

TEST(MIDIDispatch, UnusableOrShortEventsLogOncePerListenerAndNeverReadPastTheEnd) {
    platform::ScopedLogCapture capture;
    Rig rig(true);
    MIDIEvent none;
    rig.midi->handleMIDIMessage(MIDIEvent({0x90}), kPort); // no listener: nothing at all
    EXPECT_TRUE(capture.entries().size() == 1u);           // only "Initializing MIDI"
    auto a = rig.listen();
    auto b = rig.listen();
    capture.clear();
    for (const auto& data :
         std::vector<std::vector<std::uint8_t>>{{}, {0x90}, {0x90, 0x3C}, {0xC0}, {0xF4}, {0x3C}}) {
        MIDIEvent event;
        event.data = data; // as a transformer may hand it over, past the classifier
        rig.midi->handleMIDIMessage(event, kPort);
    }
    EXPECT_EQ(contents(capture),
              std::vector<std::string>(12, "No usable status detected in handleMIDIMessage"));
    EXPECT_EQ(a->count() + b->count(), 0u);
}

TEST(MIDIDispatch, ListenersAddedOrRemovedDuringADispatchCountFromTheNextOne) {
    Rig rig(true);
    auto& midi = *rig.midi;
    auto late = std::make_shared<RecordingListener>();
    auto second = std::make_shared<RecordingListener>();
    auto first = std::make_shared<RecordingListener>();
    first->onCall = [&](const Call&) {
        midi.addListener(late);
        midi.removeListener(second);
    };
    midi.addListener(first);
    midi.addListener(second);
    midi.handleMIDIMessage(MIDIEvent({0xC0, 0x01}), kPort);
    EXPECT_EQ(second->count(), 1u); // removed during the dispatch, still called in it
    EXPECT_EQ(late->count(), 0u);
    first->onCall = nullptr;
    midi.handleMIDIMessage(MIDIEvent({0xC0, 0x02}), kPort);
    EXPECT_EQ(second->count(), 1u);
    EXPECT_EQ(late->count(), 1u);

    // Within one packet, from its next event on.
    for (const bool universal : {true, false}) {
        Rig packets(true, universal);
        auto added = std::make_shared<RecordingListener>();
        auto removed = std::make_shared<RecordingListener>();
        auto changer = std::make_shared<RecordingListener>();
        changer->onCall = [&](const Call& call) {
            if (call.bytes != std::vector<std::uint8_t>{0x01}) return;
            packets.midi->addListener(added);
            packets.midi->removeListener(removed);
        };
        packets.midi->addListener(changer);
        packets.midi->addListener(removed);
        if (universal) {
            receiveWords(*packets.midi, {word(0x20, 0xC0, 0x01, 0), word(0x20, 0xC0, 0x02, 0)});
        } else {
            sonabel::SysExAssembler assembler;
            const AlignedBuffer list(packetListBytes({{10, {0xC0, 0x01, 0xC0, 0x02}}}));
            packets.midi->receivePacketList(list.as<MIDIPacketList>(), list.size(), kPort, assembler);
        }
        ASSERT_EQ(removed->count(), 1u) << universal;
        EXPECT_EQ(removed->calls()[0].bytes, std::vector<std::uint8_t>{0x01});
        ASSERT_EQ(added->count(), 1u) << universal;
        EXPECT_EQ(added->calls()[0].bytes, std::vector<std::uint8_t>{0x02});
    }
}

TEST(MIDIDispatch, TransformersRunInRegistrationOrderOnEachOthersResult) {
    Rig rig(true);
    auto listener = rig.listen();
    rig.midi->addTransformer(std::make_shared<Appender>(1));  // +1, then duplicate the first
    rig.midi->addTransformer(std::make_shared<Appender>(16)); // +16, then duplicate the first
    receiveWords(*rig.midi, {word(0x20, 0x90, 0x30, 0x64), word(0x20, 0x80, 0x31, 0x00)});
    std::vector<std::string> got;
    for (const auto& call : listener->calls())
        got.push_back(call.kind + " " + hex(call.bytes));
    // [30, 31] -> [31, 32, 31] -> [41, 42, 41, 41]
    EXPECT_EQ(got,
              (std::vector<std::string>{"noteOn 41 64", "noteOff 42 00", "noteOn 41 64", "noteOn 41 64"}));
}

TEST(MIDIDispatch, TransformerOutputThatCannotBeDeliveredIsDroppedWithoutALine) {
    for (const auto& output : std::vector<std::vector<std::uint8_t>>{{}, {0x3C, 0x64}, {0xF4}, {0xFF}}) {
        platform::ScopedLogCapture capture;
        Rig rig(true);
        auto a = rig.listen();
        auto b = rig.listen();
        rig.midi->addTransformer(std::make_shared<Replacer>(output));
        capture.clear();
        receiveWords(*rig.midi, {word(0x20, 0x90, 0x3C, 0x64)});
        EXPECT_EQ(a->count() + b->count(), 0u);
        EXPECT_EQ(contents(capture), std::vector<std::string>{}) << hex(output);
    }
    // A status too short for its message still reaches the dispatch, which reports it.
    platform::ScopedLogCapture capture;
    Rig rig(true);
    auto listener = rig.listen();
    rig.midi->addTransformer(std::make_shared<Replacer>(std::vector<std::uint8_t>{0x90}));
    capture.clear();
    receiveWords(*rig.midi, {word(0x20, 0x90, 0x3C, 0x64)});
    EXPECT_EQ(listener->count(), 0u);
    EXPECT_EQ(contents(capture), std::vector<std::string>{"No usable status detected in handleMIDIMessage"});
}

TEST(MIDIDispatch, TransformersSeeUnfinishedSysExPiecesAsEventsWithoutBytes) {
    Rig rig(true);
    auto listener = rig.listen();
    auto recorder = std::make_shared<Recorder>();
    rig.midi->addTransformer(recorder);
    receiveWords(*rig.midi, {word(0x30, 0x12, 0x01, 0x02), 0}, 5);
    receiveWords(*rig.midi, {word(0x30, 0x31, 0x03, 0), 0, word(0x10, 0xFF, 0, 0)}, 6);
    EXPECT_EQ(recorder->seen,
              (std::vector<MIDIEvent>{MIDIEvent({}, 5), MIDIEvent({0xF0, 0x01, 0x02, 0x03, 0xF7}, 6),
                                      MIDIEvent({0xFF, 0x00, 0x00}, 6)}));
    EXPECT_EQ(listener->kinds(), std::vector<std::string>{"system"});
}

TEST(MIDIReceive, UniversalPacketWordsBecomeListenerCalls) {
    platform::ScopedLogCapture capture;
    Rig rig(true);
    auto listener = rig.listen();
    receiveWords(*rig.midi,
                 {word(0x20, 0x90, 0x3C, 0x64), word(0x20, 0xE0, 0x00, 0x40), word(0x10, 0xF8, 0, 0),
                  word(0x10, 0xFF, 0, 0), word(0, 0, 0, 0)},
                 1234);
    const auto calls = listener->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, "noteOn");
    EXPECT_EQ(calls[0].bytes, (std::vector<std::uint8_t>{0x3C, 0x64}));
    EXPECT_EQ(calls[0].portID, kPort);
    EXPECT_EQ(calls[0].timeStamp, 1234u);
    EXPECT_EQ(calls[1].bytes, (std::vector<std::uint8_t>{0x20, 0x00})); // 8192
    EXPECT_EQ(calls[2].bytes, (std::vector<std::uint8_t>{0xF8, 0x00, 0x00}));
    // Reset and utility words go nowhere, without a dispatch line.
    EXPECT_FALSE(hasLine(capture, "No usable status detected in handleMIDIMessage"));
}

TEST(MIDIReceive, SysExPiecesReachEachListenerOnceWholeAndOtherTypesAreSkippedBySize) {
    platform::ScopedLogCapture capture;
    Rig rig(true);
    auto a = rig.listen();
    auto b = rig.listen();
    // start F0 7E 7F 06 01 02 03, continue 96 E9, end 05
    receiveWords(*rig.midi, {word(0x30, 0x16, 0x7E, 0x7F), word(0x06, 0x01, 0x02, 0x03)});
    receiveWords(*rig.midi, {word(0x30, 0x22, 0x96, 0xE9), word(0, 0, 0, 0)});
    receiveWords(*rig.midi, {word(0x30, 0x31, 0x05, 0), word(0, 0, 0, 0)});
    for (const auto& listener : {a, b}) {
        ASSERT_EQ(listener->count(), 1u);
        EXPECT_EQ(hex(listener->calls()[0].bytes), "F0 7E 7F 06 01 02 03 96 E9 05 F7");
    }
    capture.clear();
    a->clear();
    receiveWords(*rig.midi,
                 {word(0x40, 0, 0, 0), word(0, 0, 0, 0), word(0x60, 0, 0, 0), word(0x20, 0xC0, 0x05, 0)});
    EXPECT_EQ(contents(capture),
              (std::vector<std::string>{"Got unsupported 64 bit UMP message of type:  "
                                        "Optional(Sonabel.MIDI.UMPMessageType.MIDI2ChannelVoice64bit)",
                                        "Got unsupported 32 bit UMP message of type:  "
                                        "Optional(Sonabel.MIDI.UMPMessageType.Reserved32bit_1)"}));
    EXPECT_EQ(a->kinds(), std::vector<std::string>{"program"});

    capture.clear();
    receiveWords(*rig.midi, {word(0x20, 0x90, 0x3C, 0x64)}, 1, kMIDIProtocol_2_0);
    EXPECT_EQ(contents(capture),
              std::vector<std::string>{"Got unsupported MIDI 2.0 MIDIEventList, skipping"});
    EXPECT_EQ(a->count(), 1u);
}

TEST(MIDIReceive, PacketListsAreCutIntoMessagesWithSysExAcrossPackets) {
    Rig rig(true, false);
    auto listener = rig.listen();
    sonabel::SysExAssembler assembler;
    const AlignedBuffer first(packetListBytes({{10, {0x90, 0x3C, 0x64, 0xF8, 0xF0, 0x43, 0x96}}}));
    rig.midi->receivePacketList(first.as<MIDIPacketList>(), first.size(), kPort, assembler);
    const AlignedBuffer second(packetListBytes({{20, {0xE9, 0xF7, 0xC0, 0x05}}}));
    rig.midi->receivePacketList(second.as<MIDIPacketList>(), second.size(), kPort, assembler);
    std::vector<std::string> got;
    for (const auto& call : listener->calls())
        got.push_back(call.kind + " " + hex(call.bytes));
    EXPECT_EQ(got,
              (std::vector<std::string>{"noteOn 3C 64", "system F8", "system F0 43 96 E9 F7", "program 05"}));
    EXPECT_EQ(listener->calls()[1].timeStamp, 10u); // one-byte system message mid-packet
    EXPECT_EQ(listener->calls()[2].timeStamp, 20u);
}

TEST(MIDIReceive, PacketListMessagesReachListenersAlikeWithOrWithoutATransformer) {
    for (const bool transformed : {false, true}) {
        Rig rig(true, false);
        auto listener = rig.listen();
        auto recorder = std::make_shared<Recorder>();
        if (transformed) rig.midi->addTransformer(recorder);
        sonabel::SysExAssembler assembler;
        // Data bytes with the top bit set, which are status bytes that cut their messages short, a
        // one-byte system message, a whole SysEx and a stray F7.
        const AlignedBuffer list(packetListBytes(
            {{10, {0x90, 0xBC, 0xE4, 0xC0, 0x85, 0xF8, 0xF0, 0x43, 0xF7, 0xF7}}, {20, {0xE1, 0x7F}}}));
        rig.midi->receivePacketList(list.as<MIDIPacketList>(), list.size(), kPort, assembler);
        std::vector<std::string> got;
        std::vector<std::optional<MIDITimeStamp>> stamps;
        for (const auto& call : listener->calls()) {
            got.push_back(call.kind + " " + hex(call.bytes));
            stamps.push_back(call.timeStamp);
        }
        EXPECT_EQ(got, (std::vector<std::string>{"system F8", "system F0 43 F7"})) << transformed;
        EXPECT_EQ(stamps, (std::vector<std::optional<MIDITimeStamp>>{10, 10}));
        const std::vector<MIDIEvent> events{MIDIEvent({0xF8}, 10), MIDIEvent({0xF0, 0x43, 0xF7}, 10)};
        // Transformers see the stray F7 too, as an event without bytes.
        auto seen = events;
        seen.emplace_back(std::vector<std::uint8_t>{}, 10);
        EXPECT_EQ(recorder->seen, transformed ? seen : std::vector<MIDIEvent>{});
    }
}
