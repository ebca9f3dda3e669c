#include "app/controller/BankDownload.h"

#include "app/controller/BankFile.h"
#include "app/protocol/FileBytes.h"
#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/InstrumentReply.h"

namespace malvo {

BankDownload::Result BankDownload::run(const InstrumentSnapshot& target, std::uint8_t bank,
                                       const std::filesystem::path& file) {
    const bool layers = BankFile::isLayers(target.deviceModel, bank);
    model_ = target.deviceModel;
    layers_ = layers;
    bank_ = bank;
    const std::size_t count = BankFile::recordCount(target.deviceModel, bank);
    std::vector<std::uint8_t> contents;
    contents.reserve(BankFile::fileSize(target.deviceModel, bank));
    for (std::size_t i = 0; i < count; ++i)
        if (const auto ended = fetch(target, bank, int(i), contents)) return *ended;
    expected_ = -1;
    if (contents.size() != BankFile::fileSize(target.deviceModel, bank)) return Result::timedOut;
    return writeFileReplacing(file, contents) ? Result::done : Result::writeFailed;
}

BankDownload::Result BankDownload::unanswered() const {
    return link_.instrumentPresent && !link_.instrumentPresent() ? Result::deviceLost : Result::timedOut;
}

std::optional<BankDownload::Result> BankDownload::fetch(const InstrumentSnapshot& target, std::uint8_t bank,
                                                        int index, std::vector<std::uint8_t>& out) {
    const auto request = layers_ ? layerRequest(target.deviceModel, std::uint16_t(index))
                                 : programRequest(target.deviceModel, bank, std::uint8_t(index));
    for (int repeats = 0;; ++repeats) {
        if (repeats > maxRepeats) return Result::timedOut;
        {
            std::lock_guard lock(mutex_);
            received_.clear();
        }
        answer_ = none;
        expected_ = index;
        link_.send(target.framed(request));
        int polls = 0;
        int answer = none;
        while ((answer = answer_) == none) {
            if (polls == answerPolls || !link_.stillThere()) return unanswered();
            link_.sleeper->sleepFor(pollInterval);
            ++polls;
        }
        if (answer == record) {
            std::lock_guard lock(mutex_);
            out.insert(out.end(), received_.begin(), received_.end());
            return std::nullopt;
        }
    }
}

void BankDownload::take(std::span<const std::uint8_t> message) {
    const int expected = expected_;
    if (expected < 0) return;
    const auto reply = InstrumentReply::decode(message, std::uint8_t(model_.load()));
    using Kind = InstrumentReply::Kind;
    if (reply.kind == Kind::recordWrongLength) {
        answer_ = wrongLength;
        return;
    }
    const bool wanted =
        layers_ ? reply.kind == Kind::layerRecord : reply.kind == Kind::programRecord && reply.bank == bank_;
    if (!wanted || reply.record != expected) return;
    {
        std::lock_guard lock(mutex_);
        received_ = reply.data;
    }
    // A late record of the request before cannot slip in as this one's.
    if (expected_ == expected) answer_ = record;
}

} // namespace malvo
