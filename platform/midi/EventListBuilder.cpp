// Event lists for deliveries to universal-packet ports.
#include "platform/midi/EventListBuilder.h"

#include <cstring>

namespace platform::midi {

namespace {
constexpr std::size_t kHeaderWords = kMIDIEventListHeaderSize / 4;
constexpr std::size_t kPacketHeaderWords = kMIDIEventPacketHeaderSize / 4;
} // namespace

EventListBuilder::EventListBuilder(MIDIProtocolID protocol) : protocol_(protocol) {
    clear();
}

void EventListBuilder::clear() {
    storage_.assign(kHeaderWords, 0);
    std::memcpy(storage_.data(), &protocol_, sizeof protocol_);
    lastPacket_ = 0;
    count_ = 0;
}

void EventListBuilder::reserve(std::size_t messageWords) {
    const std::size_t packets = messageWords / kMIDIEventPacketWordCapacity + 1;
    storage_.reserve(storage_.size() + messageWords + packets * kPacketHeaderWords);
}

std::size_t EventListBuilder::messageWordCount(std::uint32_t firstWord) {
    static constexpr std::uint8_t sizes[16] = {1, 1, 1, 2, 2, 4, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4};
    return sizes[firstWord >> 28];
}

void EventListBuilder::addMessages(MIDITimeStamp time, std::span<const std::uint32_t> words) {
    std::size_t i = 0;
    while (i < words.size()) {
        const std::size_t n = messageWordCount(words[i]);
        if (words.size() - i < n) return;
        bool fits = false;
        if (count_ > 0) {
            MIDITimeStamp lastTime = 0;
            std::uint32_t lastCount = 0;
            std::memcpy(&lastTime, &storage_[lastPacket_], sizeof lastTime);
            std::memcpy(&lastCount, &storage_[lastPacket_ + 2], sizeof lastCount);
            fits = lastTime == time && lastCount + n <= kMIDIEventPacketWordCapacity;
            if (fits) {
                lastCount += static_cast<std::uint32_t>(n);
                std::memcpy(&storage_[lastPacket_ + 2], &lastCount, sizeof lastCount);
            }
        }
        if (!fits) {
            lastPacket_ = storage_.size();
            storage_.resize(storage_.size() + kPacketHeaderWords);
            const auto wordCount = static_cast<std::uint32_t>(n);
            std::memcpy(&storage_[lastPacket_], &time, sizeof time);
            std::memcpy(&storage_[lastPacket_ + 2], &wordCount, sizeof wordCount);
            ++count_;
            std::memcpy(&storage_[1], &count_, sizeof count_);
        }
        storage_.insert(storage_.end(), words.begin() + static_cast<std::ptrdiff_t>(i),
                        words.begin() + static_cast<std::ptrdiff_t>(i + n));
        i += n;
    }
}

} // namespace platform::midi
