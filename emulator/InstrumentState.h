#pragma once
// Everything an instrument keeps that the protocol reads or writes. Names are Latin-1 bytes,
// one char per byte, at most 16.
#include "emulator/FirmwareBlock.h"
#include "emulator/FirmwareVersion.h"
#include "emulator/InstrumentModel.h"
#include "emulator/TuningTable.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace emulation {

struct InstrumentState {
    using Record = std::vector<std::uint8_t>;

    struct Slot {
        std::string name;
        TuningTable table;
        bool operator==(const Slot&) const = default;
    };

    FirmwareVersion version;
    // Bank byte -> 128 program records of the model's size.
    std::map<std::uint8_t, std::vector<Record>> banks;
    std::vector<Record> layers; // 500 records of 256 bytes; empty on models without layers
    std::array<std::uint8_t, 16> programName{};
    std::vector<Slot> slots;
    std::uint8_t microtuning = 0; // any byte, so a broken state can be reported; a bulk dump sets 1
    std::uint8_t noteSwitch = 0;
    std::map<std::uint8_t, std::uint8_t> parameters;
    int applyCount = 0; // command 21
    TuningTable liveTuning;
    std::optional<std::string> liveTuningName; // from the last bulk dump taken
    int rejectedDumps = 0;                     // bulk dumps with a wrong checksum
    std::vector<FirmwareBlock> firmwareBlocks; // every block taken, resends included, in order

    // Factory contents: bank data that differs per bank and program (8-bit where the model
    // splits bytes, else 7-bit), named slots followed by ones named "empty".
    static InstrumentState factory(const InstrumentModel& model);
    static Record factoryProgram(const InstrumentModel& model, std::uint8_t bank, int program);

    // The file the blocks make up when every block 1 to count arrived (the last copy of each).
    std::optional<std::vector<std::uint8_t>> firmwareImage() const;
    std::string programNameText() const; // up to the first 00

    bool operator==(const InstrumentState&) const = default;
};

} // namespace emulation
