#pragma once
// The transport state from Start, Continue and Stop. A first Stop while playing pauses, a second
// one stops. Observers hear every such message, after the state changed, also when it did not.
#include "sonabel/midi/MIDIListener.h"
#include "sonabel/midi/listeners/MIDISystemRealTimeObserver.h"
#include "sonabel/midi/listeners/ObserverList.h"

#include <atomic>
#include <memory>
#include <vector>

namespace sonabel {

class MIDISystemRealTimeListener : public MIDIListener {
public:
    enum class SRTState { stopped, playing, paused };

    MIDISystemRealTimeListener() = default;

    // Read from any thread.
    SRTState state() const { return state_.load(std::memory_order_acquire); }
    void setState(SRTState state) { state_.store(state, std::memory_order_release); }

    std::vector<std::shared_ptr<MIDISystemRealTimeObserver>> observers() const {
        return observers_.entries();
    }
    void addObserver(std::shared_ptr<MIDISystemRealTimeObserver> observer);
    // Takes out every entry that is this object.
    void removeObserver(const MIDISystemRealTimeObserver* observer);
    void removeObserver(const std::shared_ptr<MIDISystemRealTimeObserver>& observer) {
        removeObserver(observer.get());
    }
    void removeAllObservers();

    void receivedMIDISystemCommand(const std::vector<MIDIByte>& data, std::optional<MIDIUniqueID> portID,
                                   std::optional<MIDITimeStamp> timeStamp) override;

private:
    std::atomic<SRTState> state_{SRTState::stopped};
    ObserverList<MIDISystemRealTimeObserver> observers_;
};

} // namespace sonabel
