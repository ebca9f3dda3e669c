#pragma once
// Deliveries of received MIDI gathered while a server handles what it read together: each target's
// messages go into one list, handed over in one call, and the whole batch is queued at once (one
// lock, one wake-up of the delivery thread). A target's messages keep their order; targets are
// queued in the order they first received something.
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/EventListBuilder.h"
#include "platform/midi/PacketListBuilder.h"

#include <memory>
#include <vector>

namespace platform::midi {

class DeliveryBatch {
public:
    // The list to add the target's next messages to.
    PacketListBuilder& packets(const DeliveryQueue::TargetPtr& target,
                               const std::shared_ptr<const MIDIReadBlock>& block, void* refCon);
    EventListBuilder& events(const DeliveryQueue::TargetPtr& target,
                             const std::shared_ptr<const MIDIReceiveBlock>& block, void* refCon);
    // Queues a delivery of every list that holds something; the batch is empty afterwards. Unless
    // `mayWait`, the deliveries stay here when the queue is busy at the moment, for the next call.
    void queue(DeliveryQueue& queue, bool mayWait = true);
    bool empty() const { return entries_.empty() && postings_.empty(); }

private:
    struct Entry {
        DeliveryQueue::TargetPtr target;
        std::shared_ptr<PacketListBuilder> packets;
        std::shared_ptr<EventListBuilder> events;
        std::shared_ptr<const MIDIReadBlock> readBlock;
        std::shared_ptr<const MIDIReceiveBlock> receiveBlock;
        void* refCon = nullptr;
    };
    Entry& entryFor(const DeliveryQueue::TargetPtr& target);

    std::vector<Entry> entries_;
    std::vector<DeliveryQueue::Posting> postings_;
};

} // namespace platform::midi
