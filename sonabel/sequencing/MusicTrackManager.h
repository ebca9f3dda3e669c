#pragma once
// The handle on one platform track and its init copy: a second track holding the events the
// track had when the copy was taken, so the track can be put back into that state.
#include "platform/sequence/MusicSequenceTypes.h"
#include "sonabel/midi/midifile/MIDINoteData.h"
#include "sonabel/sequencing/Duration.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

class AppleSequencer;

// One raw event of a track, as the platform reports it (the data points into the track).
struct AppleMIDIEvent {
    MusicTimeStamp time = 0;
    MusicEventType type = 0;
    const void* data = nullptr;
    std::uint32_t dataSize = 0;
};

struct MIDIProgramChangeEvent {
    MusicTimeStamp time = 0;
    std::uint8_t channel = 0;
    std::uint8_t number = 0;
    bool operator==(const MIDIProgramChangeEvent&) const = default;
};

class MusicTrackManager {
public:
    std::optional<MusicTrack> internalMusicTrack;
    std::optional<MusicTrack> initMusicTrack;
    std::string name = "Unnamed";
    std::optional<MusicTrack> trackPointer;
    std::optional<MusicTrack> initTrackPointer;

    // A manager with no track, its own fresh sequencer.
    MusicTrackManager();
    // A new named track (and an empty init copy) in the manager's own sequencer.
    explicit MusicTrackManager(std::string name);
    // Wraps a track and names it; the init copy goes into the manager's own sequencer.
    MusicTrackManager(MusicTrack musicTrack, std::string name);
    // Wraps a track of a known sequencer, where the init copy goes too; adds no name event.
    MusicTrackManager(MusicTrack musicTrack, std::shared_ptr<AppleSequencer> sequencer);
    virtual ~MusicTrackManager() = default;

    // The sequencer whose sequence receives the tracks this manager makes: the one it made itself,
    // held strongly, or the one it was given, held weakly (a sequencer keeps the managers of its
    // tracks, so a strong reference back would keep both alive). Empty once a given one is gone.
    std::shared_ptr<AppleSequencer> sequencer() const;
    void setSequencer(std::shared_ptr<AppleSequencer> sequencer);

    virtual bool isNotEmpty() const;
    virtual double length() const;
    virtual double initLength() const;

    virtual void initSequence();
    virtual void setDestinationNode(AUNode node);
    virtual void setLoopInfo(const Duration& duration, std::int64_t numberOfLoops);
    // Keeps exactly the events before the length, cutting the notes that sound past it. A length
    // that is not finite or is negative changes nothing and is logged.
    virtual void setLength(const Duration& duration);
    virtual void setLengthProperty(const Duration& duration);
    virtual void clear();
    virtual void clearMetaEvents();
    virtual void clearSysExEvents();
    virtual void clearHelper(MusicEventType eventType, const std::string& from);
    virtual void clearNote(std::uint8_t note);
    virtual bool isEmpty() const;
    virtual void clearRange(const Duration& start, const Duration& duration);
    virtual void add(std::uint8_t noteNumber, std::uint8_t velocity, const Duration& position,
                     const Duration& duration, std::uint8_t channel = 0);
    virtual void add(const MIDINoteData& noteData);
    virtual void replaceNotes(const std::vector<MIDINoteData>& noteData);
    virtual void addController(std::uint8_t controller, std::uint8_t value, const Duration& position,
                               std::uint8_t channel = 0);
    virtual void addAftertouch(std::uint8_t noteNumber, std::uint8_t pressure, const Duration& position,
                               std::uint8_t channel = 0);
    virtual void addChannelAftertouch(std::uint8_t pressure, const Duration& position,
                                      std::uint8_t channel = 0);
    virtual void addSysEx(const std::vector<std::uint8_t>& data, const Duration& position);
    virtual void addPitchBend(unsigned value, const Duration& position, std::uint8_t channel = 0);
    virtual void resetPitchBend(const Duration& position, std::uint8_t channel = 0);
    virtual std::vector<MIDINoteData> getMIDINoteData() const;
    virtual void copyAndMergeTo(MusicTrackManager& musicTrack) const;
    virtual std::shared_ptr<MusicTrackManager> copy() const;
    virtual void resetToInit();
    virtual void setDestinationMIDIEndpoint(MIDIEndpointRef endpoint);

    // Event views (MusicTrack+Events.cpp).
    std::optional<std::vector<AppleMIDIEvent>>
    getRawEventData(std::optional<MusicEventType> type = std::nullopt) const;
    std::optional<std::vector<AppleMIDIEvent>> eventData() const { return getRawEventData(); }
    std::optional<std::vector<AppleMIDIEvent>> noteEventData() const;
    std::vector<MIDIProgramChangeEvent> programChangeEvents() const;
    void debug() const;

private:
    std::shared_ptr<AppleSequencer> ownSequencer_;
    std::weak_ptr<AppleSequencer> givenSequencer_;

    void nameTrack(MusicTrack track, const char* function);
    void addChannelMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2,
                           const Duration& position);
};

} // namespace sonabel
