#pragma once
// What one incoming SysEx message means to the application. Every reply is length-checked
// before any of its data bytes is read: a reply of the wrong length carries no data.
#include "app/protocol/SysExFraming.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace malvo {

struct InstrumentReply {
    enum class Kind {
        ignored,             // not for this instrument, unknown, or unusable
        tuningDump,          // data: the 408 bytes of a bulk tuning dump, as received
        programRecord,       // record: program number; data: the program's bytes
        layerRecord,         // record: layer index; data: 256 bytes
        recordWrongLength,   // a program or layer record of the wrong length: ask again
        readyForFirmware,    //
        microtuningState,    // state (above 1 is "Wrong state!"); command tells 06 from 30
        keyTuning,           // key 0 to 127, pitch in semitones
        noKey,               // key report with key 150: no key is current, nothing to show
        keyReleased,         //
        version,             // version; framing: the framing the instrument answered in
        stateChanged,        //
        acknowledge,         //
        negativeAcknowledge, //
        tuningName,          // slot (below the model's slot count) and name (UTF-8)
        tuningNamesChanged,  //
        programChanged,      //
    };

    // Key number of a key report that means "no key".
    static constexpr std::uint8_t noKeyNumber = 150;

    Kind kind = Kind::ignored;
    std::size_t commandOffset = 0;
    std::uint8_t command = 0;
    std::uint8_t bank = 0;
    std::uint16_t record = 0;
    std::vector<std::uint8_t> data;
    std::uint8_t state = 0;
    std::uint8_t key = 0;
    double pitch = 0.0;
    std::array<std::uint8_t, 3> version{};
    SysExFraming framing = SysExFraming::plain;
    std::uint8_t slot = 0;
    std::string name;

    bool operator==(const InstrumentReply&) const = default;

    static InstrumentReply decode(std::span<const std::uint8_t> message, std::uint8_t deviceModel);
};

} // namespace malvo
