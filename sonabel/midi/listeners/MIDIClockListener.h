#pragma once
// Counts an incoming MIDI clock (quantumsPerQuarterNote clocks a quarter note) into quarter notes
// of a four-beat bar and into song-position beats of 6 clocks, and tells its beat observers. It
// learns the transport from a real-time listener and the leader/follower switch from a tempo
// listener, both of which hold it as an observer for its whole life; the tempo listener hands it
// every clock. Runs on the MIDI server's thread, except midiClockLeaderEnabled() (main queue);
// its counters sit behind a lock that is never held while an observer is called.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/listeners/MIDIBeatObserver.h"
#include "sonabel/midi/listeners/MIDISystemRealTimeListener.h"
#include "sonabel/midi/listeners/MIDISystemRealTimeObserver.h"
#include "sonabel/midi/listeners/MIDITempoObserver.h"
#include "sonabel/midi/listeners/ObserverList.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sonabel {

class MIDITempoListener;

class MIDIClockListener : public MIDIBeatObserver,
                          public MIDITempoObserver,
                          public MIDISystemRealTimeObserver,
                          public std::enable_shared_from_this<MIDIClockListener> {
public:
    // Adds itself to the observers of both listeners.
    static std::shared_ptr<MIDIClockListener>
    make(const std::shared_ptr<MIDISystemRealTimeListener>& srtListener, std::uint8_t quantumsPerQuarterNote,
         const std::shared_ptr<MIDITempoListener>& tempoListener);
    // Leaves the observers of both listeners.
    ~MIDIClockListener() override;
    MIDIClockListener(const MIDIClockListener&) = delete;
    MIDIClockListener& operator=(const MIDIClockListener&) = delete;

    std::uint8_t quantumsPerQuarterNote() const { return quantumsPerQuarterNote_; }
    std::uint8_t quarterNoteQuantumCounter() const;
    void setQuarterNoteQuantumCounter(std::uint8_t value);
    std::uint64_t quantumCounter() const;
    void setQuantumCounter(std::uint64_t value);
    std::uint64_t sppMIDIBeatCounter() const;
    void setSppMIDIBeatCounter(std::uint64_t value);
    std::uint8_t sppMIDIBeatQuantumCounter() const;
    void setSppMIDIBeatQuantumCounter(std::uint8_t value);
    std::uint8_t fourCount() const;
    void setFourCount(std::uint8_t value);
    bool sendStart() const;
    void setSendStart(bool value);
    bool sendContinue() const;
    void setSendContinue(bool value);
    std::shared_ptr<MIDISystemRealTimeListener> srtListener() const { return srtListener_.lock(); }
    std::shared_ptr<MIDITempoListener> tempoListener() const { return tempoListener_.lock(); }

    std::vector<std::shared_ptr<MIDIBeatObserver>> observers() const { return observers_.entries(); }
    // Log the new number of observers.
    void addObserver(std::shared_ptr<MIDIBeatObserver> observer);
    void removeObserver(const MIDIBeatObserver* observer);
    void removeObserver(const std::shared_ptr<MIDIBeatObserver>& observer) { removeObserver(observer.get()); }
    void removeAllObservers();

    // One clock message; 0 when it had no time stamp.
    virtual void midiClockBeat(MIDITimeStamp timeStamp);

    void startSRT(const MIDISystemRealTimeListener& listener) override;
    void stopSRT(const MIDISystemRealTimeListener& listener) override;
    void continueSRT(const MIDISystemRealTimeListener& listener) override;
    void midiClockLeaderEnabled() override;
    void midiClockFollowerMode();

protected:
    MIDIClockListener(const std::shared_ptr<MIDISystemRealTimeListener>& srtListener,
                      std::uint8_t quantumsPerQuarterNote,
                      const std::shared_ptr<MIDITempoListener>& tempoListener);

private:
    const std::uint8_t quantumsPerQuarterNote_;
    // Both own this listener through their observer lists.
    const std::weak_ptr<MIDISystemRealTimeListener> srtListener_;
    const std::weak_ptr<MIDITempoListener> tempoListener_;
    mutable std::mutex mutex_;
    std::uint8_t quarterNoteQuantumCounter_ = 0;
    std::uint64_t quantumCounter_ = 0;
    std::uint64_t sppMIDIBeatCounter_ = 0;
    std::uint8_t sppMIDIBeatQuantumCounter_ = 0;
    std::uint8_t fourCount_ = 0;
    bool sendStart_ = false;
    bool sendContinue_ = false;
    ObserverList<MIDIBeatObserver> observers_;
};

} // namespace sonabel
