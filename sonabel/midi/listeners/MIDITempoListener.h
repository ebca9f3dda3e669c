#pragma once
// Follows an external MIDI clock: estimates the tempo from the host times of clock messages (24 a
// quarter note), smooths it and publishes it as a number and as text; tells its tempo observers
// when incoming clock starts and when it has been silent for 1.6 s. Owns a real-time listener, to
// which it forwards every system message, and a clock listener, to which it hands every clock.
//
// Messages arrive on the MIDI server's thread; the time-out's cancelling, re-arming and firing run
// on the main queue. Its state sits behind a lock never held while an observer is called.
#include "platform/core/HostClock.h"
#include "platform/core/MainQueue.h"
#include "sonabel/midi/MIDIListener.h"
#include "sonabel/midi/listeners/MIDIClockListener.h"
#include "sonabel/midi/listeners/MIDISystemRealTimeListener.h"
#include "sonabel/midi/listeners/MIDITempoObserver.h"
#include "sonabel/midi/listeners/MIDITimeout.h"
#include "sonabel/midi/listeners/ObserverList.h"
#include "sonabel/midi/midifile/BPMHistoryAveraging.h"
#include "sonabel/midi/midifile/BPMHistoryStatistics.h"
#include "sonabel/midi/midifile/ValueSmoothing.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sonabel {

class MIDITempoListener : public MIDIListener, public std::enable_shared_from_this<MIDITempoListener> {
public:
    static constexpr int clockEventLimit = 2;
    static constexpr int BEAT_TICKS = 24;
    static constexpr std::uint64_t oneThousand = 1000;
    static constexpr double clockTimeoutInterval = 1.6; // seconds

    // countLimit: how many tempi beyond the newest the published average takes in. The smoothing
    // factor is kept for the smoothers. The time-out runs on `queue`. Tells the observers (at this
    // point its clock listener) that the system may lead the clock.
    static std::shared_ptr<MIDITempoListener>
    make(int countLimit = 10, double smoothingFactor = 0.9,
         platform::MainQueue& queue = platform::MainQueue::shared());
    // Releases the time-out (cancelling it), then the clock listener.
    ~MIDITempoListener() override;
    MIDITempoListener(const MIDITempoListener&) = delete;
    MIDITempoListener& operator=(const MIDITempoListener&) = delete;

    // None: no beats are counted, the tempo is still estimated.
    std::shared_ptr<MIDIClockListener> clockListener() const;
    void setClockListener(std::shared_ptr<MIDIClockListener> listener);
    std::shared_ptr<MIDISystemRealTimeListener> srtListener() const { return srtListener_; }
    std::vector<std::shared_ptr<MIDITempoObserver>> tempoObservers() const {
        return tempoObservers_.entries();
    }
    // The last published tempo as text ("120.06"); empty before the first.
    std::string tempoString() const;
    double tempo() const;
    // Host times of recent clocks, oldest first.
    std::vector<std::uint64_t> clockEvents() const;
    BPMHistoryStatistics bpmStats() const;
    BPMHistoryAveraging bpmAveraging() const;
    platform::Timebase timebaseInfo() const;
    void setTimebaseInfo(platform::Timebase timebase);
    ValueSmoothing tickSmoothing() const { return tickSmoothing_; }
    ValueSmoothing bpmSmoothing() const { return bpmSmoothing_; }
    // None: clock messages are not processed at all.
    std::shared_ptr<MIDITimeout> clockTimeout() const;
    void setClockTimeout(std::shared_ptr<MIDITimeout> timeout);
    bool isIncomingClockActive() const { return isIncomingClockActive_.load(std::memory_order_acquire); }

    void addObserver(std::shared_ptr<MIDITempoObserver> observer);
    // Takes out every entry that is this object.
    void removeObserver(const MIDITempoObserver* observer);
    void removeObserver(const std::shared_ptr<MIDITempoObserver>& observer) {
        removeObserver(observer.get());
    }
    void removeAllObservers();

    // Each of these does nothing with fewer than 2 clock times.
    void keepNewestClockEvent();
    void keepNewerHalfOfClockEvents();
    void clearClockEvents();
    // Estimates the tempo from the two newest clock times, when they make an interval.
    void analyzeTempo();

    // Stop forgets the clock times (unless there is only one), Start keeps the newest, a clock is
    // timed and counted; then every system message goes on to the real-time listener.
    void receivedMIDISystemCommand(const std::vector<MIDIByte>& data, std::optional<MIDIUniqueID> portID,
                                   std::optional<MIDITimeStamp> timeStamp) override;

protected:
    MIDITempoListener(int countLimit, double smoothingFactor);

private:
    void clockStep(MIDITimeStamp time);
    void clockLost();

    const std::shared_ptr<MIDISystemRealTimeListener> srtListener_ =
        std::make_shared<MIDISystemRealTimeListener>();
    const ValueSmoothing tickSmoothing_;
    const ValueSmoothing bpmSmoothing_;
    ObserverList<MIDITempoObserver> tempoObservers_;
    std::atomic<bool> isIncomingClockActive_{false};

    mutable std::mutex mutex_;
    std::shared_ptr<MIDIClockListener> clockListener_;
    std::shared_ptr<MIDITimeout> clockTimeout_;
    std::string tempoString_;
    double tempo_ = 0.0;
    std::vector<std::uint64_t> clockEvents_;
    BPMHistoryStatistics bpmStats_;
    BPMHistoryAveraging bpmAveraging_;
    platform::Timebase timebaseInfo_{0, 0};
};

} // namespace sonabel
