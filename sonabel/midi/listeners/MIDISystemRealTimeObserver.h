#pragma once

namespace sonabel {

class MIDISystemRealTimeListener;

// Hears the transport messages a MIDISystemRealTimeListener received, after it changed its state.
// Called on the MIDI server's thread.
class MIDISystemRealTimeObserver {
public:
    virtual ~MIDISystemRealTimeObserver() = default;
    virtual void startSRT(const MIDISystemRealTimeListener& /*listener*/) {}
    virtual void stopSRT(const MIDISystemRealTimeListener& /*listener*/) {}
    virtual void continueSRT(const MIDISystemRealTimeListener& /*listener*/) {}
};

} // namespace sonabel
