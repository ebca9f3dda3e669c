#include "sonabel/midi/MIDIPlayer.h"

#include "platform/audio/AUAudioUnit.h"
#include "platform/audio/AudioUnitNode.h"
#include "platform/sequence/BundleResources.h"
#include "sonabel/internals/error_handling/Log.h"

#include <algorithm>
#include <cmath>

namespace sonabel {

namespace {

double longestTrack(const platform::AVAudioSequencer& sequencer) {
    double longest = 0;
    for (const auto& track : sequencer.tracks())
        longest = std::max(longest, track->lengthInBeats());
    return longest;
}

} // namespace

MIDIPlayer::MIDIPlayer(std::shared_ptr<platform::AudioEngine> audioEngine, const std::string& fileName)
    : platform::AVAudioSequencer(std::move(audioEngine)) {
    loadMIDIFile(fileName);
}

void MIDIPlayer::loadMIDIFile(const std::string& fileName) {
    const auto path = platform::BundleResources::pathForResource(fileName, "mid");
    if (!path) return;
    platform::AVAudioSequencerError error;
    if (!loadFromURL(*path, 0, &error)) Log({"loadMIDIFile(_:)"}, "failed to load MIDI into sequencer");
}

void MIDIPlayer::sequence(std::span<const std::uint8_t> from) {
    platform::AVAudioSequencerError error;
    if (!loadFromData(from, 0, &error))
        Log({"sequence(from:)"}, "cannot load from data " + error.description());
}

void MIDIPlayer::play() {
    platform::AVAudioSequencerError error;
    if (!startAndReturnError(&error)) Log({"play()"}, "Could not start the sequencer");
}

void MIDIPlayer::enableLooping() {
    enableLooping(Duration(longestTrack(*this)));
}

void MIDIPlayer::enableLooping(const Duration& loopLength) {
    for (const auto& track : tracks()) {
        track->setLoopingEnabled(true);
        track->setLoopRange({0, loopLength.beats});
    }
    loopEnabled = true;
}

void MIDIPlayer::disableLooping() {
    for (const auto& track : tracks())
        track->setLoopingEnabled(false);
    loopEnabled = false;
}

void MIDIPlayer::toggleLoop() {
    if (loopEnabled)
        disableLooping();
    else
        enableLooping();
}

Duration MIDIPlayer::length() const {
    return Duration(longestTrack(*this), tempo);
}

void MIDIPlayer::setLength(const Duration& length) {
    for (const auto& track : tracks()) {
        track->setLengthInBeats(length.beats);
        track->setLoopRange({0, length.beats});
    }
}

Duration MIDIPlayer::currentPosition() const {
    return Duration(currentPositionInBeats());
}

Duration MIDIPlayer::currentRelativePosition() const {
    const double longest = longestTrack(*this);
    // Without tracks there is no pass to be in: the position within it is 0.
    return Duration(longest > 0 ? std::fmod(currentPositionInBeats(), longest) : 0);
}

void MIDIPlayer::setAudioUnitOutput(const std::shared_ptr<platform::AudioUnitNode>& node) {
    MusicTrackMIDIReceiver input;
    if (node) {
        std::weak_ptr<platform::AUAudioUnit> unit = node->auAudioUnit();
        input = [unit](const MusicTrackOutput& output) {
            const auto target = unit.lock();
            if (!target) return;
            if (const auto block = target->scheduleMIDIEventBlock())
                (*block)(platform::AUEventSampleTimeImmediate, 0, output.bytes.size(), output.bytes.data());
        };
    }
    for (const auto& track : tracks())
        track->setDestinationAudioUnit(input);
}

void MIDIPlayer::setMIDIEndpointOutput(MIDIEndpointRef endpoint) {
    for (const auto& track : tracks())
        track->setDestinationMIDIEndpoint(endpoint);
}

} // namespace sonabel
