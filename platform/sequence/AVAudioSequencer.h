#pragma once
// The sequencer node: a platform sequence and player bound to an audio engine, with its tracks
// as objects. Calls are expected on one thread; the player plays on its own.
#include "platform/sequence/AVMusicTrack.h"
#include "platform/sequence/MusicSequenceTypes.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

class AudioEngine;

// A refused load or start, with the platform status.
struct AVAudioSequencerError {
    OSStatus code = noErr;
    std::string description() const;
};

class AVAudioSequencer {
public:
    explicit AVAudioSequencer(std::shared_ptr<AudioEngine> audioEngine);
    virtual ~AVAudioSequencer();
    AVAudioSequencer(const AVAudioSequencer&) = delete;
    AVAudioSequencer& operator=(const AVAudioSequencer&) = delete;

    // The sequence's tracks, read anew; a track keeps its object (and loop range) while it lives.
    std::vector<std::shared_ptr<AVMusicTrack>> tracks() const;

    bool loadFromURL(const std::filesystem::path& url, std::uint32_t options, AVAudioSequencerError* error);
    bool loadFromData(std::span<const std::uint8_t> data, std::uint32_t options,
                      AVAudioSequencerError* error);
    bool startAndReturnError(AVAudioSequencerError* error);
    void stop();
    bool isPlaying() const;
    MusicTimeStamp currentPositionInBeats() const;
    void setCurrentPositionInBeats(MusicTimeStamp beats);

    std::shared_ptr<AudioEngine> audioEngine() const { return engine_.lock(); }
    MusicSequence musicSequence() const { return sequence_; }
    MusicPlayer musicPlayer() const { return player_; }

private:
    std::weak_ptr<AudioEngine> engine_;
    MusicSequence sequence_{};
    MusicPlayer player_{};
    mutable std::map<std::uint64_t, std::shared_ptr<AVMusicTrack>> trackObjects_;
};

} // namespace platform
