#pragma once
#include "app/MainWindowOutlets.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/MainQueue.h"
#include "platform/ui/Dialogs.h"

#include <QObject>

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace malvo {

// The window's controller: every user action, the housekeeping timer and the alerts go through it.
// Actions run on the main thread; each is named after the action of the interface file that calls it.
class ViewController : public QObject {
    Q_OBJECT

public:
    // One action of the interface file and the handler it calls.
    struct Action {
        std::string_view name;
        void (ViewController::*handler)();
    };

    ViewController(MainWindowOutlets outlets, platform::Dialogs& dialogs,
                   platform::MainQueue& mainQueue = platform::MainQueue::shared(),
                   platform::BundleInfo& bundle = platform::BundleInfo::main());
    ~ViewController() override;

    // Every action name the interface file may use, with its handler.
    static std::span<const Action> actions();
    static std::optional<Action> action(std::string_view name);

    const MainWindowOutlets& outlets() const { return outlets_; }
    platform::Dialogs& dialogs() const { return dialogs_; }
    platform::MainQueue& mainQueue() const { return mainQueue_; }

    // Once, after the window is loaded and its actions are connected; starts the 0.1 s timer.
    virtual void viewDidLoad();
    // After the window is shown: puts the version into the window title.
    virtual void viewDidAppear();
    // Every 0.1 s on the main thread from viewDidLoad() on.
    virtual void fireTimer();

    // A modal warning alert with a single "OK"; returns when it is dismissed.
    void showAlert(const std::string& message, const std::string& title);

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
    MainWindowOutlets outlets_;
    platform::Dialogs& dialogs_;
    platform::MainQueue& mainQueue_;
    platform::BundleInfo& bundle_;
    std::optional<platform::MainQueue::CallID> timer_;
};

} // namespace malvo
