#pragma once
#include "app/ControllerServices.h"
#include "app/MainWindowOutlets.h"
#include "app/controller/ControllerState.h"
#include "app/controller/ReceiveHandler.h"
#include "app/controller/ReceiveHandlerOutput.h"
#include "app/controller/TransferJobGuard.h"
#include "app/controller/TransferLink.h"
#include "app/controller/TuningServices.h"
#include "app/protocol/TuningStep.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/MainQueue.h"
#include "platform/core/NotificationCenter.h"
#include "platform/ui/Dialogs.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace malvo {

// The window's controller: every user action, the housekeeping timer and the alerts go through it.
// Actions run on the main thread; each is named after the action of the interface file that calls it.
// Replies arrive on the MIDI thread through the receive handler, which only sets the shared state
// and hands control updates to the main queue; waits for a reply poll that state every 10 ms on
// the main thread.
class ViewController : public QObject, private ReceiveHandlerOutput {
    Q_OBJECT

public:
    // One action of the interface file and the handler it calls.
    struct Action {
        std::string_view name;
        void (ViewController::*handler)();
    };

    ViewController(MainWindowOutlets outlets, platform::Dialogs& dialogs,
                   platform::MainQueue& mainQueue = platform::MainQueue::shared(),
                   platform::BundleInfo& bundle = platform::BundleInfo::main(),
                   const ControllerServices& services = {});
    ~ViewController() override;

    // Every action name the interface file may use, with its handler.
    static std::span<const Action> actions();
    static std::optional<Action> action(std::string_view name);

    const MainWindowOutlets& outlets() const { return outlets_; }
    platform::Dialogs& dialogs() const { return dialogs_; }
    platform::MainQueue& mainQueue() const { return mainQueue_; }
    sonabel::MIDI& midi() const { return *midi_; }
    // The flags, values and buffers the receive handler writes.
    ControllerState& state() { return state_; }
    const ControllerState& state() const { return state_; }
    // Port name of the open instrument; nullopt while none is open.
    const std::optional<std::string>& currentDevice() const { return currentDevice_; }

    // Once, after the window is loaded and its actions are connected; starts the 0.1 s timer.
    virtual void viewDidLoad();
    // After the window is shown: puts the version into the window title.
    virtual void viewDidAppear();
    // Every 0.1 s on the main thread from viewDidLoad() on.
    virtual void fireTimer();

    // A modal warning alert with a single "OK"; returns when it is dismissed.
    void showAlert(const std::string& message, const std::string& title);

    // Notification handlers. SysexGet, CCGet and MessageGet run on the thread that posts them (the
    // MIDI thread); SetupUpdate is device detection and runs on the main thread (a notification
    // hops there).
    void SetupUpdate();
    void SysexGetWithNotification(const platform::Notification& notification);
    void CCGetWithNotification(const platform::Notification& notification);
    // The other channel messages: counted only, for the log of a reply that does not come.
    void MessageGetWithNotification(const platform::Notification& notification);
    // userInfo "note" (std::uint8_t) becomes the current key; the tuning buttons come on.
    void NoteOnNotification(const platform::Notification& notification);

    // Sending. sendSysEx() frames a plain message as the open instrument speaks; the version
    // queries are always sent in their own framing. The others alert "Open the Device!" and send
    // nothing while no instrument is open. Each tells how the send went; those that return a bool
    // have shown a failed send's alert, which begins with `whatFailed`, and return false.
    sonabel::MIDISendOutcome sendSysEx(std::span<const std::uint8_t> plainMessage);
    bool requestVersion();
    bool requestVersionWithID();
    void requestState();
    bool sendCommand(std::span<const std::uint8_t> plainMessage, std::string_view whatFailed);

    // Asks for every tuning-slot name and refills the names list; blocks while it waits.
    void refreshTuningNames();
    // Asks for the microtuning state and waits for the answer.
    void queryMicrotuningState();

    // Polls every 10 ms with the injected sleeper until done() holds; false after maxSleeps sleeps.
    bool waitUntil(const std::function<bool()>& done, int maxSleeps);
    static constexpr std::chrono::milliseconds pollInterval{10};

    // Actions.
    virtual void openButton();
    virtual void closeButton();
    virtual void names_list_action();
    virtual void sendFW();
    virtual void browseFile();
    virtual void BrowseBankFile();
    virtual void SendBankFile();
    virtual void DownloadBank();
    virtual void SaveProgram();
    virtual void SendMTS();
    virtual void download_bank();
    virtual void microtuning_switch();
    virtual void noteonoff_switch();
    virtual void ResetFreq();
    virtual void ResetAllFreq();
    virtual void Increase();
    virtual void Decrease();
    virtual void plus001semi();
    virtual void minus001semi();

private:
    // ReceiveHandlerOutput, on the MIDI thread: each hops to the main queue with its values.
    void showKey(std::uint8_t key, double pitch) override;
    void showKeyReleased() override;
    void showMicrotuningState(std::uint8_t command, std::uint8_t state) override;
    void showWrongState() override;
    void clearProgramName() override;

    // Main thread.
    // True when it went out; else false after the alert for it, which begins with `whatFailed`.
    bool sent(const sonabel::MIDISendOutcome& outcome, std::string_view whatFailed);
    // An unplugged instrument is closed by detection with `keepLog`, so that a firmware update's
    // outcome stays readable.
    void closeCurrentDevice(bool keepLog = false);
    void disableTuningControls();
    void setTuningButtonsEnabled(bool enabled);
    void applyFeatureGates();
    void fillBankChoosers();
    bool instrumentStillListed() const;
    void fillTuningNamesList(const std::vector<std::string>& names);

    // ---- Tuning files, slot tables, switches and live tuning (ViewController+Tuning.cpp) ----
    // What the tuning flows use of this controller; valid while it lives.
    TuningServices tuningServices();
    // The pitch field's value, read as the field holds it; 0.0 when it holds no number.
    double semiSetValue() const;
    void showPitch(double pitch);
    void stepPitch(const TuningStep& step);
    // ---- end of tuning ----

    MainWindowOutlets outlets_;
    platform::Dialogs& dialogs_;
    platform::MainQueue& mainQueue_;
    platform::BundleInfo& bundle_;
    std::optional<platform::MainQueue::CallID> timer_;

    std::shared_ptr<sonabel::MIDI> midi_;
    std::shared_ptr<MIDIReceiver> receiver_;
    platform::NotificationCenter* notifications_ = nullptr;
    platform::Sleeper* sleeper_ = nullptr;
    platform::HostClock* clock_ = nullptr;
    bool listening_ = false;

    ControllerState state_;
    ReceiveHandler handler_;
    std::optional<std::string> currentDevice_;
    // The destination opened for the current device, closed by unique ID so that a vanished
    // destination is closed too.
    std::optional<MIDIUniqueID> openedOutput_;

    // ---- Firmware, bank files, bank download, program names (ViewController+Transfers.cpp) ----
public:
    // True while a firmware or bank transfer runs: Open, Close and the device list are refused.
    bool transferRunning() const { return transfers_.running(); }
    // Waits for a running upload job to end.
    void waitForTransfers() { transfers_.waitForJob(); }
    // As the application ends: a running upload stops before its next send and is waited for.
    void stopTransfers() { transfers_.stop(); }
    // Fetches a bank into the file, on the main thread; the file is replaced only by a whole bank.
    void downloadBank(std::uint8_t bank, const std::filesystem::path& file);
    void writeProgramName(const std::string& name);

private:
    // Alerts and answers true while a transfer runs.
    bool refuseDuringTransfer();
    TransferLink transferLink();
    void setDeviceChoiceEnabled(bool enabled);

    // While it runs, and while `log` shows how it ended, detection leaves `log` alone.
    bool firmwareLogShown() const;

    std::optional<std::filesystem::path> firmwareFile_;
    // From the start of a firmware job until its outcome is shown; main thread only.
    bool firmwareUploading_ = false;
    std::optional<std::filesystem::path> bankFile_;
    // Declared last, so destroyed first: a running job is stopped and joined while all it uses
    // is still there.
    TransferJobGuard transfers_;
    // ---- end of transfers ----
};

} // namespace malvo
