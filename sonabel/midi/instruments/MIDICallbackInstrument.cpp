#include "sonabel/midi/instruments/MIDICallbackInstrument.h"

#include "platform/audio/AudioMixerNode.h"

namespace sonabel {

std::shared_ptr<MIDICallbackInstrument> MIDICallbackInstrument::make(std::string midiInputName,
                                                                     Callback callback,
                                                                     std::shared_ptr<MIDI> midi,
                                                                     platform::MainQueue& queue) {
    std::shared_ptr<MIDICallbackInstrument> instrument(new MIDICallbackInstrument(queue));
    instrument->setUp(midiInputName, std::move(midi));
    instrument->setName(std::move(midiInputName));
    instrument->setCallback(std::move(callback));
    instrument->setAvAudioNode(platform::AudioMixerNode::make());
    return instrument;
}

MIDICallbackInstrument::MIDICallbackInstrument(platform::MainQueue& queue) : MIDIInstrument(queue) {}

MIDICallbackInstrument::Callback MIDICallbackInstrument::callback() const {
    std::lock_guard lock(callbackMutex_);
    return callback_;
}

void MIDICallbackInstrument::setCallback(Callback callback) {
    std::lock_guard lock(callbackMutex_);
    callback_ = std::move(callback);
}

void MIDICallbackInstrument::send(MIDIByte kind, MIDIChannel channel, MIDIByte data1, MIDIByte data2) {
    // A channel above 15 would make another message of the status byte.
    if (channel > 15) return;
    if (const auto call = callback()) call(static_cast<MIDIByte>(kind + channel), data1, data2);
}

void MIDICallbackInstrument::start(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                                   std::optional<MIDITimeStamp>) {
    send(0x90, channel, noteNumber, velocity);
}

void MIDICallbackInstrument::stop(MIDINoteNumber noteNumber, MIDIChannel channel,
                                  std::optional<MIDITimeStamp>) {
    send(0x80, channel, noteNumber, 0);
}

void MIDICallbackInstrument::receivedMIDIController(MIDIByte controller, MIDIByte value, MIDIChannel channel,
                                                    std::optional<MIDIUniqueID>,
                                                    std::optional<MIDITimeStamp>) {
    send(0xB0, channel, controller, value);
}

void MIDICallbackInstrument::receivedMIDIAftertouch(MIDINoteNumber noteNumber, MIDIByte pressure,
                                                    MIDIChannel channel, std::optional<MIDIUniqueID>,
                                                    std::optional<MIDITimeStamp>) {
    send(0xA0, channel, noteNumber, pressure);
}

void MIDICallbackInstrument::receivedMIDIAftertouch(MIDIByte pressure, MIDIChannel channel,
                                                    std::optional<MIDIUniqueID>,
                                                    std::optional<MIDITimeStamp>) {
    send(0xD0, channel, pressure, 0);
}

void MIDICallbackInstrument::receivedMIDIPitchWheel(MIDIWord pitchWheelValue, MIDIChannel channel,
                                                    std::optional<MIDIUniqueID>,
                                                    std::optional<MIDITimeStamp>) {
    send(0xE0, channel, static_cast<MIDIByte>(pitchWheelValue & 0x7F),
         static_cast<MIDIByte>((pitchWheelValue >> 7) & 0x7F));
}

} // namespace sonabel
