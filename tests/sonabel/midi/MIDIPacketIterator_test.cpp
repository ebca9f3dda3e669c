#include "sonabel/midi/MIDIPacketIterator.h"

#include "MIDITestSupport.h"
#include "sonabel/midi/MIDIPacketListIterator.h"

#include <gtest/gtest.h>

using namespace sonabel;
using miditest::AlignedBuffer;
using miditest::Bytes;
using miditest::logContents;
using miditest::makePacket;
using miditest::packetListBytes;

namespace {
std::vector<MIDIEvent> eventsOf(const Bytes& bytes, SysExAssembler& assembler,
                                MIDITimeStamp timeStamp = 1000) {
    return packetEvents(MIDIPacketView(timeStamp, bytes), assembler);
}

std::vector<Bytes> dataOf(const std::vector<MIDIEvent>& events) {
    std::vector<Bytes> data;
    for (const auto& event : events)
        data.push_back(event.data);
    return data;
}
} // namespace

TEST(MIDIPacketIterator, SplitsMessagesByStatusLength) {
    SysExAssembler assembler;
    auto events = eventsOf({0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00}, assembler);
    EXPECT_EQ(dataOf(events), (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}}));
    EXPECT_FALSE(events[0].timeStamp);
    EXPECT_FALSE(events[1].timeStamp);

    EXPECT_EQ(dataOf(eventsOf({0xC0, 0x05, 0x90, 0x3C, 0x64}, assembler)),
              (std::vector<Bytes>{{0xC0, 0x05}, {0x90, 0x3C, 0x64}}));
    EXPECT_EQ(dataOf(eventsOf({0xD1, 0x40, 0xE2, 0x00, 0x40, 0xB3, 0x07, 0x7F}, assembler)),
              (std::vector<Bytes>{{0xD1, 0x40}, {0xE2, 0x00, 0x40}, {0xB3, 0x07, 0x7F}}));
    // No running status: the trailing data bytes end the packet.
    EXPECT_EQ(dataOf(eventsOf({0x90, 0x3C, 0x64, 0x3E, 0x64, 0x80, 0x3C, 0x00}, assembler)),
              (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
    // So does an undefined status; an undefined real-time byte is left out and the packet goes on.
    EXPECT_EQ(dataOf(eventsOf({0xF8, 0xF4, 0xF8}, assembler)), (std::vector<Bytes>{{0xF8}}));
    EXPECT_EQ(dataOf(eventsOf({0xF8, 0xF9, 0xF8}, assembler)), (std::vector<Bytes>{{0xF8}, {0xF8}}));
    EXPECT_TRUE(eventsOf({}, assembler).empty());
}

TEST(MIDIPacketIterator, SystemMessagesAndTheirTimeStamps) {
    SysExAssembler assembler;
    auto events = eventsOf({0xF8}, assembler, 42);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, Bytes{0xF8});
    EXPECT_EQ(events[0].timeStamp, 42u);

    events = eventsOf({0xF2, 0x10, 0x20}, assembler, 42);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, (Bytes{0xF2, 0x10, 0x20}));
    EXPECT_FALSE(events[0].timeStamp);

    // A clock in the middle of a packet is a message of its own, at its own position, with the
    // packet's time stamp.
    events = eventsOf({0x90, 0x3C, 0x64, 0xF8, 0x80, 0x3C, 0x00, 0xFA, 0xFC}, assembler, 42);
    EXPECT_EQ(dataOf(events),
              (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0xF8}, {0x80, 0x3C, 0x00}, {0xFA}, {0xFC}}));
    EXPECT_FALSE(events[0].timeStamp);
    EXPECT_EQ(events[1].timeStamp, 42u);
    EXPECT_EQ(events[3].timeStamp, 42u);
    EXPECT_EQ(events[4].timeStamp, 42u);

    // A stray F7 gives an event without bytes and the packet goes on.
    events = eventsOf({0xF7, 0xFE}, assembler, 42);
    EXPECT_EQ(dataOf(events), (std::vector<Bytes>{{}, {0xFE}}));
}

TEST(MIDIPacketIterator, TruncatedMessagesAreDropped) {
    SysExAssembler assembler;
    EXPECT_TRUE(eventsOf({0x90, 0x3C}, assembler).empty());
    EXPECT_EQ(dataOf(eventsOf({0x90, 0x3C, 0x64, 0xC0}, assembler)),
              (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
    EXPECT_TRUE(eventsOf({0xF2, 0x10}, assembler).empty());
    EXPECT_TRUE(eventsOf({0xF1}, assembler).empty());

    // The packet's length is honoured even when its data area holds more.
    MIDIPacket packet = makePacket(1, {0x90, 0x3C, 0x64});
    packet.length = 2;
    EXPECT_TRUE(packetEvents(packet, assembler).empty());
}

TEST(MIDIPacketIterator, SysExInOnePacket) {
    SysExAssembler assembler;
    auto events = eventsOf({0xF0, 0x7E, 0x00, 0xF7}, assembler, 7);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, (Bytes{0xF0, 0x7E, 0x00, 0xF7}));
    EXPECT_EQ(events[0].timeStamp, 7u);
    EXPECT_FALSE(assembler.isReceivingSysEx());

    // What follows the F7 is read, and an F0 in mid-packet is a SysEx at its own position.
    events = eventsOf({0x90, 0x3C, 0x64, 0xF0, 0x01, 0x96, 0xF7, 0x80, 0x3C, 0x00}, assembler, 8);
    EXPECT_EQ(dataOf(events),
              (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0xF0, 0x01, 0x96, 0xF7}, {0x80, 0x3C, 0x00}}));
    EXPECT_EQ(events[1].timeStamp, 8u);
}

TEST(MIDIPacketIterator, SysExOverThreePackets) {
    platform::ScopedLogCapture capture;
    SysExAssembler assembler;
    auto events = eventsOf({0xF0, 0x7E, 0x00}, assembler, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].data.empty());
    EXPECT_EQ(events[0].timeStamp, 1u);
    EXPECT_TRUE(assembler.isReceivingSysEx());

    EXPECT_TRUE(eventsOf({0x01, 0x02}, assembler, 2).empty());
    EXPECT_TRUE(assembler.isReceivingSysEx());

    events = eventsOf({0x03, 0xF7, 0x90, 0x3C, 0x64}, assembler, 3);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].data, (Bytes{0xF0, 0x7E, 0x00, 0x01, 0x02, 0x03, 0xF7}));
    EXPECT_EQ(events[0].timeStamp, 3u);
    EXPECT_EQ(events[1].data, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_FALSE(assembler.isReceivingSysEx());

    EXPECT_EQ(logContents(capture, "startReceivingSysEx(with:)"),
              std::vector<std::string>{"Starting to receive SysEx"});
    EXPECT_EQ(logContents(capture, "stopReceivingSysEx()"), std::vector<std::string>{"Done receiving SysEx"});
}

TEST(MIDIPacketIterator, SysExStartedInMidPacketContinuesInTheNext) {
    SysExAssembler assembler;
    auto events = eventsOf({0xB0, 0x07, 0x10, 0xF0, 0x43}, assembler, 1);
    EXPECT_EQ(dataOf(events), (std::vector<Bytes>{{0xB0, 0x07, 0x10}, {}}));
    events = eventsOf({0x44, 0xF7}, assembler, 2);
    EXPECT_EQ(dataOf(events), (std::vector<Bytes>{{0xF0, 0x43, 0x44, 0xF7}}));
}

TEST(MIDIPacketIterator, APendingSysExTakesEveryPacketUntilItsF7) {
    SysExAssembler assembler;
    eventsOf({0xF0, 0x01, 0x02}, assembler);
    // Packets are cut by size: F0, a status or a real-time byte at a packet's start is data.
    EXPECT_TRUE(eventsOf({0xF0, 0x03}, assembler).empty());
    EXPECT_TRUE(eventsOf({0x90, 0xF8, 0xFF}, assembler).empty());
    EXPECT_EQ(dataOf(eventsOf({0xFE, 0xF7, 0xF8}, assembler)),
              (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0xF0, 0x03, 0x90, 0xF8, 0xFF, 0xFE, 0xF7}, {0xF8}}));
    EXPECT_FALSE(assembler.isReceivingSysEx());

    eventsOf({0xF0, 0x01, 0x02}, assembler);
    assembler.reset();
    EXPECT_FALSE(assembler.isReceivingSysEx());
    EXPECT_EQ(dataOf(eventsOf({0x90, 0x3C, 0x64}, assembler)), (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
}

TEST(MIDIPacketIterator, APendingSysExIsAbandonedByAPacketMoreThanASecondAfterItsLast) {
    platform::ScopedLogCapture capture;
    constexpr MIDITimeStamp second = SysExAssembler::kAbandonAfter, start = 5 * second;
    SysExAssembler assembler;
    eventsOf({0xF0, 0x01, 0x02}, assembler, start);
    // Exactly a second later a note is still data, and the SysEx's last packet.
    EXPECT_TRUE(eventsOf({0x90, 0x3C, 0x64}, assembler, start + second).empty());
    EXPECT_TRUE(eventsOf({0x03}, assembler, start + 2 * second).empty());
    // A stamp that goes back is no gap.
    EXPECT_TRUE(eventsOf({0x04}, assembler, start).empty());
    EXPECT_TRUE(logContents(capture, "abandonIfStale(_:)").empty());

    const auto events = eventsOf({0x90, 0x3C, 0x64, 0xF8}, assembler, start + 3 * second + 1);
    EXPECT_EQ(dataOf(events), (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0xF8}}));
    EXPECT_FALSE(assembler.isReceivingSysEx());
    EXPECT_EQ(logContents(capture, "abandonIfStale(_:)"),
              std::vector<std::string>{
                  "Dropped an unfinished SysEx of 8 bytes: more than 1 s passed without its F7"});

    // A note 1.001 s after F0 01 02 is a note.
    eventsOf({0xF0, 0x01, 0x02}, assembler, start);
    EXPECT_EQ(dataOf(eventsOf({0x90, 0x3C, 0x64}, assembler, start + 1'001'000'000)),
              (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
}

TEST(MIDIPacketIterator, EachInputHasItsOwnAssembler) {
    SysExAssembler first, second;
    eventsOf({0xF0, 0x01}, first);
    // A note from another input is not taken into the first input's SysEx.
    EXPECT_EQ(dataOf(eventsOf({0x90, 0x3C, 0x64}, second)), (std::vector<Bytes>{{0x90, 0x3C, 0x64}}));
    EXPECT_EQ(dataOf(eventsOf({0x02, 0xF7}, first)), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0xF7}}));
}

TEST(MIDIPacketListIterator, WalksPacketsAsDelivered) {
    const Bytes bytes = packetListBytes({{10, {0x90, 0x3C, 0x64}}, {20, {0xF8}}, {30, {}}});
    MIDIPacketListIterator packets{std::span<const MIDIByte>(bytes)};
    auto first = packets.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->timeStamp, 10u);
    EXPECT_EQ(Bytes(first->data.begin(), first->data.end()), (Bytes{0x90, 0x3C, 0x64}));
    auto second = packets.next();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->timeStamp, 20u);
    EXPECT_EQ(second->length(), 1u);
    auto third = packets.next();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->length(), 0u);
    EXPECT_FALSE(packets.next());
    EXPECT_FALSE(packets.next());
}

TEST(MIDIPacketListIterator, MatchesThePlatformRecordLayout) {
    MIDIPacketList list{};
    list.numPackets = 1;
    list.packet[0] = makePacket(99, {0xC3, 0x11});
    SysExAssembler assembler;
    const auto events = MIDIEvent::events(&list, sizeof(list), assembler);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, (Bytes{0xC3, 0x11}));
    EXPECT_EQ(events[0].timeStamp, 99u);

    auto packets = makeIterator(&list, sizeof(list));
    ASSERT_TRUE(packets.next());
    EXPECT_FALSE(packets.next());
    EXPECT_FALSE(makeIterator(nullptr, 100).next());
}

TEST(MIDIPacketListIterator, NeverTrustsCountsOrLengths) {
    // A count far above what the bytes hold.
    Bytes bytes = packetListBytes({{1, {0xF8}}, {2, {0xFA}}}, 1000);
    AlignedBuffer buffer(bytes);
    SysExAssembler assembler;
    EXPECT_EQ(MIDIEvent::events(buffer.as<MIDIPacketList>(), buffer.size(), assembler).size(), 2u);
    // A count below: the rest is not read.
    bytes = packetListBytes({{1, {0xF8}}, {2, {0xFA}}}, 1);
    EXPECT_EQ(MIDIEvent::events(AlignedBuffer(bytes).as<MIDIPacketList>(), bytes.size(), assembler).size(),
              1u);

    // A length past the end of the buffer is cut there, and the walk stops.
    bytes = packetListBytes({{1, {0x90, 0x3C, 0x64, 0x80}, 5000}, {2, {0xF8}}});
    MIDIPacketListIterator packets{std::span<const MIDIByte>(bytes)};
    const auto cut = packets.next();
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->length(), 4u + 10u + 1u); // its own bytes and all of the next packet
    EXPECT_FALSE(packets.next());

    // Too short for a header.
    EXPECT_FALSE(MIDIPacketListIterator(std::span<const MIDIByte>(Bytes{1, 0, 0})).next());
    const Bytes countOnly = packetListBytes({}, 3);
    EXPECT_FALSE(MIDIPacketListIterator(std::span<const MIDIByte>(countOnly)).next());
    Bytes partial = packetListBytes({{1, {0xF8}}});
    partial.resize(4 + 9);
    EXPECT_FALSE(MIDIPacketListIterator(std::span<const MIDIByte>(partial)).next());
}

TEST(MIDIPacketListIterator, PacketsLongerThan256Bytes) {
    Bytes notes;
    for (int i = 0; i < 100; ++i)
        notes.insert(notes.end(), {0x90, static_cast<MIDIByte>(i), 0x40});
    Bytes sysEx{0xF0};
    sysEx.insert(sysEx.end(), 406, 0x55);
    sysEx.push_back(0xF7);
    const Bytes bytes = packetListBytes({{1, notes}, {2, sysEx}, {3, {0xFC}}});
    MIDIPacketListIterator packets{std::span<const MIDIByte>(bytes)};
    SysExAssembler assembler;

    const auto first = packets.next();
    ASSERT_TRUE(first);
    const auto noteEvents = packetEvents(*first, assembler);
    ASSERT_EQ(noteEvents.size(), 100u);
    EXPECT_EQ(noteEvents[99].data, (Bytes{0x90, 99, 0x40}));

    const auto sysExEvents = packetEvents(*packets.next(), assembler);
    ASSERT_EQ(sysExEvents.size(), 1u);
    EXPECT_EQ(sysExEvents[0].data, sysEx);

    const auto last = packets.next();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->timeStamp, 3u);
    EXPECT_FALSE(packets.next());
}

TEST(MIDIPacketIterator, NoMessageIsMadeOfDataBytesThatHoldAStatusByte) {
    struct Case {
        Bytes packet;
        std::vector<Bytes> events;         // every event of the packet
        Bytes first;                       // the event made from the packet alone
        std::vector<MIDITimeStamp> stamps; // of the stamped events
    };
    const Case cases[] = {
        // A SysEx start cuts the note short: no note, the SysEx whole.
        {{0x90, 0xF0, 0x7D, 0x01, 0xF7}, {{0xF0, 0x7D, 0x01, 0xF7}}, {0xF0, 0x7D, 0x01, 0xF7}, {7}},
        {{0xC0, 0x90, 0x3C, 0x64}, {{0x90, 0x3C, 0x64}}, {0x90, 0x3C, 0x64}, {}},
        {{0x90, 0x3C, 0xE4, 0x00, 0x40}, {{0xE4, 0x00, 0x40}}, {0xE4, 0x00, 0x40}, {}},
        // A real-time byte inside a message comes first, and the message whole after it.
        {{0x90, 0xF8, 0x3C, 0x64, 0x80, 0x3C, 0x00},
         {{0xF8}, {0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}},
         {0xF8},
         {7}},
        {{0xB0, 0x07, 0xFE, 0xFA, 0x7F}, {{0xFE}, {0xFA}, {0xB0, 0x07, 0x7F}}, {0xFE}, {7, 7}},
        // Cut short with a real-time byte inside: that byte alone, then what cut it.
        {{0x90, 0x3C, 0xFC, 0xC0, 0x05}, {{0xFC}, {0xC0, 0x05}}, {0xFC}, {7}},
        // Cut short by the packet's end: nothing, the real-time byte inside it neither.
        {{0x90, 0x3C, 0xF8}, {}, {}, {}},
        // The undefined real-time bytes are left out wherever they stand; the rest reads on.
        {{0xC7, 0xFD, 0x02}, {{0xC7, 0x02}}, {0xC7, 0x02}, {}},
        {{0xF9, 0x90, 0x3C, 0x64, 0xFD}, {{0x90, 0x3C, 0x64}}, {0x90, 0x3C, 0x64}, {}},
        {{0x90, 0xF9, 0x3C, 0xF8, 0x64, 0xFD, 0xC0, 0x05},
         {{0xF8}, {0x90, 0x3C, 0x64}, {0xC0, 0x05}},
         {0xF8},
         {7}},
        {{0x90, 0x3C, 0xFD, 0xC0, 0x05}, {{0xC0, 0x05}}, {0xC0, 0x05}, {}},
        {{0xFD, 0xF9}, {}, {}, {}},
        {{0xF9, 0xF0, 0x7D, 0xF7, 0xFD, 0xF6}, {{0xF0, 0x7D, 0xF7}, {0xF6}}, {0xF0, 0x7D, 0xF7}, {7, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.packet));
        SysExAssembler assembler;
        const auto events = eventsOf(c.packet, assembler, 7);
        EXPECT_EQ(dataOf(events), c.events);
        std::vector<MIDITimeStamp> stamps;
        for (const auto& event : events)
            if (event.timeStamp) stamps.push_back(*event.timeStamp);
        EXPECT_EQ(stamps, c.stamps);
        EXPECT_FALSE(assembler.isReceivingSysEx());
        EXPECT_EQ(MIDIEvent(MIDIPacketView(7, c.packet), assembler).data, c.first);
        EXPECT_FALSE(assembler.isReceivingSysEx());
        // A list of the packet alone reads alike.
        const AlignedBuffer list(packetListBytes({{7, c.packet}}));
        const auto fromList = MIDIEvent::events(list.as<MIDIPacketList>(), list.size(), assembler);
        ASSERT_EQ(fromList.size(), 1u);
        EXPECT_EQ(fromList[0].data, c.first);
    }
}
