#pragma once
// Plays a Standard MIDI File through the platform's sequencer node, with whole-sequence loop,
// length and destination over all its tracks.
#include "platform/sequence/AVAudioSequencer.h"
#include "sonabel/sequencing/Duration.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace platform {
class AudioUnitNode;
}

namespace sonabel {

class MIDIPlayer : public platform::AVAudioSequencer {
public:
    // Used only as the tempo of `length`; playback speed comes from the file.
    double tempo = 120.0;
    bool loopEnabled = false;

    MIDIPlayer(std::shared_ptr<platform::AudioEngine> audioEngine, const std::string& fileName);

    virtual void sequence(std::span<const std::uint8_t> from);
    virtual void toggleLoop();
    virtual void enableLooping();
    virtual void enableLooping(const Duration& loopLength);
    virtual void disableLooping();
    virtual Duration length() const;
    virtual void setLength(const Duration& length);
    virtual void play();
    virtual void setAudioUnitOutput(const std::shared_ptr<platform::AudioUnitNode>& node);
    virtual Duration currentPosition() const;
    virtual Duration currentRelativePosition() const;
    virtual void loadMIDIFile(const std::string& fileName);
    virtual void setMIDIEndpointOutput(MIDIEndpointRef endpoint);
};

} // namespace sonabel
