#pragma once
// A sampler played from outside: it opens a private virtual destination named after itself and
// hands every message arriving there, unparsed and on the MIDI server's thread, to the sampler
// unit's scheduled-MIDI block. Not an instrument nor a listener. The destination stays open until
// closeVirtualInput(), which the sampler's end calls too.
#include "platform/midi/MIDITypes.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/nodes/NamedNode.h"
#include "sonabel/nodes/playback/sampler/AppleSampler.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace sonabel {

class MIDISampler : public AppleSampler, public NamedNode {
public:
    // Named by its address when no name is given. The destination is made in the client of `midi`
    // (which must live on the process's current MIDI server), the shared MIDI object by default.
    static std::shared_ptr<MIDISampler> make(std::optional<std::string> name = std::nullopt,
                                             std::shared_ptr<MIDI> midi = nullptr);
    ~MIDISampler() override;

    MIDIEndpointRef midiIn() const { return midiIn_.load(std::memory_order_acquire); }
    std::string name() const override;
    void setName(std::string name) override;

    // Makes the destination; the name defaults to the sampler's. Without a scheduled-MIDI block on
    // the unit nothing is made.
    virtual void openVirtualInput(MIDIClientRef client, std::optional<std::string> name = std::nullopt);
    // Velocity 0 stops the note.
    virtual void handleNoteOn(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel);
    virtual void handleController(MIDIByte controller, MIDIByte value, MIDIChannel channel);
    // Disposes the destination once; later calls do nothing.
    virtual void closeVirtualInput();

    using AppleSampler::stop;
    void play(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel) override;
    void stop(MIDINoteNumber noteNumber, MIDIChannel channel) override;

protected:
    MIDISampler() = default;
    // The second half of construction: the name and the destination.
    void setUp(std::optional<std::string> name, std::shared_ptr<MIDI> midi);

private:
    std::atomic<MIDIEndpointRef> midiIn_{0};
    mutable std::mutex mutex_;
    std::string name_ = "(unset)";
};

} // namespace sonabel
