#pragma once
// The sequencer: one platform music sequence with its tempo track, one player bound to it, and
// one track manager per track. Positions and lengths are beats; positions come back as
// Durations at tempo 60. No threads or locks of its own: keep calls on one thread.
#include "platform/sequence/MusicSequenceTypes.h"
#include "sonabel/sequencing/Duration.h"
#include "sonabel/sequencing/MusicTrackManager.h"
#include "sonabel/sequencing/TimeSignature.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sonabel {

class AppleSequencer {
public:
    // Raised by the host-time conversions only.
    struct MusicPlayerTimeConversionError : std::exception {
        enum class Kind { osStatus, musicPlayerIsNotPlaying };
        Kind kind;
        OSStatus status = noErr;
        explicit MusicPlayerTimeConversionError(Kind kind, OSStatus status = noErr)
            : kind(kind), status(status) {}
        const char* what() const noexcept override {
            return kind == Kind::osStatus ? "osStatus" : "musicPlayerIsNotPlaying";
        }
    };

    std::optional<MusicSequence> sequence;
    std::optional<MusicSequence> sequencePointer;
    std::vector<std::shared_ptr<MusicTrackManager>> tracks;
    std::optional<MusicPlayer> musicPlayer;
    bool loopEnabled() const { return loopEnabled_; }

    AppleSequencer();
    virtual ~AppleSequencer();
    AppleSequencer(const AppleSequencer&) = delete;
    AppleSequencer& operator=(const AppleSequencer&) = delete;

    static std::shared_ptr<AppleSequencer> fromFile(const std::string& fileName);
    static std::shared_ptr<AppleSequencer> fromURL(const std::filesystem::path& url);
    static std::shared_ptr<AppleSequencer> fromData(std::span<const std::uint8_t> data);

    virtual void preroll();
    virtual void toggleLoop();
    virtual void enableLooping();
    virtual void enableLooping(const Duration& loopLength);
    virtual void disableLooping();
    virtual void setLoopInfo(const Duration& duration, std::int64_t numberOfLoops);
    virtual void setLength(const Duration& length);
    virtual Duration length() const;
    virtual void setRate(double rate);
    virtual double rate() const;

    // Replaces every tempo event by one at 0; other events of the tempo track stay.
    virtual void setTempo(double bpm);
    virtual void addTempoEventAt(double tempo, MusicTimeStamp position);
    // The tempo of the last tempo event at or before the current position; 120 without one, 0
    // without a tempo track.
    virtual double tempo() const;
    virtual std::vector<std::pair<MusicTimeStamp, double>> allTempoEvents() const;
    virtual double getTempo(MusicTimeStamp at) const;
    virtual std::vector<std::pair<MusicTimeStamp, TimeSignature>> allTimeSignatureEvents() const;
    virtual TimeSignature getTimeSignature(MusicTimeStamp at) const;
    virtual void addTimeSignatureEvent(MusicTimeStamp at, const TimeSignature& timeSignature,
                                       std::uint8_t ticksPerMetronomeClick,
                                       std::uint8_t thirtySecondNotesPerQuarter, bool clearExistingEvents);

    virtual Duration duration(double seconds) const;
    virtual double seconds(const Duration& duration) const;

    virtual void play();
    virtual void stop();
    virtual void rewind();
    virtual bool isPlaying() const;
    virtual Duration currentPosition() const;
    virtual Duration currentRelativePosition() const;
    virtual int trackCount() const;
    virtual std::uint32_t timeResolution() const;

    virtual void loadMIDIFile(const std::string& fileName);
    virtual void loadMIDIFileFromURL(const std::filesystem::path& url);
    virtual void loadMIDIFileFromData(std::span<const std::uint8_t> data);
    virtual void addMIDIFileTracks(const std::string& fileName, bool useExistingSequencerLength);
    virtual void addMIDIFileTracksFromURL(const std::filesystem::path& url, bool useExistingSequencerLength);
    virtual void addMusicTrackNoteData(const AppleSequencer& from, bool useExistingSequencerLength);
    virtual void initTracks();
    virtual void removeTracks();
    virtual std::shared_ptr<MusicTrackManager> newTrack(const std::string& name);
    virtual void deleteTrack(int trackIndex);
    virtual void clearRange(const Duration& start, const Duration& duration);
    virtual void setTime(MusicTimeStamp time);
    virtual std::optional<std::vector<std::uint8_t>> genData() const;
    // The sequence's structure as text; also written to standard output.
    virtual std::optional<std::string> showSequence() const;
    virtual void setGlobalMIDIOutput(MIDIEndpointRef midiEndpoint);

    virtual Duration nearestQuantizedPosition(double quantizationInBeats) const;
    virtual Duration previousQuantizedPosition(double quantizationInBeats) const;
    virtual Duration nextQuantizedPosition(double quantizationInBeats) const;
    virtual std::uint64_t hostTime(MusicTimeStamp forBeats) const;
    virtual MusicTimeStamp beats(std::uint64_t forHostTime) const;

private:
    std::optional<MusicTrack> tempoTrack() const;
    void writeLoopInfo(double beats, std::int32_t numberOfLoops);
    bool loopEnabled_ = false;
};

} // namespace sonabel
