#include "sonabel/midi/instruments/MIDISampler.h"

#include "platform/midi/MIDIServices.h"
#include "sonabel/internals/error_handling/CheckError.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/utilities/PointerString.h"
#include "sonabel/midi/MIDIPacketIterator.h"
#include "sonabel/midi/MIDIPacketListIterator.h"
#include "sonabel/midi/SysExAssembler.h"

namespace sonabel {

std::shared_ptr<MIDISampler> MIDISampler::make(std::optional<std::string> name, std::shared_ptr<MIDI> midi) {
    std::shared_ptr<MIDISampler> sampler(new MIDISampler());
    sampler->setUp(std::move(name), std::move(midi));
    return sampler;
}

MIDISampler::~MIDISampler() {
    MIDISampler::closeVirtualInput();
}

void MIDISampler::setUp(std::optional<std::string> name, std::shared_ptr<MIDI> midi) {
    setName(name ? std::move(*name) : pointerString(this));
    if (!midi) midi = sharedMIDI();
    openVirtualInput(midi->client(), this->name());
    MIDIObjectSetIntegerProperty(midiIn(), kMIDIPropertyPrivate, 1);
}

std::string MIDISampler::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void MIDISampler::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

void MIDISampler::openVirtualInput(MIDIClientRef client, std::optional<std::string> name) {
    const std::string destinationName = name ? std::move(*name) : this->name();
    auto block = samplerUnit->auAudioUnit()->scheduleMIDIEventBlock();
    if (!block) {
        Log({"openVirtualInput(_:name:)"}, "Expected AU to respond to MIDI.");
        return;
    }
    // SysEx split over packets is joined before it reaches the unit; the assembler belongs to the
    // delivery thread.
    auto assembler = std::make_shared<SysExAssembler>();
    MIDIEndpointRef endpoint = 0;
    const OSStatus status = MIDIDestinationCreateWithBlock(
        client, destinationName, &endpoint,
        [schedule = std::move(*block), assembler](const MIDIPacketList* list, ByteCount size, void*) {
            MIDIPacketListIterator packets(list, size);
            while (const auto packet = packets.next()) {
                MIDIPacketIterator events(*packet, *assembler);
                while (const auto event = events.next())
                    if (!event->data.empty())
                        schedule(platform::AUEventSampleTimeImmediate, 0, event->data.size(),
                                 event->data.data());
            }
        });
    midiIn_.store(endpoint, std::memory_order_release);
    CheckError(status);
}

void MIDISampler::handleNoteOn(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel) {
    if (velocity > 0)
        play(noteNumber, velocity, channel);
    else
        stop(noteNumber, channel);
}

void MIDISampler::handleController(MIDIByte controller, MIDIByte value, MIDIChannel channel) {
    samplerUnit->sendMIDIEvent(static_cast<MIDIByte>(0xB0 | (channel & 0x0F)), controller, value);
}

void MIDISampler::play(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel) {
    samplerUnit->startNote(noteNumber, velocity, channel);
}

void MIDISampler::stop(MIDINoteNumber noteNumber, MIDIChannel channel) {
    samplerUnit->stopNote(noteNumber, channel);
}

void MIDISampler::closeVirtualInput() {
    // Exchanged, so two closing threads dispose it once.
    if (const MIDIEndpointRef endpoint = midiIn_.exchange(0); endpoint != 0) MIDIEndpointDispose(endpoint);
}

} // namespace sonabel
