// Tuning files sent to the instrument, slot tables fetched from it, the microtuning and note
// switches and live tuning of the key last played. The flows live in the controller classes;
// this file hands them what they need and shows what they return.
#include "app/ViewController.h"
#include "app/controller/LiveTuning.h"
#include "app/controller/TuningSender.h"
#include "app/controller/TuningSlots.h"
#include "app/protocol/NoteTuning.h"
#include "app/protocol/SysExFraming.h"
#include "sonabel/midi/MIDIEvent.h"

#include <charconv>
#include <string>

namespace malvo {

TuningServices ViewController::tuningServices() {
    return TuningServices{
        .state = state_,
        .dialogs = dialogs_,
        .sleeper = *sleeper_,
        .deviceOpen = [this] { return currentDevice_.has_value(); },
        .sendSysEx = [this](std::span<const std::uint8_t> plain) { return sendSysEx(plain); },
        .sendUnframed =
            [this](std::span<const std::uint8_t> bytes) {
                return midi_->sendEventWithOutcome(
                    sonabel::MIDIEvent(std::vector<std::uint8_t>(bytes.begin(), bytes.end())));
            },
        .clock = *clock_,
    };
}

double ViewController::semiSetValue() const {
    const std::string text = outlets_.SemiSet->text().trimmed().toStdString();
    // A number at the start counts, as the field's own reading of it would.
    double value = 0.0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    return parsed.ec == std::errc() ? value : 0.0;
}

void ViewController::showPitch(double pitch) {
    outlets_.SemiSet->setText(QString::fromStdString(pitchText(pitch)));
    outlets_.FreqSet->setText(QString::fromStdString(frequencyText(pitch)));
}

void ViewController::SendMTS() {
    // Before the panel: a dump sent between firmware blocks or bank records would corrupt them.
    if (refuseDuringTransfer()) return;
    const auto services = tuningServices();
    const auto result = TuningSender(services).sendTuningFile();
    if (result.programName) outlets_.ProgramName->setText(QString::fromStdString(*result.programName));
    if (!result.sent) return;
    // A table just sent is one the user wants to hear; the instrument switches on by itself.
    if (outlets_.microtuning_switch->isChecked()) return;
    outlets_.microtuning_switch->setChecked(true);
    outlets_.microtuning_switch->setText(QStringLiteral("On"));
    outlets_.noteonoff_switch->setEnabled(true);
}

void ViewController::download_bank() {
    if (refuseDuringTransfer()) return;
    const auto services = tuningServices();
    TuningSlots(services).fetchTable(outlets_.program_names_list->currentIndex());
}

void ViewController::microtuning_switch() {
    // The click already moved the switch; nothing was sent, so it goes back.
    if (refuseDuringTransfer()) {
        outlets_.microtuning_switch->toggle();
        return;
    }
    const auto services = tuningServices();
    if (!services.requireDevice()) return;
    const bool on = outlets_.microtuning_switch->isChecked();
    // Not sent: the switch goes back to what the instrument still has.
    if (!TuningSlots(services).switchMicrotuning(on)) {
        outlets_.microtuning_switch->setChecked(!on);
        return;
    }
    outlets_.microtuning_switch->setText(on ? QStringLiteral("On") : QStringLiteral("Off"));
    outlets_.noteonoff_switch->setEnabled(on);
    if (!on) {
        outlets_.noteonoff_switch->setChecked(false);
        outlets_.noteonoff_switch->setText(QStringLiteral("Off"));
    }
}

void ViewController::noteonoff_switch() {
    if (refuseDuringTransfer()) {
        outlets_.noteonoff_switch->toggle();
        return;
    }
    const auto services = tuningServices();
    if (!services.requireDevice()) return;
    const bool on = outlets_.noteonoff_switch->isChecked();
    if (!TuningSlots(services).switchNote(on)) {
        outlets_.noteonoff_switch->setChecked(!on);
        return;
    }
    outlets_.noteonoff_switch->setText(on ? QStringLiteral("On") : QStringLiteral("Off"));
}

void ViewController::stepPitch(const TuningStep& step) {
    if (refuseDuringTransfer()) return;
    const auto services = tuningServices();
    if (const auto shown = LiveTuning(services).step(step, semiSetValue())) showPitch(*shown);
}

void ViewController::Increase() {
    stepPitch(TuningStep::increase);
}

void ViewController::plus001semi() {
    stepPitch(TuningStep::plus001);
}

void ViewController::Decrease() {
    stepPitch(TuningStep::decrease);
}

void ViewController::minus001semi() {
    stepPitch(TuningStep::minus001);
}

void ViewController::ResetFreq() {
    if (refuseDuringTransfer()) return;
    const auto services = tuningServices();
    if (const auto shown = LiveTuning(services).resetKey()) showPitch(*shown);
}

void ViewController::ResetAllFreq() {
    if (refuseDuringTransfer()) return;
    const auto services = tuningServices();
    if (const auto shown = LiveTuning(services).resetAllKeys()) showPitch(*shown);
}

} // namespace malvo
