#pragma once
// One track of a sequencer node, over its platform track: length, loop and destination.
#include "platform/sequence/MusicSequenceTypes.h"

namespace platform {

struct AVMusicTimeRange {
    MusicTimeStamp start = 0;
    MusicTimeStamp length = 0;
    bool operator==(const AVMusicTimeRange&) const = default;
};

class AVMusicTrack {
public:
    explicit AVMusicTrack(MusicTrack track) : track_(track) {}
    MusicTrack musicTrack() const { return track_; }

    MusicTimeStamp lengthInBeats() const;
    void setLengthInBeats(MusicTimeStamp beats);
    // While looping, the track repeats its first loopRange().length beats for ever (the range is
    // kept from 0; the platform track loops from its start).
    bool isLoopingEnabled() const { return looping_; }
    void setLoopingEnabled(bool enabled);
    AVMusicTimeRange loopRange() const { return loopRange_; }
    void setLoopRange(AVMusicTimeRange range);
    // The track's messages go to an audio unit's MIDI input, taken as a receiver so that this
    // layer needs no audio engine.
    void setDestinationAudioUnit(MusicTrackMIDIReceiver unitInput);
    void setDestinationMIDIEndpoint(MIDIEndpointRef endpoint);
    MIDIEndpointRef destinationMIDIEndpoint() const;

private:
    void writeLoop();
    MusicTrack track_;
    bool looping_ = false;
    AVMusicTimeRange loopRange_;
};

} // namespace platform
