#include "sonabel/midi/listeners/MIDISystemRealTimeListener.h"

#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDISystemCommand.h"

namespace sonabel {

namespace {
constexpr const char* kReceived = "receivedMIDISystemCommand(_:portID:timeStamp:)";
}

void MIDISystemRealTimeListener::addObserver(std::shared_ptr<MIDISystemRealTimeObserver> observer) {
    observers_.add(std::move(observer));
}

void MIDISystemRealTimeListener::removeObserver(const MIDISystemRealTimeObserver* observer) {
    observers_.remove(observer);
}

void MIDISystemRealTimeListener::removeAllObservers() {
    observers_.removeAll();
}

void MIDISystemRealTimeListener::receivedMIDISystemCommand(const std::vector<MIDIByte>& data,
                                                           std::optional<MIDIUniqueID>,
                                                           std::optional<MIDITimeStamp>) {
    if (data.empty()) return;
    switch (data[0]) {
    case MIDISystemCommand::stop:
        Log({kReceived, OSLog::midi}, "Incoming MMC [Stop]");
        setState(state() == SRTState::playing ? SRTState::paused : SRTState::stopped);
        observers_.forEach([this](MIDISystemRealTimeObserver& o) { o.stopSRT(*this); });
        break;
    case MIDISystemCommand::start:
        Log({kReceived, OSLog::midi}, "Incoming MMC [Start]");
        setState(SRTState::playing);
        observers_.forEach([this](MIDISystemRealTimeObserver& o) { o.startSRT(*this); });
        break;
    case MIDISystemCommand::continue_:
        Log({kReceived, OSLog::midi}, "Incoming MMC [Continue]");
        setState(SRTState::playing);
        observers_.forEach([this](MIDISystemRealTimeObserver& o) { o.continueSRT(*this); });
        break;
    default:
        break;
    }
}

} // namespace sonabel
