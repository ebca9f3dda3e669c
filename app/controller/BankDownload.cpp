#include "app/controller/BankDownload.h"

#include "app/controller/BankFile.h"
#include "app/controller/NotSentText.h"
#include "app/protocol/FileBytes.h"
#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/InstrumentReply.h"
#include "platform/core/ValueText.h"
#include "sonabel/internals/error_handling/Log.h"

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

std::string BankDownload::recordName(const InstrumentSnapshot& target, std::uint8_t bank, int index) const {
    if (layers_) return "layer " + platform::describe(index + 1);
    return "program " + platform::describe(index + 1) + " of " +
           BankFile::bankName(target.deviceModel, bank, target.portName);
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
        if (arrivals_) arrivals_->restart();
        const auto outcome = link_.send(target.framed(request));
        if (!outcome.sent()) {
            if (outcome.kind == sonabel::MIDISendOutcome::Kind::gone) return Result::deviceLost;
            notSent_ = malvo::notSentText(
                           "The request for " + recordName(target, bank, index) + " was not sent", outcome) +
                       " The bank was not fully received!";
            return Result::notSent;
        }
        int polls = 0;
        int answer = none;
        while ((answer = answer_) == none) {
            if (polls == answerPolls || !link_.stillThere()) {
                const Result result = unanswered();
                if (result == Result::timedOut && arrivals_)
                    sonabel::Log(
                        sonabel::LogSite("downloadBank(_:)", sonabel::OSLog::midi, sonabel::OSLogType::error),
                        arrivals_->inPlaceOf("No " + recordName(target, bank, index) + " arrived"));
                return result;
            }
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
