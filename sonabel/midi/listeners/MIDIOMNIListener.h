#pragma once
// Follows Omni Mode On (controller 125) and Omni Mode Off (124) from any channel; the application reads the
// flag from any thread.
#include "sonabel/midi/MIDIListener.h"

#include <atomic>

namespace sonabel {

class MIDIOMNIListener : public MIDIListener {
public:
    explicit MIDIOMNIListener(bool omniMode) : omniMode_(omniMode) {}

    virtual bool omniMode() const { return omniMode_.load(std::memory_order_acquire); }
    virtual void setOmniMode(bool omniMode) { omniMode_.store(omniMode, std::memory_order_release); }

    void receivedMIDIController(MIDIByte controller, MIDIByte value, MIDIChannel channel,
                                std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;

private:
    std::atomic<bool> omniMode_;
};

} // namespace sonabel
