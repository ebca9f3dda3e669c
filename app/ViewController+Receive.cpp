// Replies from the instrument. The handler runs on the MIDI thread; every control update goes to
// the main queue with the values it shows, and nothing here waits for the main thread, which may
// be polling a flag that only this thread sets.
#include "app/ViewController.h"
#include "app/protocol/NoteTuning.h"
#include "app/protocol/SysExCommand.h"
#include "platform/core/ValueText.h"

#include <any>
#include <cstdint>
#include <vector>

namespace malvo {

void ViewController::SysexGetWithNotification(const platform::Notification& notification) {
    const auto found = notification.userInfo.find("data");
    if (found == notification.userInfo.end()) return;
    const auto* data = std::any_cast<std::vector<std::uint8_t>>(&found->second);
    if (!data) return;
    handler_.handle(*data);
}

void ViewController::CCGetWithNotification(const platform::Notification&) {
    state_.arrivals.count(0xB0);
}

void ViewController::MessageGetWithNotification(const platform::Notification& notification) {
    const auto found = notification.userInfo.find("status");
    if (found == notification.userInfo.end()) return;
    if (const auto* status = std::any_cast<std::uint8_t>(&found->second)) state_.arrivals.count(*status);
}

void ViewController::NoteOnNotification(const platform::Notification& notification) {
    const auto found = notification.userInfo.find("note");
    if (found == notification.userInfo.end()) return;
    const auto* note = std::any_cast<std::uint8_t>(&found->second);
    if (!note) return;
    state_.currentNote = *note;
    mainQueue_.async([this] { setTuningButtonsEnabled(true); }, this);
}

void ViewController::showKey(std::uint8_t key, double pitch) {
    mainQueue_.async(
        [this, key, pitch] {
            outlets_.SemiSet->setText(QString::fromStdString(pitchText(pitch)));
            outlets_.FreqSet->setText(QString::fromStdString(frequencyText(pitch)));
            outlets_.NoteNum->setText(QString::fromStdString(platform::describe(int(key))));
            outlets_.BaseFreq->setText(QString::fromStdString(frequencyText(double(key))));
            setTuningButtonsEnabled(true);
        },
        this);
}

void ViewController::showKeyReleased() {
    mainQueue_.async(
        [this] {
            outlets_.FreqSet->clear();
            outlets_.BaseFreq->clear();
            outlets_.SemiSet->clear();
            outlets_.NoteNum->setText(QStringLiteral("Note off"));
            setTuningButtonsEnabled(false);
        },
        this);
}

void ViewController::showMicrotuningState(std::uint8_t command, std::uint8_t state) {
    const bool on = state == 1;
    const bool alsoNoteSwitch = command == std::uint8_t(SysExCommand::microtuningState);
    mainQueue_.async(
        [this, on, alsoNoteSwitch] {
            outlets_.microtuning_switch->setChecked(on);
            outlets_.microtuning_switch->setText(on ? QStringLiteral("On") : QStringLiteral("Off"));
            if (alsoNoteSwitch) outlets_.noteonoff_switch->setEnabled(on);
        },
        this);
}

void ViewController::showWrongState() {
    mainQueue_.async([this] { showAlert("Wrong state!", "Error"); }, this);
}

void ViewController::clearProgramName() {
    mainQueue_.async([this] { outlets_.ProgramName->clear(); }, this);
}

} // namespace malvo
