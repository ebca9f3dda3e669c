// Sent packets to receiver lists.
#include "platform/midi/inprocess/InProcessTranslation.h"

#include "platform/core/LogSink.h"
#include "platform/midi/MIDIByteReader.h"

#include <algorithm>

namespace platform::midi {

namespace {

void logError(const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", LogLevel::error, text});
}

// Where a packet that resumes after the silence rule dropped its sender's SysEx is read from: past
// that SysEx's tail, up to its F7, when it begins with one. Neither kind of receiver reads such a
// tail, and the packet reading would stop at it, losing whole messages that follow.
std::size_t oldTail(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || MIDIByteReader::isStatus(bytes[0])) return 0;
    const auto f7 = std::find(bytes.begin(), bytes.end(), MIDIByteReader::sysExEnd);
    if (f7 != bytes.end()) return static_cast<std::size_t>(f7 - bytes.begin()) + 1;
    return static_cast<std::size_t>(std::find_if(bytes.begin(), bytes.end(), MIDIByteReader::isStatus) -
                                    bytes.begin());
}

} // namespace

std::shared_ptr<const PacketListBuilder> InProcessTranslation::piecesList() const {
    if (pieces_.empty()) return nullptr;
    auto list = std::make_shared<PacketListBuilder>();
    for (const auto& piece : pieces_)
        list->addSplit(piece.timeStamp, piece.bytes);
    return list;
}

std::shared_ptr<const PacketListBuilder>
InProcessTranslation::toDestination(MIDIEndpointRef destination, MIDIPortRef port, std::string_view portName,
                                    std::span<const PacketListReader::Packet> packets) {
    frame(framing_[{destination, port}], portName, packets);
    return piecesList();
}

void InProcessTranslation::forget(MIDIObjectRef ref) {
    translators_.erase(ref);
    std::erase_if(framing_,
                  [&](const auto& entry) { return entry.first.first == ref || entry.first.second == ref; });
}

void InProcessTranslation::frame(Source& source, std::string_view sourceName,
                                 std::span<const PacketListReader::Packet> packets) {
    pieces_.clear();
    whole_.clear();
    const auto collect = [&](MIDITimeStamp timeStamp, std::span<const std::uint8_t> bytes) {
        std::size_t taken = 0;
        switch (source.sysEx.add(bytes, taken)) {
        case SysExCollector::Result::pending:
            break;
        case SysExCollector::Result::whole:
            whole_.push_back(source.sysEx.message());
            pieces_.push_back({timeStamp, whole_.back()});
            break;
        case SysExCollector::Result::tooLong:
            logError(SysExCollector::tooLongText(sourceName));
            break;
        }
        return taken;
    };
    for (const auto& packet : packets) {
        const auto bytes = packet.data;
        std::size_t i = 0;
        if (source.sysEx.isOpen()) {
            // Stamps that go back (a sender's own schedule) never count as silence.
            if (packet.timeStamp > source.last && packet.timeStamp - source.last > kSilenceEndsSysEx) {
                if (const auto dropped = source.sysEx.drop())
                    logError(SysExCollector::droppedText(sourceName, *dropped));
                i = oldTail(bytes);
            } else {
                i = collect(packet.timeStamp, bytes);
            }
        }
        source.last = packet.timeStamp;
        // The rest as every receiver reads a packet. What begins no message is left out: a packet
        // list's reading would stop there, and universal packets would read something else.
        std::size_t from = i, cut = 0;
        while (i < bytes.size()) {
            const auto step = MIDIByteReader::next(bytes, i);
            if (step.kind == MIDIByteReader::Step::Kind::end) break;
            if (step.kind == MIDIByteReader::Step::Kind::cut) {
                // Its real-time bytes still arrive; the status byte that cut it begins the next message.
                if (i > from) pieces_.push_back({packet.timeStamp, bytes.subspan(from, i - from)});
                MIDIByteReader::unweave(
                    bytes.subspan(i, step.length),
                    [&](const std::uint8_t& byte) {
                        pieces_.push_back({packet.timeStamp, {&byte, 1}});
                    },
                    [&](std::uint8_t) { ++cut; });
                from = i += step.length;
                continue;
            }
            if (step.kind == MIDIByteReader::Step::Kind::message) {
                if (step.realTime > 0 || step.ignored > 0) {
                    // The real-time bytes inside first, as the wire gave them, then the message.
                    if (i > from) pieces_.push_back({packet.timeStamp, bytes.subspan(from, i - from)});
                    auto& message = whole_.emplace_back();
                    MIDIByteReader::unweave(
                        bytes.subspan(i, step.length),
                        [&](const std::uint8_t& byte) {
                            pieces_.push_back({packet.timeStamp, {&byte, 1}});
                        },
                        [&](std::uint8_t byte) { message.push_back(byte); });
                    pieces_.push_back({packet.timeStamp, message});
                    from = i + step.length;
                }
                i += step.length;
                continue;
            }
            if (step.kind == MIDIByteReader::Step::Kind::strayEnd) {
                i += step.length;
                continue;
            }
            if (step.kind == MIDIByteReader::Step::Kind::ignored) {
                if (i > from) pieces_.push_back({packet.timeStamp, bytes.subspan(from, i - from)});
                from = i += step.length;
                continue;
            }
            if (i > from) pieces_.push_back({packet.timeStamp, bytes.subspan(from, i - from)});
            source.sysEx.start();
            i += collect(packet.timeStamp, bytes.subspan(i));
            from = i;
        }
        if (i > from) pieces_.push_back({packet.timeStamp, bytes.subspan(from, i - from)});
        if (const auto dropped = cut + bytes.size() - i; dropped > 0)
            logError(SysExCollector::strayText(sourceName, dropped));
    }
}

InProcessTranslation::Lists
InProcessTranslation::fromSource(MIDIEndpointRef sourceRef, std::string_view sourceName,
                                 std::span<const PacketListReader::Packet> packets, bool forPacketPorts,
                                 bool forEventPorts) {
    frame(framing_[{0, sourceRef}], sourceName, packets);
    Lists lists;
    if (forPacketPorts) lists.packets = piecesList();
    if (!forEventPorts) {
        // Nobody follows the stream as UMP now; a port connected later starts clean.
        translators_.erase(sourceRef);
        return lists;
    }
    auto& translator = translators_[sourceRef];
    // Translated first, so the list is sized once.
    words_.clear();
    ends_.clear();
    for (const auto& piece : pieces_) {
        translator.translate(piece.bytes, words_);
        ends_.push_back(words_.size());
    }
    // SysEx reaches it only whole: an F0 the packet reading never reached opens nothing.
    if (translator.inSysEx()) translator.reset();
    auto events = std::make_shared<EventListBuilder>(kMIDIProtocol_1_0);
    events->reserve(words_.size() + pieces_.size() * 4);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
        events->addMessages(pieces_[i].timeStamp, std::span(words_).subspan(begin, ends_[i] - begin));
        begin = ends_[i];
    }
    if (events->count() > 0) lists.events = std::move(events);
    return lists;
}

} // namespace platform::midi
