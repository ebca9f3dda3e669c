// Finding the instruments, opening and closing them, and what the open instrument's model and
// firmware allow.
#include "app/ViewController.h"
#include "app/controller/BankChoices.h"
#include "app/controller/FeatureGate.h"
#include "app/controller/InstrumentPort.h"
#include "app/protocol/InstrumentModel.h"
#include "platform/core/ValueText.h"

#include <algorithm>

namespace malvo {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

void ViewController::SetupUpdate() {
    const auto sources = midi_->inputNames();
    // A firmware update ended by the unplug that brought us here must still say so.
    const bool keepLog = firmwareLogShown();
    // An open instrument that was unplugged is closed as the close button does.
    if (currentDevice_ && !contains(sources, *currentDevice_)) closeCurrentDevice(keepLog);

    const auto instruments = InstrumentPort::among(sources);
    if (instruments.empty()) {
        outlets_.devicesList->clear();
        outlets_.DeviceStatus->setText(QStringLiteral("No Connections"));
        if (!keepLog) outlets_.log->clear();
        outlets_.microtuning_switch->setEnabled(false);
        outlets_.noteonoff_switch->setEnabled(false);
        closeCurrentDevice(keepLog);
        midi_->closeInput();
        return;
    }

    // Rebuilt from the ports of now, keeping the user's choice when it is still there.
    const QString chosen = outlets_.devicesList->currentText();
    outlets_.devicesList->clear();
    for (const auto& instrument : instruments)
        outlets_.devicesList->addItem(qs(instrument.name));
    const int index = outlets_.devicesList->findText(chosen);
    if (index >= 0) outlets_.devicesList->setCurrentIndex(index);

    // While an instrument is open, every message carries its model.
    if (!currentDevice_) state_.device_model = instruments.back().deviceModel;
}

void ViewController::openButton() {
    if (refuseDuringTransfer()) return;
    if (outlets_.devicesList->currentIndex() < 0) return;
    const std::string name = outlets_.devicesList->currentText().toStdString();
    const auto model = deviceModelForPortName(name);

    std::optional<MIDIUniqueID> destination;
    for (const auto uid : midi_->destinationUIDs())
        if (midi_->destinationName(uid) == name) {
            destination = uid;
            break;
        }
    // Never open every destination for want of the right one: messages go to the open instrument only.
    if (!model || !destination || !contains(midi_->inputNames(), name)) {
        showAlert("Device not found!", "Error");
        return;
    }

    closeCurrentDevice();
    state_.device_model = *model;
    state_.use_manufacturer_id = 0;
    state_.resetHandshake();
    state_.tuningFetches.clear();
    state_.version1 = 1;
    state_.version2 = 0;
    state_.version3 = 0;
    state_.resetTuningNames(tuningSlotCount(std::uint8_t(*model)));

    midi_->openInput(name);
    midi_->openOutput(*destination);
    openedOutput_ = destination;
    outlets_.DeviceStatus->setText(qs(name + " Opened"));
    currentDevice_ = name;

    // Plain first; an instrument that speaks only with the manufacturer ID answers the second query.
    const auto answered = [this] { return state_.version_flag != 0; };
    // A query that did not go out has nothing to wait for, and an instrument that cannot be asked
    // is not open: its alert said why.
    bool asked = requestVersion();
    if (asked && !waitUntil(answered, 99)) {
        asked = requestVersionWithID();
        if (asked) waitUntil(answered, 99);
    }
    if (!asked) {
        closeCurrentDevice();
        return;
    }
    if (state_.version_flag) {
        outlets_.log->setText(qs("Firmware Version " + platform::describe(state_.version1.load()) + "." +
                                 platform::describe(state_.version2.load()) + "." +
                                 platform::describe(state_.version3.load())));
    } else {
        outlets_.log->setText(QStringLiteral("Firmware Version Unknown"));
    }
    // Unplugged during the wait: detection, queued behind this action, closes it.
    if (!instrumentStillListed()) return;

    outlets_.ProgramName->setEnabled(true);
    mainQueue_.async([this] { outlets_.noteonoff_switch->setChecked(false); }, this);
    fillBankChoosers();
    applyFeatureGates();
}

void ViewController::fillBankChoosers() {
    const auto items = BankChoices::items(state_.device_model, currentDevice_.value_or(""));
    for (QComboBox* chooser : {outlets_.BankNumber.data(), outlets_.DownloadBankNumber.data()}) {
        chooser->clear();
        for (const auto& item : items)
            chooser->addItem(qs(item));
        chooser->setCurrentIndex(0);
    }
}

void ViewController::applyFeatureGates() {
    const int model = state_.device_model;
    const bool allowed =
        FeatureGate::tuningFeaturesAllowed(model, state_.version1, state_.version2, state_.version3);
    const bool firmware = FeatureGate::firmwareUpdateAllowed(model);
    outlets_.OpenFirmwareOutlet->setEnabled(firmware);
    outlets_.SendFirmwareOutlet->setEnabled(firmware);

    outlets_.microtuning_switch->setEnabled(allowed);
    if (allowed) queryMicrotuningState();
    outlets_.send_tune_file_outlet->setEnabled(allowed);
    if (allowed) {
        outlets_.mts_download_bank_outlet->setEnabled(true);
        refreshTuningNames();
        outlets_.program_names_list->setEnabled(true);
    } else {
        outlets_.mts_download_bank_outlet->setEnabled(false);
        outlets_.program_names_list->clear();
        outlets_.program_names_list->setEnabled(false);
        outlets_.noteonoff_switch->setChecked(false);
        outlets_.noteonoff_switch->setEnabled(false);
    }
}

void ViewController::closeCurrentDevice(bool keepLog) {
    if (currentDevice_) midi_->closeInput(*currentDevice_);
    if (openedOutput_) midi_->closeOutput(*openedOutput_);
    const bool wasOpen = currentDevice_.has_value();
    openedOutput_.reset();
    currentDevice_.reset();
    if (!wasOpen) return;
    state_.currentNote = ControllerState::noKey;
    outlets_.DeviceStatus->setText(QStringLiteral("No Connections"));
    if (!keepLog) outlets_.log->clear();
    disableTuningControls();
    outlets_.send_tune_file_outlet->setEnabled(false);
    outlets_.SemiSet->clear();
    outlets_.FreqSet->clear();
    outlets_.BaseFreq->clear();
}

void ViewController::disableTuningControls() {
    setTuningButtonsEnabled(false);
    outlets_.mts_download_bank_outlet->setEnabled(false);
    outlets_.ProgramName->setEnabled(false);
    outlets_.microtuning_switch->setEnabled(false);
    outlets_.noteonoff_switch->setChecked(false);
    outlets_.noteonoff_switch->setEnabled(false);
    outlets_.program_names_list->clear();
    outlets_.program_names_list->setEnabled(false);
    outlets_.NoteNum->setText(QStringLiteral("Note Off"));
}

void ViewController::setTuningButtonsEnabled(bool enabled) {
    for (QPushButton* button :
         {outlets_.ResetButton.data(), outlets_.minus01button.data(), outlets_.minus001button.data(),
          outlets_.plus01button.data(), outlets_.plus001button.data()})
        button->setEnabled(enabled);
}

bool ViewController::instrumentStillListed() const {
    return currentDevice_ && contains(midi_->inputNames(), *currentDevice_);
}

void ViewController::names_list_action() {
    const int index = outlets_.program_names_list->currentIndex();
    const auto names = state_.tuningNames();
    if (index < 0 || std::size_t(index) >= names.size()) return;
    outlets_.mts_download_bank_outlet->setEnabled(names[std::size_t(index)] != "empty");
}

} // namespace malvo
