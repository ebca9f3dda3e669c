#pragma once
// The base of nodes played by MIDI. It receives MIDI two ways: as a listener of a MIDI object (on
// the MIDI server's thread), and through a private virtual destination named after it, whose
// messages move to the main queue before they are dispatched. Subclasses override the note,
// controller, aftertouch, pitch-wheel and program operations, which do nothing here.
//
// The destination is disposed when the instrument goes, which waits for a delivery in flight; its
// read block holds the instrument weakly, so what it queued before is dropped once it is gone.
#include "platform/audio/AudioNode.h"
#include "platform/core/MainQueue.h"
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIListener.h"
#include "sonabel/nodes/NamedNode.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sonabel {

class MIDIInstrument : public NamedNode,
                       public MIDIListener,
                       public std::enable_shared_from_this<MIDIInstrument> {
public:
    using NotePair = std::pair<MIDINoteNumber, MIDIChannel>;

    // Named by its address when no name is given. The destination is made in the client of `midi`
    // (which must live on the process's current MIDI server), the shared MIDI object by default;
    // the main queue runs what the destination receives.
    static std::shared_ptr<MIDIInstrument> make(std::optional<std::string> midiInputName = std::nullopt,
                                                std::shared_ptr<MIDI> midi = nullptr,
                                                platform::MainQueue& queue = platform::MainQueue::shared());
    ~MIDIInstrument() override;

    // Node
    std::vector<std::shared_ptr<Node>> connections() const override { return {}; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override;
    using Node::start;
    using Node::stop;

    // NamedNode
    std::string name() const override;
    void setName(std::string name) override;

    MIDIEndpointRef midiIn() const { return midiIn_.load(std::memory_order_acquire); }
    // Notes started as a listener and not yet stopped by a note off, oldest first.
    std::vector<NotePair> mpeActiveNotes() const;

    // Makes the private destination; the name defaults to the instrument's.
    virtual void openVirtualInput(MIDIClientRef client, std::optional<std::string> name = std::nullopt);

    // MIDIListener. A note on starts the note and is remembered in mpeActiveNotes; a note off, or a
    // note on with velocity 0, stops it and forgets it.
    void receivedMIDINoteOn(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                            std::optional<MIDIUniqueID> portID,
                            std::optional<MIDITimeStamp> timeStamp) override;
    void receivedMIDINoteOff(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                             std::optional<MIDIUniqueID> portID,
                             std::optional<MIDITimeStamp> timeStamp) override;

    virtual void start(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                       std::optional<MIDITimeStamp> timeStamp);
    virtual void stop(MIDINoteNumber noteNumber, MIDIChannel channel, std::optional<MIDITimeStamp> timeStamp);
    virtual void programChange(MIDIByte program, MIDIChannel channel, std::optional<MIDITimeStamp> timeStamp);
    // One channel message as received on the destination; a two-byte one (program change,
    // channel pressure) comes with data2 0.
    virtual void dispatchChannelMessage(MIDIByte status, MIDIByte data1, MIDIByte data2);

protected:
    explicit MIDIInstrument(platform::MainQueue& queue);
    // The second half of construction, once the instrument is held by a shared_ptr: the name and
    // the private destination.
    void setUp(std::optional<std::string> midiInputName, std::shared_ptr<MIDI> midi);
    void setAvAudioNode(std::shared_ptr<platform::AudioNode> node);

private:
    platform::MainQueue& queue_;
    std::atomic<MIDIEndpointRef> midiIn_{0};
    mutable std::mutex mutex_;
    std::string name_ = "(unset)";
    std::vector<NotePair> mpeActiveNotes_;
    std::shared_ptr<platform::AudioNode> avAudioNode_;
};

} // namespace sonabel
