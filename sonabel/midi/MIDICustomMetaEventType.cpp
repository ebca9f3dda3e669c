#include "sonabel/midi/MIDICustomMetaEventType.h"

namespace sonabel {

std::optional<MIDICustomMetaEventType> MIDICustomMetaEventType::make(MIDIByte rawValue) {
    switch (rawValue) {
    case sequenceNumber:
    case textEvent:
    case copyright:
    case trackName:
    case instrumentName:
    case lyric:
    case marker:
    case cuePoint:
    case programName:
    case devicePortName:
    case metaEvent10:
    case metaEvent12:
    case channelPrefix:
    case midiPort:
    case endOfTrack:
    case setTempo:
    case smtpeOffset:
    case timeSignature:
    case keySignature:
    case sequencerSpecificMetaEvent:
        return MIDICustomMetaEventType(static_cast<Case>(rawValue));
    default:
        return std::nullopt;
    }
}

std::string MIDICustomMetaEventType::description() const {
    switch (case_) {
    case sequenceNumber:
        return "Sequence Number";
    case textEvent:
        return "Text Event";
    case copyright:
        return "Copyright";
    case trackName:
        return "Track Name";
    case instrumentName:
        return "Instrument Name";
    case lyric:
        return "Lyric";
    case marker:
        return "Marker";
    case cuePoint:
        return "Cue Point";
    case programName:
        return "Program Name";
    case devicePortName:
        return "Device (Port) Name";
    case metaEvent10:
        return "Meta Event 10";
    case metaEvent12:
        return "Meta Event 12";
    case channelPrefix:
        return "Channel Prefix";
    case midiPort:
        return "MIDI Port";
    case endOfTrack:
        return "End of Track";
    case setTempo:
        return "Set Tempo";
    case smtpeOffset:
        return "SMPTE Offset";
    case timeSignature:
        return "Time Signature";
    case keySignature:
        return "Key Signature";
    case sequencerSpecificMetaEvent:
        return "Sequence Specific";
    }
    return {};
}

} // namespace sonabel
