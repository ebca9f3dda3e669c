#pragma once
// How an emulated instrument is made: its port name, model, framing and firmware behaviour.
#include "emulator/FirmwareVersion.h"
#include "platform/core/HostClock.h"
#include "platform/midi/MIDITypes.h"

#include <cstdint>
#include <optional>
#include <string>

namespace emulation {

struct InstrumentEmulatorConfig {
    enum class Framing { plain, manufacturerID, both };

    std::string portName{};
    std::optional<std::uint8_t> model{};      // the port name's model when absent
    Framing framing = Framing::both;          // which requests it understands; answers in the same
    std::optional<FirmwareVersion> version{}; // the model's default when absent
    // Firmware handshake; absent: ready after block 1 on models 2 and 3, and ACK of every later
    // block by a Toskar on 1.0.6 or later (the app waits for ACKs only there).
    std::optional<bool> readyAfterFirstBlock{};
    std::optional<bool> acknowledgeBlocks{};
    // Delayed replies are due on this clock; a reply thread sends them, or pump() when off.
    platform::HostClock* clock = &platform::HostClock::system();
    bool replyThread = true;
    // A key held down: reported (09, never 10) after every answer to the version query, so live
    // tuning can be tried without hardware.
    std::optional<std::uint8_t> keyAfterVersion{};
    MIDIUniqueID sourceID = 0; // 0: the server makes them up
    MIDIUniqueID destinationID = 0;
};

} // namespace emulation
