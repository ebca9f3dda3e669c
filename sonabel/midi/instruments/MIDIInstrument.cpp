#include "sonabel/midi/instruments/MIDIInstrument.h"

#include "platform/midi/MIDIServices.h"
#include "sonabel/internals/error_handling/CheckError.h"
#include "sonabel/internals/utilities/PointerString.h"
#include "sonabel/midi/MIDIPacketIterator.h"
#include "sonabel/midi/MIDIPacketListIterator.h"
#include "sonabel/midi/SysExAssembler.h"

#include <algorithm>

namespace sonabel {

namespace {

// A node with one silent output: what an instrument that makes no sound of its own puts in a graph.
class PlainAudioNode final : public platform::AudioNode {
public:
    static std::shared_ptr<PlainAudioNode> make() {
        return std::shared_ptr<PlainAudioNode>(new PlainAudioNode());
    }
    std::string typeName() const override { return "AVAudioNode"; }

private:
    PlainAudioNode()
        : AudioNode(platform::AUAudioUnit::make({platform::kAudioUnitType_Generator,
                                                 platform::AudioComponentDescription::code("node"),
                                                 platform::kAudioUnitManufacturer_Apple, 0, 0},
                                                0, 1)) {}
    void render(const RenderContext& context) override { setOutputSilent(0, context.frames); }
};

} // namespace

std::shared_ptr<MIDIInstrument> MIDIInstrument::make(std::optional<std::string> midiInputName,
                                                     std::shared_ptr<MIDI> midi, platform::MainQueue& queue) {
    std::shared_ptr<MIDIInstrument> instrument(new MIDIInstrument(queue));
    instrument->setUp(std::move(midiInputName), std::move(midi));
    return instrument;
}

MIDIInstrument::MIDIInstrument(platform::MainQueue& queue)
    : queue_(queue), avAudioNode_(PlainAudioNode::make()) {}

MIDIInstrument::~MIDIInstrument() {
    // Exchanged, so the endpoint is disposed once.
    if (const MIDIEndpointRef endpoint = midiIn_.exchange(0); endpoint != 0) MIDIEndpointDispose(endpoint);
}

void MIDIInstrument::setUp(std::optional<std::string> midiInputName, std::shared_ptr<MIDI> midi) {
    setName(midiInputName ? std::move(*midiInputName) : pointerString(this));
    if (!midi) midi = sharedMIDI();
    openVirtualInput(midi->client(), name());
    MIDIObjectSetIntegerProperty(midiIn(), kMIDIPropertyPrivate, 1);
}

std::shared_ptr<platform::AudioNode> MIDIInstrument::avAudioNode() const {
    std::lock_guard lock(mutex_);
    return avAudioNode_;
}

void MIDIInstrument::setAvAudioNode(std::shared_ptr<platform::AudioNode> node) {
    std::lock_guard lock(mutex_);
    avAudioNode_ = std::move(node);
}

std::string MIDIInstrument::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void MIDIInstrument::setName(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

std::vector<MIDIInstrument::NotePair> MIDIInstrument::mpeActiveNotes() const {
    std::lock_guard lock(mutex_);
    return mpeActiveNotes_;
}

void MIDIInstrument::openVirtualInput(MIDIClientRef client, std::optional<std::string> name) {
    const std::string destinationName = name ? std::move(*name) : this->name();
    std::weak_ptr<MIDIInstrument> weak = weak_from_this();
    platform::MainQueue* queue = &queue_;
    // One per destination: it belongs to the delivery thread, like the SysEx it reassembles.
    auto assembler = std::make_shared<SysExAssembler>();
    MIDIEndpointRef endpoint = 0;
    const OSStatus status = MIDIDestinationCreateWithBlock(
        client, destinationName, &endpoint,
        [weak, queue, assembler](const MIDIPacketList* list, ByteCount size, void*) {
            MIDIPacketListIterator packets(list, size);
            while (const auto packet = packets.next()) {
                MIDIPacketIterator events(*packet, *assembler);
                while (auto event = events.next()) {
                    queue->async([weak, bytes = std::move(event->data)] {
                        const bool twoByteChannel = bytes.size() == 2 && bytes[0] >= 0xC0 && bytes[0] < 0xE0;
                        if (bytes.size() < 3 && !twoByteChannel) return;
                        if (auto self = weak.lock())
                            self->dispatchChannelMessage(bytes[0], bytes[1], twoByteChannel ? 0 : bytes[2]);
                    });
                }
            }
        });
    midiIn_.store(endpoint, std::memory_order_release);
    CheckError(status);
}

void MIDIInstrument::receivedMIDINoteOn(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                                        std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    if (velocity == 0) {
        // Many keyboards end notes this way: it is a note off.
        stop(noteNumber, channel, std::nullopt);
        std::lock_guard lock(mutex_);
        std::erase(mpeActiveNotes_, NotePair{noteNumber, channel});
        return;
    }
    {
        std::lock_guard lock(mutex_);
        mpeActiveNotes_.emplace_back(noteNumber, channel);
    }
    start(noteNumber, velocity, channel, std::nullopt);
}

void MIDIInstrument::receivedMIDINoteOff(MIDINoteNumber noteNumber, MIDIVelocity, MIDIChannel channel,
                                         std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) {
    stop(noteNumber, channel, std::nullopt);
    std::lock_guard lock(mutex_);
    std::erase(mpeActiveNotes_, NotePair{noteNumber, channel});
}

void MIDIInstrument::start(MIDINoteNumber, MIDIVelocity, MIDIChannel, std::optional<MIDITimeStamp>) {}

void MIDIInstrument::stop(MIDINoteNumber, MIDIChannel, std::optional<MIDITimeStamp>) {}

void MIDIInstrument::programChange(MIDIByte, MIDIChannel, std::optional<MIDITimeStamp>) {}

void MIDIInstrument::dispatchChannelMessage(MIDIByte status, MIDIByte data1, MIDIByte data2) {
    const MIDIChannel channel = lowNibble(status);
    switch (highNibble(status)) {
    case 0x8:
        stop(data1, channel, std::nullopt);
        break;
    case 0x9:
        if (data2 > 0)
            start(data1, data2, channel, std::nullopt);
        else
            stop(data1, channel, std::nullopt);
        break;
    case 0xA:
        receivedMIDIAftertouch(data1, data2, channel, std::nullopt, std::nullopt);
        break;
    case 0xB:
        receivedMIDIController(data1, data2, channel, std::nullopt, std::nullopt);
        break;
    case 0xC:
        programChange(data1, channel, std::nullopt);
        break;
    case 0xD:
        receivedMIDIAftertouch(data1, channel, std::nullopt, std::nullopt);
        break;
    case 0xE:
        receivedMIDIPitchWheel(static_cast<MIDIWord>(data1 + (data2 << 7)), channel, std::nullopt,
                               std::nullopt);
        break;
    default:
        break;
    }
}

} // namespace sonabel
