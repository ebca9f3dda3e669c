#include "platform/sequence/AVMusicTrack.h"

#include "platform/sequence/MusicSequenceServices.h"

namespace platform {

MusicTimeStamp AVMusicTrack::lengthInBeats() const {
    double length = 0;
    std::uint32_t size = sizeof length;
    MusicTrackGetProperty(track_, kSequenceTrackProperty_TrackLength, &length, &size);
    return length;
}

void AVMusicTrack::setLengthInBeats(MusicTimeStamp beats) {
    MusicTrackSetProperty(track_, kSequenceTrackProperty_TrackLength, &beats, sizeof beats);
}

void AVMusicTrack::writeLoop() {
    const MusicTrackLoopInfo info{looping_ ? loopRange_.length : 0, 0};
    MusicTrackSetProperty(track_, kSequenceTrackProperty_LoopInfo, &info, sizeof info);
}

void AVMusicTrack::setLoopingEnabled(bool enabled) {
    looping_ = enabled;
    writeLoop();
}

void AVMusicTrack::setLoopRange(AVMusicTimeRange range) {
    loopRange_ = range;
    writeLoop();
}

void AVMusicTrack::setDestinationAudioUnit(MusicTrackMIDIReceiver unitInput) {
    MusicTrackSetDestMIDIReceiver(track_, std::move(unitInput));
}

void AVMusicTrack::setDestinationMIDIEndpoint(MIDIEndpointRef endpoint) {
    MusicTrackSetDestMIDIReceiver(track_, nullptr);
    MusicTrackSetDestMIDIEndpoint(track_, endpoint);
}

MIDIEndpointRef AVMusicTrack::destinationMIDIEndpoint() const {
    MIDIEndpointRef endpoint = 0;
    MusicTrackGetDestMIDIEndpoint(track_, &endpoint);
    return endpoint;
}

} // namespace platform
