// A batch of deliveries: one list per target, queued together.
#include "platform/midi/DeliveryBatch.h"

#include <algorithm>

namespace platform::midi {

DeliveryBatch::Entry& DeliveryBatch::entryFor(const DeliveryQueue::TargetPtr& target) {
    // A read brings messages for a few ports at most: a linear search beats a map.
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& entry) { return entry.target == target; });
    if (found != entries_.end()) return *found;
    Entry& entry = entries_.emplace_back();
    entry.target = target;
    return entry;
}

PacketListBuilder& DeliveryBatch::packets(const DeliveryQueue::TargetPtr& target,
                                          const std::shared_ptr<const MIDIReadBlock>& block, void* refCon) {
    Entry& entry = entryFor(target);
    if (!entry.packets) {
        entry.packets = std::make_shared<PacketListBuilder>();
        entry.readBlock = block;
        entry.refCon = refCon;
    }
    return *entry.packets;
}

EventListBuilder& DeliveryBatch::events(const DeliveryQueue::TargetPtr& target,
                                        const std::shared_ptr<const MIDIReceiveBlock>& block, void* refCon) {
    Entry& entry = entryFor(target);
    if (!entry.events) {
        entry.events = std::make_shared<EventListBuilder>(kMIDIProtocol_1_0);
        entry.receiveBlock = block;
        entry.refCon = refCon;
    }
    return *entry.events;
}

void DeliveryBatch::queue(DeliveryQueue& queue, bool mayWait) {
    for (auto& entry : entries_) {
        if (entry.packets && entry.packets->count() > 0)
            postings_.push_back(
                {entry.target, [block = entry.readBlock, list = entry.packets, refCon = entry.refCon] {
                     (*block)(list->list(), list->size(), refCon);
                 }});
        if (entry.events && entry.events->count() > 0)
            postings_.push_back(
                {entry.target, [block = entry.receiveBlock, list = entry.events, refCon = entry.refCon] {
                     (*block)(list->list(), list->size(), refCon);
                 }});
    }
    entries_.clear();
    if (!postings_.empty()) queue.post(postings_, mayWait);
}

} // namespace platform::midi
