// Packet lists: building them within their size, walking them within their size, splitting them for
// packet-list receivers.
#include "platform/midi/MIDIServices.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

using platform::midi::PacketListBuilder;
using platform::midi::PacketListReader;

namespace {

// A list buffer of exactly `size` bytes, 4-aligned like the caller's would be.
struct Buffer {
    explicit Buffer(ByteCount size) : words((size + 3) / 4, 0xAAAAAAAAu), size(size) {}
    MIDIPacketList* list() { return reinterpret_cast<MIDIPacketList*>(words.data()); }
    std::vector<std::uint32_t> words;
    ByteCount size;
};

std::vector<std::uint8_t> bytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), std::uint8_t{0});
    return v;
}

bool addsOnePacket(ByteCount listSize, std::size_t n) {
    Buffer buffer(listSize);
    const auto data = bytes(n);
    MIDIPacket* first = MIDIPacketListInit(buffer.list());
    return MIDIPacketListAdd(buffer.list(), listSize, first, 0, n, data.data()) != nullptr;
}

} // namespace

TEST(MIDIPacketListAdd, SizeBoundariesOfTheSendPaths) {
    // One message per list sized 14 + n, up to a 65536-byte list.
    EXPECT_TRUE(addsOnePacket(422, 408));
    EXPECT_TRUE(addsOnePacket(65536, 65522));
    EXPECT_FALSE(addsOnePacket(65536, 65523));
    EXPECT_TRUE(addsOnePacket(14 + 257, 257));
    // The fixed 272-byte record holds 256 data bytes and no more.
    EXPECT_TRUE(addsOnePacket(sizeof(MIDIPacketList), 256));
    EXPECT_FALSE(addsOnePacket(sizeof(MIDIPacketList), 257));
    // ...while a 258-byte message, whose own list is 272 bytes too, fills it exactly.
    EXPECT_TRUE(addsOnePacket(sizeof(MIDIPacketList), 258));
    EXPECT_TRUE(addsOnePacket(14, 0));
    EXPECT_FALSE(addsOnePacket(13, 0));
    EXPECT_FALSE(addsOnePacket(70000 + 14, 70000)); // a packet's length is 16 bits
}

TEST(MIDIPacketListAdd, PlacesPacketsBackToBackAndKeepsTheBytes) {
    Buffer buffer(64);
    const std::uint8_t a[] = {0x90, 0x3C, 0x64};
    const std::uint8_t b[] = {0xF8};
    MIDIPacket* p = MIDIPacketListInit(buffer.list());
    ASSERT_EQ(reinterpret_cast<std::uint8_t*>(p) - reinterpret_cast<std::uint8_t*>(buffer.list()), 4);
    MIDIPacket* p1 = MIDIPacketListAdd(buffer.list(), buffer.size, p, 100, sizeof a, a);
    ASSERT_NE(p1, nullptr);
    MIDIPacket* p2 = MIDIPacketListAdd(buffer.list(), buffer.size, p1, 200, sizeof b, b);
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(p2) - reinterpret_cast<std::uint8_t*>(p1), 10 + 3); // unaligned

    const auto packets = miditest::packetsOf(buffer.list(), 4 + 13 + 11);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].timeStamp, 100u);
    EXPECT_EQ(packets[0].data, std::vector<std::uint8_t>(a, a + 3));
    EXPECT_EQ(packets[1].timeStamp, 200u);
    EXPECT_EQ(packets[1].data, std::vector<std::uint8_t>{0xF8});
}

TEST(MIDIPacketListAdd, RefusesAForeignOrStaleCurrentPacket) {
    Buffer buffer(128);
    Buffer other(128);
    const std::uint8_t a[] = {0x90, 0x3C, 0x64};
    MIDIPacket* first = MIDIPacketListInit(buffer.list());
    EXPECT_EQ(MIDIPacketListAdd(buffer.list(), buffer.size, MIDIPacketListInit(other.list()), 0, 3, a),
              nullptr);
    MIDIPacket* p1 = MIDIPacketListAdd(buffer.list(), buffer.size, first, 0, 3, a);
    ASSERT_NE(p1, nullptr);
    MIDIPacket* p2 = MIDIPacketListAdd(buffer.list(), buffer.size, p1, 0, 3, a);
    ASSERT_NE(p2, nullptr);
    // Adding after an earlier packet would overwrite the later one.
    EXPECT_EQ(MIDIPacketListAdd(buffer.list(), buffer.size, p1, 0, 3, a), nullptr);
    EXPECT_EQ(MIDIPacketListAdd(buffer.list(), buffer.size, first, 0, 3, a), nullptr);
    EXPECT_EQ(MIDIPacketListAdd(nullptr, buffer.size, first, 0, 3, a), nullptr);
    EXPECT_EQ(MIDIPacketListAdd(buffer.list(), buffer.size, p2, 0, 3, nullptr), nullptr);
}

TEST(PacketListReader, StopsAtLyingCountsAndLengths) {
    Buffer buffer(64);
    const std::uint8_t a[] = {0x90, 0x3C, 0x64};
    MIDIPacket* p = MIDIPacketListInit(buffer.list());
    p = MIDIPacketListAdd(buffer.list(), buffer.size, p, 0, 3, a);
    ASSERT_NE(p, nullptr);
    const ByteCount used = 4 + 13;
    EXPECT_TRUE(PacketListReader::isWellFormed(buffer.list(), used));
    EXPECT_FALSE(PacketListReader::isWellFormed(buffer.list(), used - 1)); // data cut short
    EXPECT_FALSE(PacketListReader::isWellFormed(buffer.list(), 3));
    EXPECT_FALSE(PacketListReader::isWellFormed(nullptr, 100));

    std::uint32_t lie = 1000000;
    std::memcpy(buffer.list(), &lie, 4);
    PacketListReader reader(buffer.list(), used);
    PacketListReader::Packet packet;
    int seen = 0;
    while (reader.next(packet))
        ++seen;
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(reader.malformed());

    lie = 1;
    std::memcpy(buffer.list(), &lie, 4);
    const std::uint16_t longLength = 60000;
    std::memcpy(reinterpret_cast<std::uint8_t*>(buffer.list()) + 4 + 8, &longLength, 2);
    EXPECT_FALSE(PacketListReader::isWellFormed(buffer.list(), buffer.size));
}

TEST(PacketListBuilder, SplitsAt256WithoutCuttingShortMessages) {
    // 86 note-ons (258 bytes), then a 600-byte SysEx, then a note-off.
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 86; ++i)
        stream.insert(stream.end(), {0x90, std::uint8_t(i), 0x40});
    const auto sysEx = miditest::eightBitSysEx(600);
    stream.insert(stream.end(), sysEx.begin(), sysEx.end());
    stream.insert(stream.end(), {0x80, 0x3C, 0x00});

    PacketListBuilder builder;
    builder.addSplit(42, stream);
    const auto packets = miditest::packetsOf(builder.list(), builder.size());
    ASSERT_GE(packets.size(), 4u);
    for (const auto& p : packets) {
        EXPECT_LE(p.data.size(), 256u);
        EXPECT_EQ(p.timeStamp, 42u);
    }
    EXPECT_EQ(miditest::concat(packets), stream);
    EXPECT_EQ(packets[0].data.size(), 255u); // the 86th note-on would straddle the cut
    EXPECT_EQ(packets[1].data[0], 0x90);
    EXPECT_EQ(packets[1].data[3], 0xF0);
    EXPECT_EQ(packets[1].data.size(), 256u); // inside SysEx any cut will do
    EXPECT_EQ(std::vector<std::uint8_t>(packets.back().data.end() - 4, packets.back().data.end()),
              (std::vector<std::uint8_t>{0xF7, 0x80, 0x3C, 0x00}));
}

TEST(PacketListBuilder, CutsAMessageWithNoStatusInReachAtTheLimit) {
    std::vector<std::uint8_t> data(300, 0x11); // data bytes only, like a SysEx continuation
    PacketListBuilder builder;
    builder.addSplit(0, data);
    const auto packets = miditest::packetsOf(builder.list(), builder.size());
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].data.size(), 256u);
    EXPECT_EQ(packets[1].data.size(), 44u);
}
