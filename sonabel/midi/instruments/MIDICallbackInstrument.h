#pragma once
// An instrument that makes no sound: every note, controller, aftertouch and pitch-wheel operation
// goes back out as a three-byte channel message to a callback, on the thread of the operation (the
// MIDI server's for listener calls, the main queue's for the private destination). Program
// changes and system messages are not passed on, nor is anything for a channel above 15.
#include "sonabel/midi/instruments/MIDIInstrument.h"

#include <functional>

namespace sonabel {

class MIDICallbackInstrument : public MIDIInstrument {
public:
    using Callback = std::function<void(MIDIByte status, MIDIByte data1, MIDIByte data2)>;

    static std::shared_ptr<MIDICallbackInstrument>
    make(std::string midiInputName, Callback callback = nullptr, std::shared_ptr<MIDI> midi = nullptr,
         platform::MainQueue& queue = platform::MainQueue::shared());

    // Read and replaced from any thread; a call in progress keeps the callback it started with.
    Callback callback() const;
    void setCallback(Callback callback);

    using MIDIInstrument::start;
    using MIDIInstrument::stop;
    void start(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
               std::optional<MIDITimeStamp> timeStamp) override;
    void stop(MIDINoteNumber noteNumber, MIDIChannel channel,
              std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIController(MIDIByte controller, MIDIByte value, MIDIChannel channel,
                                std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIAftertouch(MIDINoteNumber noteNumber, MIDIByte pressure, MIDIChannel channel,
                                std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIAftertouch(MIDIByte pressure, MIDIChannel channel, std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDIPitchWheel(MIDIWord pitchWheelValue, MIDIChannel channel,
                                std::optional<MIDIUniqueID> portID,
                                std::optional<MIDITimeStamp> timeStamp) override;

protected:
    explicit MIDICallbackInstrument(platform::MainQueue& queue);

private:
    void send(MIDIByte kind, MIDIChannel channel, MIDIByte data1, MIDIByte data2);

    mutable std::mutex callbackMutex_;
    Callback callback_;
};

} // namespace sonabel
