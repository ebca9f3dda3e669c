#pragma once
// Sends a bank file's records one by one, half a second apart: the instrument confirms nothing and
// needs that long to store a record. Runs on a background thread.
#include "app/controller/BankUploadOutput.h"
#include "app/controller/InstrumentSnapshot.h"
#include "app/controller/TransferLink.h"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace malvo {

class BankUpload {
public:
    static constexpr std::chrono::milliseconds recordPause{500};
    static constexpr std::string_view deviceLostText =
        "The device was disconnected, the bank was not fully sent!";

    BankUpload(TransferLink link, BankUploadOutput& output) : link_(std::move(link)), output_(output) {}

    // Plain record messages (BankFile::uploadRecords), framed for the target. True when all went out.
    // A record the MIDI server did not send ends the upload with an alert that says why; an
    // instrument that went away, with deviceLostText.
    bool run(const std::vector<std::vector<std::uint8_t>>& records, const InstrumentSnapshot& target);

private:
    TransferLink link_;
    BankUploadOutput& output_;
};

} // namespace malvo
