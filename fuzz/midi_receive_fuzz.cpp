// Feeds arbitrary packet lists and event lists, with lying counts and lengths, to a MIDI object's
// receive path exactly as the server would hand them over, and checks that every SysEx that
// reaches a listener from a packet list is whole. (Universal packets with an unsupported SysEx7
// status pass their bare bytes on, which may begin with F0.)
#include "fuzz/FuzzSupport.h"
#include "platform/core/LogSink.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIListener.h"
#include "sonabel/midi/SysExAssembler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace sonabel;

namespace {

using fuzzsupport::DiscardingLogSink;

bool checkWholeSysEx = false;

class CheckingListener final : public MIDIListener {
public:
    void receivedMIDISystemCommand(const std::vector<MIDIByte>& data, std::optional<MIDIUniqueID>,
                                   std::optional<MIDITimeStamp>) override {
        if (data.empty()) std::abort();
        if (checkWholeSysEx && data[0] == 0xF0 && data.back() != 0xF7) std::abort();
    }
};

struct Harness {
    std::shared_ptr<platform::midi::InProcessServer> server;
    std::shared_ptr<MIDI> midi;
    SysExAssembler assembler;

    Harness() {
        platform::LogSink::setCurrent(std::make_shared<DiscardingLogSink>());
        platform::midi::InProcessServerConfig config;
        config.manualDelivery = true;
        server = std::make_shared<platform::midi::InProcessServer>(config);
        midi = MIDI::make({server, true});
        midi->addListener(std::make_shared<CheckingListener>());
    }
};

Harness& harness() {
    static Harness h;
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    auto& h = harness();
    const std::uint8_t mode = data[0];
    // An exact-size heap copy, so a read one byte past the list is caught.
    const std::size_t listSize = size - 1;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[listSize ? listSize : 1]);
    if (listSize) std::memcpy(buffer.get(), data + 1, listSize);
    const MIDIUniqueID source = 1000 + (mode >> 4);
    checkWholeSysEx = !(mode & 1);
    if (mode & 1) {
        h.midi->receiveEventList(reinterpret_cast<const MIDIEventList*>(buffer.get()), listSize, source);
    } else {
        h.midi->receivePacketList(reinterpret_cast<const MIDIPacketList*>(buffer.get()), listSize, source,
                                  h.assembler);
    }
    return 0;
}
