// Event lists of universal MIDI packets: building and bounded walking.
#include "platform/midi/EventListBuilder.h"
#include "platform/midi/EventListReader.h"
#include "platform/midi/MIDIServices.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using platform::midi::EventListBuilder;
using platform::midi::EventListReader;

TEST(MIDIEventListAdd, SameTimeSharesAPacketUntil64Words) {
    std::vector<std::uint32_t> buffer(1024);
    auto* list = reinterpret_cast<MIDIEventList*>(buffer.data());
    const ByteCount size = buffer.size() * 4;
    MIDIEventPacket* p = MIDIEventListInit(list, kMIDIProtocol_1_0);
    const std::uint32_t note = 0x20903C64;
    for (int i = 0; i < 64; ++i) {
        MIDIEventPacket* next = MIDIEventListAdd(list, size, p, 7, 1, &note);
        ASSERT_NE(next, nullptr);
        if (i > 0) {
            EXPECT_EQ(next, p); // merged into the same packet
        }
        p = next;
    }
    MIDIEventPacket* second = MIDIEventListAdd(list, size, p, 7, 1, &note);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, p);
    MIDIEventPacket* third = MIDIEventListAdd(list, size, second, 8, 1, &note); // new time, new packet
    EXPECT_NE(third, second);

    EventListReader reader(list, 8 + (12 + 64 * 4) + (12 + 4) + (12 + 4));
    EventListReader::Packet packet;
    std::vector<std::size_t> counts;
    while (reader.next(packet))
        counts.push_back(packet.words.size());
    EXPECT_FALSE(reader.malformed());
    EXPECT_EQ(counts, (std::vector<std::size_t>{64, 1, 1}));
    EXPECT_EQ(reader.protocol(), kMIDIProtocol_1_0);
}

TEST(MIDIEventListAdd, RefusesWhatDoesNotFit) {
    std::vector<std::uint32_t> buffer(8);
    auto* list = reinterpret_cast<MIDIEventList*>(buffer.data());
    MIDIEventPacket* p = MIDIEventListInit(list, kMIDIProtocol_1_0);
    const std::uint32_t words[65] = {};
    EXPECT_EQ(MIDIEventListAdd(list, 32, p, 0, 65, words), nullptr); // more than a packet holds
    EXPECT_EQ(MIDIEventListAdd(list, 8 + 12 + 12, p, 0, 4, words), nullptr);
    EXPECT_NE(MIDIEventListAdd(list, 8 + 12 + 12, p, 0, 3, words), nullptr);
}

TEST(EventListReader, StopsAtLyingCounts) {
    EventListBuilder builder;
    const std::uint32_t words[] = {0x20903C64, 0x10F80000};
    builder.addMessages(5, words);
    EXPECT_TRUE(EventListReader::isWellFormed(builder.list(), builder.size()));
    EXPECT_FALSE(EventListReader::isWellFormed(builder.list(), builder.size() - 1));
    EXPECT_FALSE(EventListReader::isWellFormed(builder.list(), 7));

    std::vector<std::uint32_t> copy(reinterpret_cast<const std::uint32_t*>(builder.list()),
                                    reinterpret_cast<const std::uint32_t*>(builder.list()) +
                                        builder.size() / 4);
    copy[4] = 0x7FFFFFFF; // the packet's word count
    EXPECT_FALSE(
        EventListReader::isWellFormed(reinterpret_cast<MIDIEventList*>(copy.data()), copy.size() * 4));
}

TEST(EventListBuilder, NeverSplitsATwoWordMessage) {
    std::vector<std::uint32_t> words;
    for (int i = 0; i < 63; ++i)
        words.push_back(0x20903C64);
    words.push_back(0x30160102); // SysEx7 complete, 6 bytes: two words
    words.push_back(0x03040506);
    EventListBuilder builder;
    builder.addMessages(1, words);
    EventListReader reader(builder.list(), builder.size());
    EventListReader::Packet packet;
    std::vector<std::size_t> counts;
    while (reader.next(packet))
        counts.push_back(packet.words.size());
    EXPECT_EQ(counts, (std::vector<std::size_t>{63, 2}));
    EXPECT_EQ(miditest::wordsOf(builder.list(), builder.size()), words);

    EventListBuilder truncated;
    const std::uint32_t half[] = {0x20903C64, 0x30160102};
    truncated.addMessages(1, half);
    EXPECT_EQ(miditest::wordsOf(truncated.list(), truncated.size()), std::vector<std::uint32_t>{0x20903C64});
}
