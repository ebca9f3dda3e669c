#pragma once
// Builders of every message the application sends to the instrument, in the plain framing
// (F0, model, command, payload, F7). Pass them through frameSysEx() with the instrument's
// framing before sending; only the version queries are built in a fixed framing.
#include "app/protocol/SysExCommand.h"
#include "app/protocol/SysExFraming.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace malvo {

using Bytes = std::vector<std::uint8_t>;

// F0, model, 15, F7 in exactly the given framing, whatever the instrument was last heard in.
Bytes versionRequest(std::uint8_t deviceModel, SysExFraming framing);

// F0, model, command, payload, F7.
Bytes shortCommand(std::uint8_t deviceModel, SysExCommand command,
                   std::span<const std::uint8_t> payload = {});

Bytes stateRequest(std::uint8_t deviceModel);
Bytes parameterMessage(std::uint8_t deviceModel, std::uint8_t parameter, std::uint8_t value);
Bytes microtuningSwitchMessage(std::uint8_t deviceModel, bool on);
// Sent right after the microtuning switch.
Bytes command21Message(std::uint8_t deviceModel);
// Values of 2 or more are not sent.
std::optional<Bytes> noteOnOffMessage(std::uint8_t deviceModel, std::uint8_t value);
Bytes microtuningStateQuery(std::uint8_t deviceModel);
Bytes tuningDumpRequest(std::uint8_t deviceModel, std::uint8_t slot);
Bytes tuningNameRequest(std::uint8_t deviceModel, std::uint8_t slot);
Bytes programRequest(std::uint8_t deviceModel, std::uint8_t bank, std::uint8_t program);
// Layer index 0 to 499 of an ORVANE's "Layers" bank, as two 7-bit bytes.
Bytes layerRequest(std::uint8_t deviceModel, std::uint16_t index);

// Stores the current program under a name: 16 bytes, one per character (its Latin-1 value, '?'
// when it has none), cut at 16 characters, padded with 00.
Bytes programNameMessage(std::uint8_t deviceModel, std::string_view utf8Name);

// Firmware travels in blocks of 256 bytes.
inline constexpr std::size_t firmwareBlockSize = 256;
// Block numbers and the count travel as two 7-bit bytes.
inline constexpr std::uint64_t maxFirmwareBlocks = 0x3FFF;

std::uint64_t firmwareBlockCount(std::uint64_t fileSize);

// Block k of T (k counted from 1) with up to 256 data bytes, each split into b >> 7 and b & 7F.
// nullopt when k or T cannot be carried (0, or above 16383: a file over 4 MB) or the data is
// longer than a block.
std::optional<Bytes> firmwareBlockMessage(std::uint8_t deviceModel, std::uint64_t block,
                                          std::uint64_t blockCount, std::span<const std::uint8_t> data);

// The bank an ORVANE keeps its layers in.
inline constexpr std::uint8_t layersBank = 4;

// Bytes of the bank file that one record carries: 98 on a Pellandor, 512 for ORVANE banks other
// than "Layers", 256 otherwise.
std::size_t bankRecordSize(std::uint8_t deviceModel, std::uint8_t bank);

// One bank-upload record: r numbered from 0 in the file. A Pellandor's bytes are split in 7-bit
// halves, a Toskar's record uses command 17, an ORVANE's "Layers" record command 24 with a
// two-byte index. Data shorter than the record is padded with zeros, never with stale bytes.
// nullopt when the data is longer than a record or r does not fit its field (255 for one byte,
// 16383 for two).
std::optional<Bytes> bankRecordMessage(std::uint8_t deviceModel, std::uint8_t bank, std::uint16_t record,
                                       std::span<const std::uint8_t> data);

} // namespace malvo
