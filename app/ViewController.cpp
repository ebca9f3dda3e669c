#include "app/ViewController.h"

#include "app/controller/NotSentText.h"
#include "app/protocol/InstrumentMessages.h"
#include "app/protocol/SysExFraming.h"
#include "sonabel/midi/MIDIEvent.h"

#include <algorithm>
#include <array>
#include <chrono>

namespace malvo {

namespace {

constexpr std::array kActions{
    ViewController::Action{"openButton:", &ViewController::openButton},
    ViewController::Action{"closeButton:", &ViewController::closeButton},
    ViewController::Action{"names_list_action:", &ViewController::names_list_action},
    ViewController::Action{"sendFW:", &ViewController::sendFW},
    ViewController::Action{"browseFile:", &ViewController::browseFile},
    ViewController::Action{"BrowseBankFile:", &ViewController::BrowseBankFile},
    ViewController::Action{"SendBankFile:", &ViewController::SendBankFile},
    ViewController::Action{"DownloadBank:", &ViewController::DownloadBank},
    ViewController::Action{"SaveProgram:", &ViewController::SaveProgram},
    ViewController::Action{"SendMTS:", &ViewController::SendMTS},
    ViewController::Action{"download_bank:", &ViewController::download_bank},
    ViewController::Action{"microtuning_switch:", &ViewController::microtuning_switch},
    ViewController::Action{"noteonoff_switch:", &ViewController::noteonoff_switch},
    ViewController::Action{"ResetFreq:", &ViewController::ResetFreq},
    ViewController::Action{"ResetAllFreq:", &ViewController::ResetAllFreq},
    ViewController::Action{"Increase:", &ViewController::Increase},
    ViewController::Action{"Decrease:", &ViewController::Decrease},
    ViewController::Action{"plus001semi:", &ViewController::plus001semi},
    ViewController::Action{"minus001semi:", &ViewController::minus001semi},
};

} // namespace

ViewController::ViewController(MainWindowOutlets outlets, platform::Dialogs& dialogs,
                               platform::MainQueue& mainQueue, platform::BundleInfo& bundle,
                               const ControllerServices& services)
    : outlets_(std::move(outlets)), dialogs_(dialogs), mainQueue_(mainQueue), bundle_(bundle),
      clock_(services.clock ? services.clock : &platform::HostClock::system()),
      handler_(state_, *this, *clock_) {
    const auto resolved = services.resolved();
    midi_ = resolved.midi;
    receiver_ = resolved.receiver;
    notifications_ = resolved.notifications;
    sleeper_ = resolved.sleeper;
}

// Queued calls and notifications capture this controller; none may run after it is gone. Removing
// the observer waits for a delivery in flight, so nothing is queued after that.
ViewController::~ViewController() {
    notifications_->removeObserver(this);
    if (listening_) midi_->removeListener(receiver_);
    mainQueue_.cancelAll(this);
}

std::span<const ViewController::Action> ViewController::actions() {
    return kActions;
}

std::optional<ViewController::Action> ViewController::action(std::string_view name) {
    const auto it =
        std::find_if(kActions.begin(), kActions.end(), [name](const Action& a) { return a.name == name; });
    if (it == kActions.end()) return std::nullopt;
    return *it;
}

void ViewController::viewDidLoad() {
    notifications_->removeObserver(this);
    notifications_->addObserver(this, "SetupUpdate", [this](const platform::Notification&) {
        // Posted on the MIDI thread; detection touches controls.
        mainQueue_.async([this] { SetupUpdate(); }, this);
    });
    notifications_->addObserver(this, "SysexGet",
                                [this](const platform::Notification& n) { SysexGetWithNotification(n); });
    notifications_->addObserver(this, "CCGet",
                                [this](const platform::Notification& n) { CCGetWithNotification(n); });
    notifications_->addObserver(this, "MessageGet",
                                [this](const platform::Notification& n) { MessageGetWithNotification(n); });

    disableTuningControls();
    SetupUpdate();

    if (!listening_) {
        midi_->addListener(receiver_);
        listening_ = true;
    }

    if (timer_) mainQueue_.cancel(*timer_);
    timer_ = mainQueue_.scheduleRepeating(
        std::chrono::milliseconds(100), [this] { fireTimer(); }, this);
}

void ViewController::viewDidAppear() {
    if (!outlets_.view) return;
    const auto version = bundle_.value("CFBundleShortVersionString");
    const std::string title = version ? "Malvo Updater v" + *version : "Malvo Updater";
    outlets_.view->window()->setWindowTitle(QString::fromStdString(title));
}

void ViewController::fireTimer() {
    // A request sent now would land between the transfer's own messages: what was reported waits
    // for the first tick after it.
    if (transferRunning()) return;
    // Nothing to refresh or ask while no instrument is open: what an instrument reported before
    // it was closed is dropped rather than turned into alerts.
    if (!currentDevice_) {
        state_.need_update_list = 0;
        state_.state_changed = 0;
        return;
    }
    if (state_.need_update_list) refreshTuningNames();
    if (state_.state_changed) requestState();
}

void ViewController::showAlert(const std::string& message, const std::string& title) {
    dialogs_.runAlert({.messageText = title, .informativeText = message});
}

bool ViewController::waitUntil(const std::function<bool()>& done, int maxSleeps) {
    for (int i = 0; i < maxSleeps; ++i) {
        sleeper_->sleepFor(pollInterval);
        if (done()) return true;
    }
    return false;
}

sonabel::MIDISendOutcome ViewController::sendSysEx(std::span<const std::uint8_t> plainMessage) {
    const auto framing = state_.use_manufacturer_id ? SysExFraming::withManufacturerID : SysExFraming::plain;
    return midi_->sendEventWithOutcome(sonabel::MIDIEvent(frameSysEx(plainMessage, framing)));
}

bool ViewController::sent(const sonabel::MIDISendOutcome& outcome, std::string_view whatFailed) {
    if (outcome.sent()) return true;
    showAlert(notSentText(whatFailed, outcome), "Error");
    return false;
}

bool ViewController::sendCommand(std::span<const std::uint8_t> plainMessage, std::string_view whatFailed) {
    if (!currentDevice_) {
        showAlert("Open the Device!", "Error");
        return false;
    }
    return sent(sendSysEx(plainMessage), whatFailed);
}

bool ViewController::requestVersion() {
    if (!currentDevice_) {
        showAlert("Open the Device!", "Error");
        return false;
    }
    return sent(midi_->sendEventWithOutcome(sonabel::MIDIEvent(
                    versionRequest(std::uint8_t(state_.device_model), SysExFraming::plain))),
                "The version query was not sent");
}

bool ViewController::requestVersionWithID() {
    if (!currentDevice_) {
        showAlert("Open the Device!", "Error");
        return false;
    }
    return sent(midi_->sendEventWithOutcome(sonabel::MIDIEvent(
                    versionRequest(std::uint8_t(state_.device_model), SysExFraming::withManufacturerID))),
                "The version query was not sent");
}

void ViewController::requestState() {
    state_.state_changed = 0;
    sendCommand(stateRequest(std::uint8_t(state_.device_model)), "The instrument's state was not requested");
}

void ViewController::closeButton() {
    if (refuseDuringTransfer()) return;
    closeCurrentDevice();
}

} // namespace malvo
