#pragma once
// What the bank upload job shows. Called on the job's thread: an implementation that touches
// controls hands the values on to the main queue and returns without waiting.
#include <cstddef>
#include <string>

namespace malvo {

class BankUploadOutput {
public:
    virtual ~BankUploadOutput() = default;

    virtual void showProgress(std::size_t recordsSent) = 0;
    // The job is over, whole or not: progress back to 0, the send button ready again.
    virtual void showEnded() = 0;
    virtual void showAlert(const std::string& message) = 0;
};

} // namespace malvo
