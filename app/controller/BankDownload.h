#pragma once
// Fetches one bank of the instrument, program by program (or layer by layer), into a bank file.
// Each request waits for its own record: a record of another program or bank is not taken, one of
// the wrong length is asked for again, a bounded number of times. The file is replaced only by a
// whole bank, so a failed download leaves the user's old file as it was.
// run() waits on the calling thread; take() is called with every incoming SysEx on the MIDI
// thread.
#include "app/controller/ArrivalTally.h"
#include "app/controller/InstrumentSnapshot.h"
#include "app/controller/TransferLink.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace malvo {

class BankDownload {
public:
    // notSent: a request the MIDI server did not send; notSentText() says which and why.
    enum class Result { done, timedOut, deviceLost, writeFailed, notSent };

    static constexpr std::chrono::milliseconds pollInterval{10};
    static constexpr int answerPolls = 100;
    // Requests sent again after wrong-length answers before the download gives up.
    static constexpr int maxRepeats = 10;
    static constexpr std::string_view timeoutText = "Something went wrong, try again 3";
    static constexpr std::string_view writeFailedText = "Bank file can't be written!";
    static constexpr std::string_view deviceLostText =
        "The device was disconnected, the bank was not fully received!";

    // `arrivals`, when given, counts what comes instead of a record, for the log line of a request
    // that goes unanswered.
    explicit BankDownload(TransferLink link, ArrivalTally* arrivals = nullptr)
        : link_(std::move(link)), arrivals_(arrivals) {}

    Result run(const InstrumentSnapshot& target, std::uint8_t bank, const std::filesystem::path& file);
    void take(std::span<const std::uint8_t> message);
    // The alert for Result::notSent.
    const std::string& notSentText() const { return notSent_; }

private:
    enum Answer : int { none = 0, record = 1, wrongLength = 2 };

    // Appends the record and returns nullopt, or returns why the download ends.
    std::optional<Result> fetch(const InstrumentSnapshot& target, std::uint8_t bank, int index,
                                std::vector<std::uint8_t>& out);
    // Why a request went unanswered.
    Result unanswered() const;
    // "program 3 of Bank 1", "program 3 of Factory Bank", "layer 12": the bank as the choosers
    // name it, never by its byte.
    std::string recordName(const InstrumentSnapshot& target, std::uint8_t bank, int index) const;

    TransferLink link_;
    ArrivalTally* arrivals_;
    std::string notSent_;
    // What take() accepts: set before each request.
    std::atomic<int> model_{0};
    std::atomic<bool> layers_{false};
    std::atomic<int> bank_{-1};
    std::atomic<int> expected_{-1};
    std::atomic<int> answer_{none};
    std::mutex mutex_;
    std::vector<std::uint8_t> received_; // guarded by mutex_
};

} // namespace malvo
