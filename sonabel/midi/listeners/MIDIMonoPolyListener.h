#pragma once
// Follows Mono Mode On (controller 126) and Poly Mode On (127) from any channel; the application reads the
// flag from any thread.
#include "sonabel/midi/MIDIListener.h"

#include <atomic>

namespace sonabel {

class MIDIMonoPolyListener : public MIDIListener {
public:
    explicit MIDIMonoPolyListener(bool monoMode) : monoMode_(monoMode) {}

    virtual bool monoMode() const { return monoMode_.load(std::memory_order_acquire); }
    virtual void setMonoMode(bool monoMode) { monoMode_.store(monoMode, std::memory_order_release); }

    void receivedMIDIController(MIDIByte controller, MIDIByte value, MIDIChannel channel,
                                std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;

private:
    std::atomic<bool> monoMode_;
};

} // namespace sonabel
