// Deliveries gathered from one read: one list per target, in order, queued at once.
#include "platform/midi/DeliveryBatch.h"
#include "platform/midi/EventListReader.h"
#include "platform/midi/PacketListReader.h"

#include <gtest/gtest.h>

using namespace platform::midi;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Heard {
    std::vector<std::vector<Bytes>> packetLists; // each call's packets
    std::vector<std::vector<std::uint32_t>> eventLists;
};

std::shared_ptr<const MIDIReadBlock> packetsInto(Heard& heard) {
    return std::make_shared<const MIDIReadBlock>([&heard](const MIDIPacketList* list, ByteCount size, void*) {
        PacketListReader reader(list, size);
        PacketListReader::Packet packet;
        auto& call = heard.packetLists.emplace_back();
        while (reader.next(packet))
            call.emplace_back(packet.data.begin(), packet.data.end());
    });
}

std::shared_ptr<const MIDIReceiveBlock> eventsInto(Heard& heard) {
    return std::make_shared<const MIDIReceiveBlock>(
        [&heard](const MIDIEventList* list, ByteCount size, void*) {
            EventListReader reader(list, size);
            EventListReader::Packet packet;
            auto& call = heard.eventLists.emplace_back();
            while (reader.next(packet))
                call.insert(call.end(), packet.words.begin(), packet.words.end());
        });
}

TEST(DeliveryBatch, EachTargetHearsItsMessagesInOrderInOneCallAndNothingOnceRetired) {
    DeliveryQueue queue(nullptr);
    const auto a = queue.makeTarget(), b = queue.makeTarget(), c = queue.makeTarget();
    Heard heardA, heardB, heardC;
    DeliveryBatch batch;
    const std::uint32_t note = 0x20903C64;
    for (std::uint8_t i = 0; i < 3; ++i) {
        batch.packets(a, packetsInto(heardA), nullptr).addSplit(i, Bytes{0x90, i, 0x40});
        batch.events(b, eventsInto(heardB), nullptr).addMessages(i, std::span(&note, 1));
        batch.packets(c, packetsInto(heardC), nullptr).addSplit(i, Bytes{0x80, i, 0x40});
    }
    batch.queue(queue);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(queue.pendingCount(), 3u);
    // Retired after the first delivery of the batch: its list, already queued, is dropped.
    EXPECT_EQ(queue.runPending(1), 1u);
    queue.retire(c);
    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(heardA.packetLists,
              (std::vector<std::vector<Bytes>>{{{0x90, 0, 0x40}, {0x90, 1, 0x40}, {0x90, 2, 0x40}}}));
    EXPECT_EQ(heardB.eventLists, (std::vector<std::vector<std::uint32_t>>{{note, note, note}}));
    EXPECT_TRUE(heardC.packetLists.empty());
    // A retired target's later batches are refused.
    batch.packets(c, packetsInto(heardC), nullptr).addSplit(9, Bytes{0x90, 9, 0x40});
    batch.queue(queue);
    EXPECT_EQ(queue.runPending(), 0u);
    EXPECT_TRUE(heardC.packetLists.empty());
}

} // namespace
