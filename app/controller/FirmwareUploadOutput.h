#pragma once
// What the firmware job shows. Called on the job's thread: an implementation that touches
// controls hands the values on to the main queue and returns without waiting.
#include <string>

namespace malvo {

class FirmwareUploadOutput {
public:
    virtual ~FirmwareUploadOutput() = default;

    // The device list, Open and both firmware buttons, off while the job runs.
    virtual void setControlsEnabled(bool enabled) = 0;
    virtual void showLog(const std::string& text) = 0;
    // Progress in percent (0 to 100) and its log line.
    virtual void showProgress(double percent, const std::string& text) = 0;
    // The last log line; the progress goes back to 0 and the chosen file is forgotten.
    virtual void showEnded(const std::string& text) = 0;
    // Why the update failed, where the log line alone would not say: a block the MIDI server did
    // not send. After showEnded().
    virtual void showAlert(const std::string& message) = 0;
};

} // namespace malvo
