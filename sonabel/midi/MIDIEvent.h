#pragma once
// One MIDI 1.0 message with optional timing: the value in which the MIDI core receives, sends and
// reads messages. Every way of building one from raw bytes goes through one classifier, which
// decides by the first byte what the message is and which bytes it keeps.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDIPacketView.h"
#include "sonabel/midi/MIDIStatus.h"
#include "sonabel/midi/MIDISystemCommand.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sonabel {

class SysExAssembler;
struct MIDIFileChunkEvent;

struct MIDIEvent {
    std::vector<MIDIByte> data;
    // Position of an event read from a MIDI file.
    std::optional<double> positionInBeats;
    std::optional<MIDITimeStamp> offset;
    std::optional<MIDITimeStamp> timeStamp;

    MIDIEvent() = default;
    // The classifier. F0 and the other system bytes keep every byte; a channel status keeps every
    // byte with the data bytes cut to 7 bits; anything else gives no bytes (a meta-event type byte
    // logs "is meta event " and the type). No length is enforced.
    explicit MIDIEvent(std::vector<MIDIByte> data, std::optional<MIDITimeStamp> timeStamp = std::nullopt);
    // The first message of a packet, with the packet's time stamp; never reads past its length, and
    // a message cut short by the packet's end gives no bytes. One cut short by a status byte is
    // none: that byte begins the first message; a real-time byte inside the first message is the
    // first. A packet whose first message is a SysEx starts it in the assembler: the event carries
    // it when its F7 is in the packet, no bytes otherwise.
    MIDIEvent(const MIDIPacketView& packet, SysExAssembler& assembler);

    static MIDIEvent initNoteOn(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel);
    static MIDIEvent initNoteOff(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel);
    static MIDIEvent initControllerChange(MIDIByte controller, MIDIByte value, MIDIChannel channel);
    static MIDIEvent initProgramChange(MIDIByte program, MIDIChannel channel);
    // The bytes as given, without the classifier.
    static MIDIEvent initCommand(MIDISystemCommand command, MIDIByte byte1,
                                 std::optional<MIDIByte> byte2 = std::nullopt);

    // The message of a track event read from a file, positioned in beats for ticks-per-beat
    // events; none for meta events and empty messages.
    static std::optional<MIDIEvent> make(const MIDIFileChunkEvent& fileEvent);

    // The messages of one Bluetooth LE MIDI packet (header, time-stamp bytes, running status).
    static std::vector<MIDIEvent> events(std::span<const MIDIByte> blePacket);
    // One event per packet of a list, each made as from a packet; nothing past byteSize is read.
    static std::vector<MIDIEvent> events(const MIDIPacketList* packetList, std::size_t byteSize,
                                         SysExAssembler& assembler);

    // Present for a first byte 80...EF.
    std::optional<MIDIStatus> status() const;
    // Present for a system-command first byte other than FF, which at the start of an event
    // stands for a file meta event.
    std::optional<MIDISystemCommand> command() const;
    std::optional<MIDIChannel> channel() const;
    std::optional<MIDINoteNumber> noteNumber() const;
    std::optional<MIDIWord> pitchbendAmount() const;
    std::size_t length() const { return data.size(); }
    // Pieces of 256 bytes; the last holds the rest, so a multiple of 256 (0 too) ends with an
    // empty piece.
    std::vector<std::vector<MIDIByte>> chunked() const;
    // "Note On channel 0 - [144, 60, 100]"
    std::string description() const;

    bool operator==(const MIDIEvent&) const = default;
};

} // namespace sonabel
