#include "app/ViewController.h"

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
                               platform::MainQueue& mainQueue, platform::BundleInfo& bundle)
    : outlets_(std::move(outlets)), dialogs_(dialogs), mainQueue_(mainQueue), bundle_(bundle) {}

// Queued calls capture this controller; none may run after it is gone.
ViewController::~ViewController() {
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

void ViewController::fireTimer() {}

void ViewController::showAlert(const std::string& message, const std::string& title) {
    dialogs_.runAlert({.messageText = title, .informativeText = message});
}

void ViewController::openButton() {}
void ViewController::closeButton() {}
void ViewController::names_list_action() {}
void ViewController::sendFW() {}
void ViewController::browseFile() {}
void ViewController::BrowseBankFile() {}
void ViewController::SendBankFile() {}
void ViewController::DownloadBank() {}
void ViewController::SaveProgram() {}
void ViewController::SendMTS() {}
void ViewController::download_bank() {}
void ViewController::microtuning_switch() {}
void ViewController::noteonoff_switch() {}
void ViewController::ResetFreq() {}
void ViewController::ResetAllFreq() {}
void ViewController::Increase() {}
void ViewController::Decrease() {}
void ViewController::plus001semi() {}
void ViewController::minus001semi() {}

} // namespace malvo
