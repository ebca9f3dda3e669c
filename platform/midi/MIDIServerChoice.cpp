// The start-up choice of MIDI server.
#include "platform/midi/MIDIServerChoice.h"

#include "platform/core/LogSink.h"
#include "platform/midi/alsa/AlsaEndpoints.h"
#include "platform/midi/alsa/AlsaLibSequencer.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "platform/midi/inprocess/InProcessServer.h"

#include <cstdlib>
#include <string_view>

namespace platform::midi {

namespace {

void log(const std::string& text) {
    LogSink::emit({"io.sonabel.platform", "midi", LogLevel::defaultLevel, text});
}

} // namespace

bool MIDIServerChoice::emulationRequested(const char* emulate) {
    return emulate && *emulate && std::string_view(emulate) != "0";
}

std::shared_ptr<Server> MIDIServerChoice::choose() {
    return choose(std::getenv("SONABEL_MIDI_EMULATE"), [](std::string* errorText) -> std::shared_ptr<Server> {
        return AlsaServer::open({}, errorText);
    });
}

std::shared_ptr<Server> MIDIServerChoice::choose(const char* emulate, const SequencerOpener& openSequencer) {
    if (emulationRequested(emulate)) {
        log("MIDI server: in-process (SONABEL_MIDI_EMULATE is set)");
        return std::make_shared<InProcessServer>();
    }
    std::string why;
    if (auto server = openSequencer(&why)) {
        log("MIDI server: ALSA sequencer");
        return server;
    }
    log("MIDI server: in-process, no devices (" +
        (why.empty() ? std::string("the ALSA sequencer does not open") : why) + ")");
    return std::make_shared<InProcessServer>();
}

bool MIDIServerChoice::listsExternalPort(std::span<const AlsaPortInfo> listing, int ownClient) {
    for (const auto& info : listing) {
        if (info.client == ownClient || info.clientName == "Midi Through") continue;
        if (AlsaEndpoints::listable(info, true) || AlsaEndpoints::listable(info, false)) return true;
    }
    return false;
}

bool MIDIServerChoice::sequencerHasExternalPort() {
    auto sequencer = AlsaLibSequencer::open("Sonabel probe");
    return sequencer && listsExternalPort(sequencer->listPorts(), sequencer->clientID());
}

} // namespace platform::midi
