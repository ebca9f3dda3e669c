// Firmware upload, bank files sent and fetched, and program names. Uploads run as background jobs
// that show their progress through the main queue; a download waits on the main thread. Only one
// transfer runs at a time, and while one does the instrument cannot be closed or changed.
#include "app/ViewController.h"
#include "app/controller/BankDownload.h"
#include "app/controller/BankFile.h"
#include "app/controller/BankUpload.h"
#include "app/controller/FirmwareUpload.h"
#include "app/controller/InstrumentSnapshot.h"
#include "app/controller/ProgramName.h"
#include "app/protocol/FileBytes.h"
#include "app/protocol/InstrumentModel.h"
#include "sonabel/midi/MIDIEvent.h"

#include <algorithm>
#include <any>
#include <memory>
#include <system_error>

namespace malvo {

namespace {

constexpr const char* busyText = "Wait for the running transfer to end!";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// Control updates of a job, queued on the main queue under the controller's name (so that they
// are cancelled with it) and skipped once the controller's jobs are gone.
class QueuedOutlets {
public:
    QueuedOutlets(ViewController& controller, std::shared_ptr<const std::atomic<bool>> alive)
        : controller_(controller), alive_(std::move(alive)) {}

    void post(std::function<void(ViewController&, const MainWindowOutlets&)> update) const {
        controller_.mainQueue().async(
            [&controller = controller_, alive = alive_, update = std::move(update)] {
                if (*alive) update(controller, controller.outlets());
            },
            &controller_);
    }

private:
    ViewController& controller_;
    std::shared_ptr<const std::atomic<bool>> alive_;
};

class FirmwareOutlets final : public FirmwareUploadOutput {
public:
    // `uploading` is the controller's, cleared on the main thread once the outcome is shown.
    FirmwareOutlets(QueuedOutlets queue, bool& uploading) : queue_(std::move(queue)), uploading_(uploading) {}

    void setControlsEnabled(bool enabled) override {
        queue_.post([enabled](ViewController&, const MainWindowOutlets& o) {
            const std::initializer_list<QWidget*> controls{o.devicesList, o.OpenDeviceOutlet,
                                                           o.OpenFirmwareOutlet, o.SendFirmwareOutlet};
            for (QWidget* control : controls)
                if (control) control->setEnabled(enabled);
        });
    }
    void showLog(const std::string& text) override {
        queue_.post([text](ViewController&, const MainWindowOutlets& o) { o.log->setText(qs(text)); });
    }
    void showProgress(double percent, const std::string& text) override {
        queue_.post([percent, text](ViewController&, const MainWindowOutlets& o) {
            o.progressBar->setValue(int(percent));
            o.progressBar->repaint();
            o.log->setText(qs(text));
        });
    }
    void showAlert(const std::string& message) override {
        queue_.post(
            [message](ViewController& c, const MainWindowOutlets&) { c.showAlert(message, "Error"); });
    }
    void showEnded(const std::string& text) override {
        queue_.post([text, &uploading = uploading_](ViewController&, const MainWindowOutlets& o) {
            uploading = false;
            o.log->setText(qs(text));
            o.progressBar->setValue(0);
            o.progressBar->repaint();
            o.fileField->clear();
        });
    }

private:
    QueuedOutlets queue_;
    bool& uploading_;
};

class BankOutlets final : public BankUploadOutput {
public:
    explicit BankOutlets(QueuedOutlets queue) : queue_(std::move(queue)) {}

    void showProgress(std::size_t records) override {
        queue_.post([records](ViewController&, const MainWindowOutlets& o) {
            o.UploadProgressBar->setValue(int(records));
            o.UploadProgressBar->repaint();
        });
    }
    void showEnded() override {
        queue_.post([](ViewController&, const MainWindowOutlets& o) {
            o.UploadProgressBar->setValue(0);
            o.UploadProgressBar->repaint();
            o.SendBank_outlet->setText(QStringLiteral("Send"));
            // The file was used up, as a firmware file is: it must be chosen again.
            o.BankFilePath->clear();
            o.devicesList->setEnabled(true);
            o.OpenDeviceOutlet->setEnabled(true);
        });
    }
    void showAlert(const std::string& message) override {
        queue_.post(
            [message](ViewController& c, const MainWindowOutlets&) { c.showAlert(message, "Error"); });
    }

private:
    QueuedOutlets queue_;
};

} // namespace

bool ViewController::refuseDuringTransfer() {
    if (!transferRunning()) return false;
    showAlert(busyText, "Error");
    return true;
}

bool ViewController::firmwareLogShown() const {
    const std::string shown = outlets_.log->text().toStdString();
    return firmwareUploading_ || shown == FirmwareUpload::updatedText || shown == FirmwareUpload::failedText;
}

TransferLink ViewController::transferLink() {
    const auto destination = openedOutput_.value_or(0);
    return {.send =
                [midi = midi_](std::span<const std::uint8_t> wire) {
                    return midi->sendEventWithOutcome(
                        sonabel::MIDIEvent(std::vector<std::uint8_t>(wire.begin(), wire.end())));
                },
            .instrumentPresent =
                [midi = midi_, destination] {
                    const auto uids = midi->destinationUIDs();
                    return destination != 0 && std::find(uids.begin(), uids.end(), destination) != uids.end();
                },
            .sleeper = sleeper_,
            .cancelled = [&guard = transfers_] { return guard.cancelled(); }};
}

void ViewController::setDeviceChoiceEnabled(bool enabled) {
    outlets_.devicesList->setEnabled(enabled);
    outlets_.OpenDeviceOutlet->setEnabled(enabled);
}

void ViewController::browseFile() {
    if (!currentDevice_) {
        showAlert("Open the device!", "Error");
        return;
    }
    const auto chosen = dialogs_.runOpenPanel({.title = "Choose a Firmware File",
                                               .allowedFileTypes = {"bin"},
                                               .showsHiddenFiles = false,
                                               .canCreateDirectories = false});
    if (!chosen) return;
    const std::filesystem::path path(*chosen);
    const std::string name = path.filename().string();
    if (FirmwareUpload::refusesFileName(name, *currentDevice_)) {
        showAlert("This version of the firmware is incompatible with your device.", "Error");
        return;
    }
    firmwareFile_ = path;
    outlets_.fileField->setText(qs(*chosen));
    outlets_.log->setText(qs("Opened File " + name));
}

void ViewController::sendFW() {
    if (!currentDevice_) {
        showAlert("Open the Device!", "Error");
        return;
    }
    if (!firmwareFile_) {
        showAlert("Open File!", "Error");
        return;
    }
    if (refuseDuringTransfer()) return;
    std::error_code error;
    const auto size = std::filesystem::file_size(*firmwareFile_, error);
    if (!error && !FirmwareUpload::fits(size)) {
        showAlert("Firmware file is too large!", "Error");
        return;
    }
    const auto file = *std::exchange(firmwareFile_, std::nullopt);
    const auto target = InstrumentSnapshot::of(state_, *currentDevice_);
    auto output =
        std::make_shared<FirmwareOutlets>(QueuedOutlets(*this, transfers_.alive()), firmwareUploading_);
    firmwareUploading_ = transfers_.start([this, link = transferLink(), output, file, target] {
        FirmwareUpload(state_, link, *output).run(file, target);
    });
}

void ViewController::BrowseBankFile() {
    outlets_.SendBank_outlet->setText(QStringLiteral("Send"));
    const auto chosen = dialogs_.runOpenPanel({.title = "Choose a Bank File",
                                               .allowedFileTypes = {"syx", "p"},
                                               .showsHiddenFiles = false,
                                               .canCreateDirectories = false});
    if (!chosen) return;
    bankFile_ = std::filesystem::path(*chosen);
    outlets_.BankFilePath->setText(qs(*chosen));
}

void ViewController::SendBankFile() {
    if (!currentDevice_) {
        showAlert("Open the device!", "Error");
        return;
    }
    if (!bankFile_) {
        showAlert("Open file!", "Error");
        return;
    }
    const int model = state_.device_model;
    const auto bank = BankFile::uploadBank(model, outlets_.BankNumber->currentIndex());
    if (!bank) return;
    if (refuseDuringTransfer()) return;
    // Read and checked whole before the first record goes out: a file the bank cannot take is
    // refused, not sent in part.
    const auto bytes = readFileBytes(*bankFile_, BankFile::largestFileSize + 1);
    if (!bytes) {
        showAlert("Bank file can't be opened!", "Error");
        return;
    }
    auto records = BankFile::uploadRecords(*bytes, model, *bank);
    if (!records) {
        showAlert("Bank file is not valid!", "Error");
        return;
    }
    bankFile_.reset();
    outlets_.SendBank_outlet->setText(QStringLiteral("Sending..."));
    outlets_.UploadProgressBar->setMaximum(int(records->size()));
    setDeviceChoiceEnabled(false);
    const auto target = InstrumentSnapshot::of(state_, *currentDevice_);
    auto output = std::make_shared<BankOutlets>(QueuedOutlets(*this, transfers_.alive()));
    transfers_.start([link = transferLink(), output, records = std::move(*records), target] {
        BankUpload(link, *output).run(records, target);
    });
}

void ViewController::DownloadBank() {
    if (!currentDevice_) {
        showAlert("Open The Device!", "Error");
        return;
    }
    const int index = outlets_.DownloadBankNumber->currentIndex();
    const auto target = BankFile::downloadTarget(state_.device_model, index, *currentDevice_);
    if (!target) {
        // Listed for the upload's sake, but a Pellandor answers for its first three banks only.
        if (index >= 0 && state_.device_model == int(InstrumentModel::Pellandor))
            showAlert("A Pellandor can send only the Factory Bank, Bank 1 and Bank 2.", "Error");
        return;
    }
    dialogs_.beginSavePanel(
        {.title = "Choose Where To Save The Bank",
         .nameFieldStringValue = target->fileName,
         .showsHiddenFiles = false,
         .canCreateDirectories = true},
        [this, alive = transfers_.alive(), bank = target->bank](std::optional<std::string> path) {
            if (*alive && path) downloadBank(bank, *path);
        });
}

void ViewController::downloadBank(std::uint8_t bank, const std::filesystem::path& file) {
    if (!currentDevice_) {
        showAlert("Open the Device!", "Error");
        return;
    }
    if (refuseDuringTransfer()) return;
    transfers_.begin();
    BankDownload download(transferLink(), &state_.arrivals);
    notifications_->addObserver(&download, "SysexGet", [&download](const platform::Notification& n) {
        const auto found = n.userInfo.find("data");
        if (found == n.userInfo.end()) return;
        if (const auto* data = std::any_cast<std::vector<std::uint8_t>>(&found->second)) download.take(*data);
    });
    const auto result = download.run(InstrumentSnapshot::of(state_, *currentDevice_), bank, file);
    notifications_->removeObserver(&download);
    transfers_.end();
    if (result == BankDownload::Result::timedOut) showAlert(std::string(BankDownload::timeoutText), "Error");
    if (result == BankDownload::Result::deviceLost)
        showAlert(std::string(BankDownload::deviceLostText), "Error");
    if (result == BankDownload::Result::writeFailed)
        showAlert(std::string(BankDownload::writeFailedText), "Error");
    if (result == BankDownload::Result::notSent) showAlert(download.notSentText(), "Error");
}

void ViewController::SaveProgram() {
    if (!outlets_.ProgramName) {
        showAlert("Type program name and choose program number!", "Error");
        return;
    }
    const std::string name = outlets_.ProgramName->text().toStdString();
    if (const auto refusal = ProgramName::refusal(name)) {
        showAlert(*refusal, "Error");
        return;
    }
    writeProgramName(name);
}

void ViewController::writeProgramName(const std::string& name) {
    if (!currentDevice_) {
        showAlert("Open the Device!", "Error");
        return;
    }
    // A name sent between firmware blocks or bank records would land in the middle of them.
    if (refuseDuringTransfer()) return;
    sent(sendSysEx(ProgramName::message(std::uint8_t(state_.device_model), name)), "The name was not sent");
}

} // namespace malvo
