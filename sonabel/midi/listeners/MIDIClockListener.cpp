#include "sonabel/midi/listeners/MIDIClockListener.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/listeners/MIDITempoListener.h"

#include <string>

namespace sonabel {

namespace {

template <class T, class U> T locked(std::mutex& mutex, const U& field) {
    std::lock_guard lock(mutex);
    return field;
}

} // namespace

std::shared_ptr<MIDIClockListener>
MIDIClockListener::make(const std::shared_ptr<MIDISystemRealTimeListener>& srtListener,
                        std::uint8_t quantumsPerQuarterNote,
                        const std::shared_ptr<MIDITempoListener>& tempoListener) {
    std::shared_ptr<MIDIClockListener> listener(
        new MIDIClockListener(srtListener, quantumsPerQuarterNote, tempoListener));
    if (srtListener) srtListener->addObserver(listener);
    if (tempoListener) tempoListener->addObserver(listener);
    return listener;
}

MIDIClockListener::MIDIClockListener(const std::shared_ptr<MIDISystemRealTimeListener>& srtListener,
                                     std::uint8_t quantumsPerQuarterNote,
                                     const std::shared_ptr<MIDITempoListener>& tempoListener)
    : quantumsPerQuarterNote_(quantumsPerQuarterNote), srtListener_(srtListener),
      tempoListener_(tempoListener) {}

MIDIClockListener::~MIDIClockListener() {
    if (auto srt = srtListener_.lock()) srt->removeObserver(static_cast<MIDISystemRealTimeObserver*>(this));
    if (auto tempo = tempoListener_.lock()) tempo->removeObserver(static_cast<MIDITempoObserver*>(this));
}

std::uint8_t MIDIClockListener::quarterNoteQuantumCounter() const {
    return locked<std::uint8_t>(mutex_, quarterNoteQuantumCounter_);
}
void MIDIClockListener::setQuarterNoteQuantumCounter(std::uint8_t value) {
    std::lock_guard lock(mutex_);
    quarterNoteQuantumCounter_ = value;
}
std::uint64_t MIDIClockListener::quantumCounter() const {
    return locked<std::uint64_t>(mutex_, quantumCounter_);
}
void MIDIClockListener::setQuantumCounter(std::uint64_t value) {
    std::lock_guard lock(mutex_);
    quantumCounter_ = value;
}
std::uint64_t MIDIClockListener::sppMIDIBeatCounter() const {
    return locked<std::uint64_t>(mutex_, sppMIDIBeatCounter_);
}
void MIDIClockListener::setSppMIDIBeatCounter(std::uint64_t value) {
    std::lock_guard lock(mutex_);
    sppMIDIBeatCounter_ = value;
}
std::uint8_t MIDIClockListener::sppMIDIBeatQuantumCounter() const {
    return locked<std::uint8_t>(mutex_, sppMIDIBeatQuantumCounter_);
}
void MIDIClockListener::setSppMIDIBeatQuantumCounter(std::uint8_t value) {
    std::lock_guard lock(mutex_);
    sppMIDIBeatQuantumCounter_ = value;
}
std::uint8_t MIDIClockListener::fourCount() const {
    return locked<std::uint8_t>(mutex_, fourCount_);
}
void MIDIClockListener::setFourCount(std::uint8_t value) {
    std::lock_guard lock(mutex_);
    fourCount_ = value;
}
bool MIDIClockListener::sendStart() const {
    return locked<bool>(mutex_, sendStart_);
}
void MIDIClockListener::setSendStart(bool value) {
    std::lock_guard lock(mutex_);
    sendStart_ = value;
}
bool MIDIClockListener::sendContinue() const {
    return locked<bool>(mutex_, sendContinue_);
}
void MIDIClockListener::setSendContinue(bool value) {
    std::lock_guard lock(mutex_);
    sendContinue_ = value;
}

void MIDIClockListener::addObserver(std::shared_ptr<MIDIBeatObserver> observer) {
    observers_.add(std::move(observer));
    Log({"addObserver(_:)", OSLog::midi},
        "[MIDIClockListener:addObserver] (" + std::to_string(observers_.size()) + " observers)");
}

void MIDIClockListener::removeObserver(const MIDIBeatObserver* observer) {
    observers_.remove(observer);
    Log({"removeObserver(_:)", OSLog::midi},
        "[MIDIClockListener:removeObserver] (" + std::to_string(observers_.size()) + " observers)");
}

void MIDIClockListener::removeAllObservers() {
    observers_.removeAll();
}

void MIDIClockListener::midiClockBeat(MIDITimeStamp timeStamp) {
    const char* function = "midiClockBeat(timeStamp:)";
    const auto srt = srtListener_.lock();
    const bool playing = srt && srt->state() == MIDISystemRealTimeListener::SRTState::playing;

    // Everything this clock changes is worked out under the lock, then reported without it.
    bool quarterNote = false, firstBeat = false, firstBeatContinued = false, songPositionBeat = false;
    std::uint8_t fourCount;
    std::uint64_t spp, quantum, beat = 0;
    {
        std::lock_guard lock(mutex_);
        ++quantumCounter_;
        quantum = quantumCounter_;
        if (playing) {
            ++quarterNoteQuantumCounter_;
            if (quarterNoteQuantumCounter_ == 1) {
                if (fourCount_ >= 4) fourCount_ = 0;
                ++fourCount_;
                quarterNote = true;
                if (sendStart_ || sendContinue_) {
                    firstBeat = true;
                    firstBeatContinued = sendContinue_;
                    sendStart_ = sendContinue_ = false;
                }
            }
            // With fewer than 2 clocks a quarter note every clock starts one; the 8-bit counter
            // must never run on past the end of its quarter note.
            if (quarterNoteQuantumCounter_ >= quantumsPerQuarterNote_) quarterNoteQuantumCounter_ = 0;
        }
        fourCount = fourCount_;
        spp = sppMIDIBeatCounter_;
        if (playing) {
            if (sppMIDIBeatQuantumCounter_ >= 6) {
                sppMIDIBeatQuantumCounter_ = 0;
                ++sppMIDIBeatCounter_;
            }
            ++sppMIDIBeatQuantumCounter_;
            songPositionBeat = sppMIDIBeatQuantumCounter_ == 1;
            beat = sppMIDIBeatCounter_;
        }
    }

    if (quarterNote) {
        Log({function, OSLog::midi}, std::string(fourCount, ' ') + std::to_string(fourCount));
        if (firstBeat)
            observers_.forEach([&](MIDIBeatObserver& o) { o.firstBeatReceived(firstBeatContinued); });
        observers_.forEach([&](MIDIBeatObserver& o) { o.quarterNoteReceived(fourCount); });
    }
    observers_.forEach([&](MIDIBeatObserver& o) { o.quantumReceived(timeStamp, fourCount, spp, quantum); });
    if (songPositionBeat) {
        observers_.forEach([&](MIDIBeatObserver& o) { o.songPositionBeatReceived(beat); });
        Log({function, OSLog::midi}, "       " + std::to_string(beat % 16 + 1));
    }
}

void MIDIClockListener::startSRT(const MIDISystemRealTimeListener&) {
    Log({"startSRT(listener:)", OSLog::midi}, "Beat: [Start]");
    {
        std::lock_guard lock(mutex_);
        sppMIDIBeatCounter_ = 0;
        quarterNoteQuantumCounter_ = 0;
        fourCount_ = 0;
        sendStart_ = true;
    }
    observers_.forEach([](MIDIBeatObserver& o) { o.srtWillStart(false); });
}

void MIDIClockListener::continueSRT(const MIDISystemRealTimeListener&) {
    Log({"continueSRT(listener:)", OSLog::midi}, "Beat: [Continue]");
    setSendContinue(true);
    observers_.forEach([](MIDIBeatObserver& o) { o.srtWillStart(true); });
}

void MIDIClockListener::stopSRT(const MIDISystemRealTimeListener&) {
    Log({"stopSRT(listener:)", OSLog::midi}, "Beat: [Stop]");
    observers_.forEach([](MIDIBeatObserver& o) { o.srtDidStop(); });
}

void MIDIClockListener::midiClockLeaderEnabled() {
    Log({"midiClockLeaderEnabled()", OSLog::midi}, "MIDI Clock Leader Enabled");
    setQuarterNoteQuantumCounter(0);
}

void MIDIClockListener::midiClockFollowerMode() {
    Log({"midiClockFollowerMode()", OSLog::midi}, "MIDI Clock Follower");
    setQuarterNoteQuantumCounter(0);
}

} // namespace sonabel
