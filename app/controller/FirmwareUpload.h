#pragma once
// Sends a firmware file to the instrument in blocks of 256 bytes. Block 1 of a Toskar or Velmor
// is a prepare step that waits for the instrument's "ready"; a Toskar from firmware 1.0.6 on
// acknowledges every block but the last and asks for a block again with a negative acknowledge.
// Runs on a background thread, polling the flags the receive handler sets.
#include "app/controller/ControllerState.h"
#include "app/controller/FirmwareUploadOutput.h"
#include "app/controller/InstrumentSnapshot.h"
#include "app/controller/TransferLink.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace malvo {

class FirmwareUpload {
public:
    static constexpr std::chrono::milliseconds pollInterval{10};
    static constexpr int readyPolls = 1000;
    static constexpr std::chrono::milliseconds afterReady{500};
    static constexpr int acknowledgePolls = 99;
    // Negative acknowledges of one block answered by sending it again; the next one fails.
    static constexpr int maxResends = 10;

    static constexpr std::string_view preparingText = "Prepare For Update";
    static constexpr std::string_view updatedText = "Firmware Successfuly Updated";
    static constexpr std::string_view failedText = "Update Failed";

    FirmwareUpload(ControllerState& state, TransferLink link, FirmwareUploadOutput& output)
        : state_(state), link_(std::move(link)), output_(output) {}

    // A "Toskar MK2" refuses firmware named older than it runs: the first three numbers in the
    // name read as a.b.c, refused when a <= 1 and (b <= 3 or b >= 4 and c <= 8).
    static bool refusesFileName(std::string_view fileName, std::string_view deviceName);
    // Whether the instrument acknowledges blocks: a Toskar on 1.0.6, 1.1.0, 2.0.0 and later.
    static bool acknowledges(const InstrumentSnapshot& target);
    // A file of this size has a block count that its messages can carry.
    static bool fits(std::uintmax_t fileSize);
    // "Updating 37%" for 0.379.
    static std::string progressText(double fraction);

    // The whole job: reads the file, sends it, shows the outcome. True when every block went out
    // (and was acknowledged where the instrument acknowledges). A block that the MIDI server did not
    // send fails the update, with an alert that says why unless the instrument went away.
    bool run(const std::filesystem::path& file, const InstrumentSnapshot& target);
    // The blocks of an already read file, without the enabling of controls and the outcome.
    bool send(std::span<const std::uint8_t> firmware, const InstrumentSnapshot& target);

private:
    bool prepare(std::span<const std::uint8_t> wire, std::uint64_t block);
    bool sendAcknowledged(std::span<const std::uint8_t> wire, std::uint64_t block);
    // False, with the failure kept for the alert, when the block did not go out.
    bool sendBlock(std::span<const std::uint8_t> wire, std::uint64_t block);
    void sleep(std::chrono::milliseconds duration) { link_.pause(duration); }

    ControllerState& state_;
    TransferLink link_;
    FirmwareUploadOutput& output_;
    std::optional<std::string> notSent_;
};

} // namespace malvo
