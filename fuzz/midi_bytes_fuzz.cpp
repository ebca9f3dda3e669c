// Feeds arbitrary bytes to every parser of MIDI bytes from outside: variable-length quantities,
// meta events, SysEx messages, the event classifier, Bluetooth packets, and packet lists and event
// lists whose counts and lengths lie. Besides the sanitizers' checks, it traps when a parser
// reads outside its input or breaks its own promises.
#include "fuzz/FuzzSupport.h"
#include "platform/core/LogSink.h"
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDICustomMetaEvent.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/MIDIEventListIterator.h"
#include "sonabel/midi/MIDIHelper.h"
#include "sonabel/midi/MIDIPacketIterator.h"
#include "sonabel/midi/MIDIPacketListIterator.h"
#include "sonabel/midi/MIDISysExMessage.h"
#include "sonabel/midi/MIDIVariableLengthQuantity.h"
#include "sonabel/midi/SysExAssembler.h"
#include "sonabel/midi/UMPMessageProcessor.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

using namespace sonabel;

namespace {

using fuzzsupport::check;
using fuzzsupport::DiscardingLogSink;

bool within(std::span<const MIDIByte> inner, const MIDIByte* begin, std::size_t size) {
    return inner.empty() || (inner.data() >= begin && inner.data() + inner.size() <= begin + size);
}

void fuzzValueParsers(std::span<const MIDIByte> bytes) {
    const auto quantity = MIDIVariableLengthQuantity::make(bytes);
    check(quantity.has_value() == !bytes.empty());
    if (quantity) {
        check(quantity->vlqResult.first >= 1 &&
              static_cast<std::size_t>(quantity->vlqResult.first) <= bytes.size());
        check(quantity->data.size() == static_cast<std::size_t>(quantity->vlqResult.first));
    }

    if (const auto meta = MIDICustomMetaEvent::make(bytes)) {
        check(meta->data.size() <= bytes.size() && meta->data.size() >= 3);
        (void)meta->text();
        (void)meta->description();
    }
    if (const auto sysEx = MIDISysExMessage::make(bytes)) {
        check(sysEx->data.size() <= bytes.size() && sysEx->data.size() >= 2);
        (void)sysEx->description();
    }

    const MIDIEvent event(std::vector<MIDIByte>(bytes.begin(), bytes.end()), 1);
    check(event.data.size() <= bytes.size());
    (void)event.description();
    (void)event.status();
    (void)event.command();
    (void)event.channel();
    (void)event.noteNumber();
    (void)event.pitchbendAmount();
    std::size_t chunkedBytes = 0;
    for (const auto& piece : event.chunked())
        chunkedBytes += piece.size();
    check(chunkedBytes == event.data.size());

    for (const auto& bleEvent : MIDIEvent::events(bytes))
        check(bleEvent.data.size() <= bytes.size());

    (void)integerValue(bytes.first(std::min<std::size_t>(bytes.size(), 12)));
    (void)hexString(bytes.first(std::min<std::size_t>(bytes.size(), 64)));
    (void)MIDIHelper::convertToString(bytes);
}

// The input as a packet list, walked with one input's assembler.
void fuzzPacketList(std::span<const MIDIByte> bytes) {
    const MIDIByte* begin = bytes.data();
    const auto* list = reinterpret_cast<const MIDIPacketList*>(begin);

    SysExAssembler assembler;
    MIDIPacketListIterator packets(list, bytes.size());
    std::size_t packetCount = 0;
    while (const auto packet = packets.next()) {
        ++packetCount;
        check(within(packet->data, begin, bytes.size()));
        const bool continuing = assembler.isReceivingSysEx();
        MIDIPacketIterator events(*packet, assembler);
        std::size_t eventCount = 0;
        while (const auto event = events.next()) {
            ++eventCount;
            check(eventCount <= packet->length() + 1);
            if (!event->data.empty() && event->data[0] == 0xF0) check(event->data.back() == 0xF7);
            if (!continuing) check(event->data.size() <= packet->length());
        }
        SysExAssembler single;
        const MIDIEvent first(*packet, single);
        check(first.data.size() <= packet->length());
    }
    check(packetCount <= bytes.size() / offsetof(MIDIPacket, data) + 1);

    SysExAssembler listAssembler;
    check(MIDIEvent::events(list, bytes.size(), listAssembler).size() == packetCount);
}

// The input as an event list, its packets taken as coming from a few sources in turn.
void fuzzEventList(std::span<const MIDIByte> bytes) {
    const MIDIByte* begin = bytes.data();
    UMPMessageProcessor ump;
    MIDIEventListIterator packets(reinterpret_cast<const MIDIEventList*>(begin), bytes.size());
    MIDIUniqueID source = 1;
    std::size_t words = 0, eventBytes = 0;
    while (const auto packet = packets.next()) {
        check(within(packet->wordBytes, begin, bytes.size()));
        const auto events = ump.processUMPMessages(*packet, source);
        check(events.size() <= packet->wordCount());
        // One-word messages keep their three bytes whatever their status, so only the total is
        // bounded: at most three bytes per one-word message, and six plus F0 and F7 per two-word
        // SysEx piece.
        words += packet->wordCount();
        for (const auto& event : events)
            eventBytes += event.data.size();
        check(eventBytes <= 4 * words);
        if (packet->wordCount() % 5 == 4) ump.dropPendingSysEx(source);
        source = source % 3 + 1;
    }
}

// A packet record on its own, whatever its length field says.
void fuzzSinglePackets(std::span<const MIDIByte> bytes) {
    MIDIPacket packet{};
    std::memcpy(&packet, bytes.data(), std::min(bytes.size(), sizeof(packet)));
    SysExAssembler assembler;
    for (const auto& event : packetEvents(packet, assembler))
        check(event.data.size() <= sizeof(packet.data));

    MIDIEventPacket eventPacket{};
    std::memcpy(&eventPacket, bytes.data(), std::min(bytes.size(), sizeof(eventPacket)));
    UMPMessageProcessor ump;
    check(ump.processUMPMessages(eventPacket, 7).size() <= std::size(eventPacket.words));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::LogSink::setCurrent(std::make_shared<DiscardingLogSink>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy aligned for the platform's records, so that a read one past the input is
    // caught.
    constexpr std::align_val_t alignment{alignof(MIDIEventList)};
    const auto release = [](MIDIByte* p) { ::operator delete(p, alignment); };
    const std::unique_ptr<MIDIByte, decltype(release)> copy(
        static_cast<MIDIByte*>(::operator new(size ? size : 1, alignment)), release);
    if (size) std::memcpy(copy.get(), data, size);
    const std::span<const MIDIByte> bytes(copy.get(), size);

    fuzzValueParsers(bytes);
    fuzzPacketList(bytes);
    fuzzEventList(bytes);
    fuzzSinglePackets(bytes);
    return 0;
}
