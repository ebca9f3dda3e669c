#include "app/controller/FirmwareUpload.h"

#include "app/controller/NotSentText.h"
#include "app/protocol/FileBytes.h"
#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/InstrumentModel.h"
#include "platform/core/ValueText.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace malvo {

namespace {

// The numbers in a name, in order; a digit run too long for a 64-bit integer is not one.
std::vector<std::int64_t> numericGroups(std::string_view name, std::size_t wanted) {
    std::vector<std::int64_t> groups;
    std::size_t i = 0;
    while (i < name.size() && groups.size() < wanted) {
        if (name[i] < '0' || name[i] > '9') {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9')
            ++i;
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(name.data() + start, name.data() + i, value);
        if (error == std::errc() && end == name.data() + i) groups.push_back(value);
    }
    return groups;
}

bool preparesWithReady(std::uint8_t model) {
    return model == std::uint8_t(InstrumentModel::Toskar) || model == std::uint8_t(InstrumentModel::Velmor);
}

} // namespace

bool FirmwareUpload::refusesFileName(std::string_view fileName, std::string_view deviceName) {
    if (deviceName != "Toskar MK2") return false;
    const auto groups = numericGroups(fileName, 3);
    if (groups.size() < 2 || groups[0] > 1) return false;
    if (groups[1] <= 3) return true;
    return groups.size() == 3 && groups[2] <= 8;
}

bool FirmwareUpload::acknowledges(const InstrumentSnapshot& target) {
    return target.deviceModel == std::uint8_t(InstrumentModel::Toskar) &&
           (target.version2 > 0 || target.version3 > 5 || target.version1 >= 2);
}

bool FirmwareUpload::fits(std::uintmax_t fileSize) {
    return firmwareBlockCount(fileSize) <= maxFirmwareBlocks;
}

std::string FirmwareUpload::progressText(double fraction) {
    return "Updating " + platform::describe(static_cast<std::int64_t>(fraction * 100)) + "%";
}

bool FirmwareUpload::run(const std::filesystem::path& file, const InstrumentSnapshot& target) {
    output_.setControlsEnabled(false);
    // One byte more than the largest file that fits tells a file too large from one that fits.
    const auto firmware = readFileBytes(file, maxFirmwareBlocks * firmwareBlockSize + 1);
    // Nothing read is nothing installed: an unreadable or empty file is a failure, not a success.
    notSent_.reset();
    const bool ok = firmware && !firmware->empty() && fits(firmware->size()) && send(*firmware, target);
    output_.showEnded(std::string(ok ? updatedText : failedText));
    if (notSent_) output_.showAlert(*notSent_);
    output_.setControlsEnabled(true);
    return ok;
}

bool FirmwareUpload::send(std::span<const std::uint8_t> firmware, const InstrumentSnapshot& target) {
    const std::uint64_t count = firmwareBlockCount(firmware.size());
    if (count == 0 || count > maxFirmwareBlocks) return false;
    const bool acknowledged = acknowledges(target);
    for (std::uint64_t k = 1; k <= count; ++k) {
        const std::size_t begin = (k - 1) * firmwareBlockSize;
        const auto data = firmware.subspan(begin, std::min(firmwareBlockSize, firmware.size() - begin));
        const auto block = firmwareBlockMessage(target.deviceModel, k, count, data);
        if (!block || !link_.stillThere()) return false;
        const auto wire = target.framed(*block);

        if (k == 1 && preparesWithReady(target.deviceModel)) {
            if (!prepare(wire, k)) return false;
            continue;
        }
        const double fraction = double(k) / double(count);
        output_.showProgress(fraction * 100, progressText(fraction));
        if (acknowledged && k != count) {
            if (!sendAcknowledged(wire, k)) return false;
        } else if (!sendBlock(wire, k)) {
            return false;
        }
    }
    return link_.stillThere();
}

bool FirmwareUpload::sendBlock(std::span<const std::uint8_t> wire, std::uint64_t block) {
    const auto outcome = link_.send(wire);
    if (outcome.sent()) return true;
    // An instrument that went away is told by the device list, as it is between blocks.
    if (outcome.kind != sonabel::MIDISendOutcome::Kind::gone)
        notSent_ = notSentText("Block " + platform::describe(block) + " of the firmware was not sent", outcome);
    return false;
}

// A missing "ready" is no error: the instrument may be ready without saying so.
bool FirmwareUpload::prepare(std::span<const std::uint8_t> wire, std::uint64_t block) {
    state_.ready_flag = 0;
    output_.showLog(std::string(preparingText));
    if (!sendBlock(wire, block)) return false;
    sleep(pollInterval);
    for (int i = 0; i < readyPolls && link_.stillThere(); ++i) {
        sleep(pollInterval);
        if (state_.ready_flag) break;
    }
    state_.ready_flag = 0;
    sleep(afterReady);
    return true;
}

bool FirmwareUpload::sendAcknowledged(std::span<const std::uint8_t> wire, std::uint64_t block) {
    state_.ack_flag = 0;
    state_.nak_flag = 0;
    int resends = 0;
    for (;;) {
        if (!sendBlock(wire, block)) return false;
        if (state_.ack_flag) return true;
        int sleeps = 0;
        for (;;) {
            if (state_.nak_flag) {
                state_.nak_flag = 0;
                break;
            }
            if (sleeps == acknowledgePolls || !link_.stillThere()) return false;
            sleep(pollInterval);
            ++sleeps;
            if (state_.ack_flag) return true;
        }
        if (++resends > maxResends) return false;
    }
}

} // namespace malvo
