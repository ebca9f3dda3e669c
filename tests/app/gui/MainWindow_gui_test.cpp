#include "app/MainWindow.h"
#include "app/MainWindowLoader.h"
#include "app/ViewController.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/HostClock.h"
#include "platform/core/MainQueue.h"
#include "platform/ui/ScriptedDialogs.h"
#include "testing/QtTestApplication.h"

#include <QTabWidget>
#include <QTest>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using malvo::MainWindow;
using malvo::MainWindowLoader;
using malvo::MainWindowOutlets;
using malvo::ViewController;
using platform::DialogRequest;

namespace {

// Every handler notes that it ran, with the state of the control that sent it.
class RecordingController final : public ViewController {
public:
    using ViewController::ViewController;

    std::vector<std::string> calls;
    int timerTicks = 0;

    void fireTimer() override { ++timerTicks; }
    void openButton() override { calls.push_back("openButton:"); }
    void closeButton() override { calls.push_back("closeButton:"); }
    void names_list_action() override {
        calls.push_back("names_list_action: " + std::to_string(outlets().program_names_list->currentIndex()));
    }
    void sendFW() override { calls.push_back("sendFW:"); }
    void browseFile() override { calls.push_back("browseFile:"); }
    void BrowseBankFile() override { calls.push_back("BrowseBankFile:"); }
    void SendBankFile() override { calls.push_back("SendBankFile:"); }
    void DownloadBank() override { calls.push_back("DownloadBank:"); }
    void SaveProgram() override { calls.push_back("SaveProgram:"); }
    void SendMTS() override { calls.push_back("SendMTS:"); }
    void download_bank() override { calls.push_back("download_bank:"); }
    void microtuning_switch() override {
        calls.push_back(std::string("microtuning_switch: ") +
                        (outlets().microtuning_switch->isChecked() ? "on" : "off"));
    }
    void noteonoff_switch() override {
        calls.push_back(std::string("noteonoff_switch: ") +
                        (outlets().noteonoff_switch->isChecked() ? "on" : "off"));
    }
    void ResetFreq() override { calls.push_back("ResetFreq:"); }
    void ResetAllFreq() override { calls.push_back("ResetAllFreq:"); }
    void Increase() override { calls.push_back("Increase:"); }
    void Decrease() override { calls.push_back("Decrease:"); }
    void plus001semi() override { calls.push_back("plus001semi:"); }
    void minus001semi() override { calls.push_back("minus001semi:"); }
};

class MainWindowTest : public ::testing::Test {
protected:
    platform::ManualClock clock;
    platform::MainQueue queue{clock};
    platform::TestMainQueueDriver driver{queue, clock};
    platform::ScriptedDialogs dialogs{queue};
    platform::BundleInfo bundle;
    RecordingController* controller = nullptr;

    std::unique_ptr<MainWindow> makeWindow() {
        return std::make_unique<MainWindow>([this](const MainWindowOutlets& outlets) {
            auto made = std::make_unique<RecordingController>(outlets, dialogs, queue, bundle);
            controller = made.get();
            return made;
        });
    }
};

// The outlets of the window and the kind of control each must be.
const std::vector<std::pair<const char*, const char*>> kOutlets = {
    {"devicesList", "QComboBox"},
    {"OpenDeviceOutlet", "QPushButton"},
    {"OpenFirmwareOutlet", "QPushButton"},
    {"SendFirmwareOutlet", "QPushButton"},
    {"SemiSet", "QLineEdit"},
    {"ResetButton", "QPushButton"},
    {"ProgramPopUp", "QComboBox"},
    {"ProgramName", "QLineEdit"},
    {"FreqSet", "QLineEdit"},
    {"DownloadBankNumber", "QComboBox"},
    {"minus01button", "QPushButton"},
    {"plus01button", "QPushButton"},
    {"plus001button", "QPushButton"},
    {"minus001button", "QPushButton"},
    {"microtuning_switch", "QPushButton"},
    {"noteonoff_switch", "QPushButton"},
    {"tab_view", "QTabWidget"},
    {"NoteNum", "QLineEdit"},
    {"BaseFreq", "QLineEdit"},
    {"DeviceStatus", "QLineEdit"},
    {"log", "QLineEdit"},
    {"progressBar", "QProgressBar"},
    {"fileField", "QLineEdit"},
    {"SendBank_outlet", "QPushButton"},
    {"program_names_list", "QComboBox"},
    {"mts_download_bank_outlet", "QPushButton"},
    {"send_tune_file_outlet", "QPushButton"},
    {"BankNumber", "QComboBox"},
    {"BankFilePath", "QLineEdit"},
    {"UploadProgressBar", "QProgressBar"},
    {"slider_name", "QLineEdit"},
};

// Each action and the control that sends it; the last five have no outlet of their own.
const std::vector<std::pair<const char*, const char*>> kButtonActions = {
    {"openButton:", "OpenDeviceOutlet"},   {"browseFile:", "OpenFirmwareOutlet"},
    {"sendFW:", "SendFirmwareOutlet"},     {"ResetFreq:", "ResetButton"},
    {"Decrease:", "minus01button"},        {"Increase:", "plus01button"},
    {"plus001semi:", "plus001button"},     {"minus001semi:", "minus001button"},
    {"SendBankFile:", "SendBank_outlet"},  {"download_bank:", "mts_download_bank_outlet"},
    {"SendMTS:", "send_tune_file_outlet"}, {"closeButton:", "closeButton"},
    {"BrowseBankFile:", "BrowseBankFile"}, {"DownloadBank:", "DownloadBank"},
    {"SaveProgram:", "SaveProgram"},       {"ResetAllFreq:", "ResetAllFreq"},
};

// Shows the tab that holds the control, as a user would before clicking it.
void reveal(QWidget& view, QWidget* control) {
    auto* tabs = view.findChild<QTabWidget*>("tab_view");
    for (int i = 0; tabs && i < tabs->count(); ++i)
        if (tabs->widget(i)->isAncestorOf(control)) tabs->setCurrentIndex(i);
}

TEST_F(MainWindowTest, EveryOutletIsFoundByNameAsTheRightKindOfControl) {
    auto window = makeWindow();
    const auto& outlets = controller->outlets();
    EXPECT_EQ(outlets.view.data(), &window->view());
    for (const auto& [name, kind] : kOutlets) {
        SCOPED_TRACE(name);
        auto* control = window->view().findChild<QWidget*>(name);
        ASSERT_NE(control, nullptr);
        EXPECT_STREQ(control->metaObject()->className(), kind);
    }
    EXPECT_EQ(outlets.microtuning_switch.data(), window->view().findChild<QWidget*>("microtuning_switch"));
    EXPECT_EQ(outlets.UploadProgressBar.data(), window->view().findChild<QWidget*>("UploadProgressBar"));
}

TEST_F(MainWindowTest, TitleCarriesTheBundleVersion) {
    bundle.setValue("CFBundleShortVersionString", "1.4.2");
    auto window = makeWindow();
    window->show();
    EXPECT_EQ(window->view().windowTitle(), "Malvo Updater v1.4.2");
    EXPECT_EQ(window->view().window(), &window->view());

    bundle.setValue("CFBundleShortVersionString", std::nullopt);
    controller->viewDidAppear();
    EXPECT_EQ(window->view().windowTitle(), "Malvo Updater");
}

TEST_F(MainWindowTest, TabsForFirmwareBanksAndTuningHoldTheirControls) {
    auto window = makeWindow();
    const auto& o = controller->outlets();
    ASSERT_EQ(o.tab_view->count(), 3);
    EXPECT_EQ(o.tab_view->tabText(0), "Firmware");
    EXPECT_EQ(o.tab_view->tabText(1), "Banks");
    EXPECT_EQ(o.tab_view->tabText(2), "Tuning");
    auto holds = [&](int tab, std::initializer_list<QWidget*> controls) {
        for (auto* control : controls) {
            SCOPED_TRACE(control->objectName().toStdString());
            EXPECT_TRUE(o.tab_view->widget(tab)->isAncestorOf(control));
        }
    };
    holds(0, {o.OpenFirmwareOutlet, o.SendFirmwareOutlet, o.fileField, o.progressBar});
    holds(1, {o.BankNumber, o.BankFilePath, o.SendBank_outlet, o.UploadProgressBar, o.DownloadBankNumber,
              o.ProgramName});
    holds(2,
          {o.program_names_list, o.mts_download_bank_outlet, o.send_tune_file_outlet, o.microtuning_switch,
           o.noteonoff_switch, o.NoteNum, o.SemiSet, o.FreqSet, o.BaseFreq, o.plus01button, o.ResetButton});
    // Instrument choice, status line and log stay in view whichever tab is open.
    for (QWidget* control : {static_cast<QWidget*>(o.devicesList), static_cast<QWidget*>(o.DeviceStatus),
                             static_cast<QWidget*>(o.log), static_cast<QWidget*>(o.OpenDeviceOutlet)}) {
        SCOPED_TRACE(control->objectName().toStdString());
        EXPECT_FALSE(o.tab_view->isAncestorOf(control));
    }
}

TEST_F(MainWindowTest, ControlsStartAsTheirRolesNeed) {
    auto window = makeWindow();
    const auto& o = controller->outlets();
    EXPECT_EQ(o.OpenDeviceOutlet->text(), "Open");
    EXPECT_EQ(o.SendBank_outlet->text(), "Send");
    EXPECT_TRUE(o.microtuning_switch->isCheckable());
    EXPECT_FALSE(o.microtuning_switch->isChecked());
    EXPECT_EQ(o.microtuning_switch->text(), "Off");
    EXPECT_TRUE(o.noteonoff_switch->isCheckable());
    EXPECT_FALSE(o.noteonoff_switch->isChecked());
    EXPECT_EQ(o.noteonoff_switch->text(), "Off");
    EXPECT_EQ(o.progressBar->minimum(), 0); // a percentage
    EXPECT_EQ(o.progressBar->maximum(), 100);
    EXPECT_EQ(o.progressBar->value(), 0);
    EXPECT_EQ(o.UploadProgressBar->minimum(), 0); // records sent
    EXPECT_EQ(o.UploadProgressBar->value(), 0);
    for (auto* shown : {o.DeviceStatus.data(), o.log.data(), o.NoteNum.data(), o.BaseFreq.data(),
                        o.fileField.data(), o.BankFilePath.data()}) {
        SCOPED_TRACE(shown->objectName().toStdString());
        EXPECT_TRUE(shown->isReadOnly());
    }
    // No instrument on the test's MIDI server.
    EXPECT_EQ(o.DeviceStatus->text(), "No Connections");
    EXPECT_EQ(o.NoteNum->text(), "Note Off");
    for (auto* empty : {o.log.data(), o.BaseFreq.data(), o.fileField.data(), o.BankFilePath.data()})
        EXPECT_TRUE(empty->text().isEmpty());
    for (auto* typed : {o.SemiSet.data(), o.FreqSet.data(), o.ProgramName.data()}) {
        SCOPED_TRACE(typed->objectName().toStdString());
        EXPECT_FALSE(typed->isReadOnly());
    }
    EXPECT_EQ(o.devicesList->count(), 0);
    EXPECT_EQ(o.program_names_list->count(), 0);
}

TEST_F(MainWindowTest, EachActionButtonCallsItsHandler) {
    // The buttons, the two switches and the slot list send every action there is.
    EXPECT_EQ(ViewController::actions().size(), kButtonActions.size() + 3);
    auto window = makeWindow();
    window->show();
    for (const auto& [action, objectName] : kButtonActions) {
        SCOPED_TRACE(action);
        auto* button = window->view().findChild<QPushButton*>(objectName);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->property(MainWindowLoader::actionProperty).toString(), action);
        reveal(window->view(), button);
        button->setEnabled(true); // as an open instrument's features leave it
        controller->calls.clear();
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(controller->calls, std::vector<std::string>{action});
    }
}

TEST_F(MainWindowTest, SwitchActionsSeeTheStateAfterTheClick) {
    auto window = makeWindow();
    window->show();
    const auto& o = controller->outlets();
    reveal(window->view(), o.microtuning_switch);
    o.microtuning_switch->setEnabled(true);
    o.noteonoff_switch->setEnabled(true);
    QTest::mouseClick(o.microtuning_switch, Qt::LeftButton);
    QTest::mouseClick(o.noteonoff_switch, Qt::LeftButton);
    QTest::mouseClick(o.noteonoff_switch, Qt::LeftButton);
    QTest::mouseClick(o.microtuning_switch, Qt::LeftButton);
    EXPECT_EQ(controller->calls,
              (std::vector<std::string>{"microtuning_switch: on", "noteonoff_switch: on",
                                        "noteonoff_switch: off", "microtuning_switch: off"}));
}

TEST_F(MainWindowTest, PopUpsActOnTheUsersChoiceOnly) {
    auto window = makeWindow();
    window->show();
    const auto& o = controller->outlets();
    reveal(window->view(), o.program_names_list);
    o.program_names_list->setEnabled(true);
    o.program_names_list->addItems({"1: empty", "2: MyScale", "3: Just"});
    o.program_names_list->setCurrentIndex(0); // as a names refresh does: no action
    EXPECT_TRUE(controller->calls.empty());

    QTest::keyClick(o.program_names_list, Qt::Key_Down);
    QTest::keyClick(o.program_names_list, Qt::Key_Down);
    EXPECT_EQ(controller->calls, (std::vector<std::string>{"names_list_action: 1", "names_list_action: 2"}));

    // Choosing an instrument or a bank, or typing a pitch, sends no action.
    controller->calls.clear();
    o.devicesList->addItems({"Velmor", "Toskar MK2"});
    QTest::keyClick(o.devicesList, Qt::Key_Down);
    o.BankNumber->addItems({"Factory Bank", "Bank 1"});
    QTest::keyClick(o.BankNumber, Qt::Key_Down);
    QTest::keyClicks(o.SemiSet, "60.5");
    QTest::keyClick(o.SemiSet, Qt::Key_Return);
    EXPECT_TRUE(controller->calls.empty());
    EXPECT_EQ(o.devicesList->currentText(), "Toskar MK2");
}

TEST_F(MainWindowTest, TimerFiresEveryTenthOfASecondUntilTheControllerGoes) {
    auto window = makeWindow();
    driver.advance(99ms);
    EXPECT_EQ(controller->timerTicks, 0);
    driver.advance(1ms);
    EXPECT_EQ(controller->timerTicks, 1);
    driver.advance(250ms);
    EXPECT_EQ(controller->timerTicks, 3);

    controller->viewDidLoad(); // a second load does not double the timer
    driver.advance(100ms);
    EXPECT_EQ(controller->timerTicks, 4);

    window.reset();
    EXPECT_EQ(queue.pendingCount(), 0u);
    driver.advance(500ms); // nothing left to call into the controller that is gone
}

TEST_F(MainWindowTest, ShowAlertPutsTheTitleAboveTheMessage) {
    auto window = makeWindow();
    controller->showAlert("Open the Device!", "Error");
    EXPECT_EQ(dialogs.requests(), std::vector{DialogRequest::alert(
                                      {.messageText = "Error", .informativeText = "Open the Device!"})});
    EXPECT_EQ(dialogs.offMainThreadCount(), 0u);
}

class MainWindowLoaderTest : public ::testing::Test {
protected:
    std::unique_ptr<QWidget> view = MainWindowLoader::load();
    platform::ScriptedDialogs dialogs;

    std::string outletError() {
        try {
            MainWindowLoader::findOutlets(*view);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "";
    }
    std::string actionError() {
        ViewController controller(MainWindowLoader::findOutlets(*view), dialogs);
        try {
            MainWindowLoader::connectActions(*view, controller);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "";
    }
};

TEST_F(MainWindowLoaderTest, TheShippedInterfaceFileIsComplete) {
    EXPECT_EQ(outletError(), "");
    EXPECT_EQ(actionError(), "");
}

TEST_F(MainWindowLoaderTest, AMissingOutletIsNamed) {
    delete view->findChild<QWidget*>("FreqSet");
    delete view->findChild<QWidget*>("slider_name");
    EXPECT_EQ(outletError(), "interface file outlets: FreqSet (missing), slider_name (missing)");
}

TEST_F(MainWindowLoaderTest, AnOutletOfTheWrongKindOrNamedTwiceIsNamed) {
    view->findChild<QWidget*>("devicesList")->setObjectName("renamed");
    view->findChild<QWidget*>("fileField")->setObjectName("devicesList");
    view->findChild<QWidget*>("NoteNum")->setObjectName("log");
    EXPECT_EQ(outletError(), "interface file outlets: devicesList (a QLineEdit, expected a QComboBox), "
                             "NoteNum (missing), log (named 2 times), fileField (missing)");
}

TEST_F(MainWindowLoaderTest, BrokenActionBindingsAreNamed) {
    view->findChild<QWidget*>("closeButton")->setProperty(MainWindowLoader::actionProperty, "closeDevice:");
    view->findChild<QWidget*>("log")->setProperty(MainWindowLoader::actionProperty, "SaveProgram:");
    view->findChild<QWidget*>("ResetButton")->setProperty(MainWindowLoader::actionProperty, "Increase:");
    const auto error = actionError();
    EXPECT_NE(error.find("closeButton sends the unknown action closeDevice:"), std::string::npos) << error;
    EXPECT_NE(error.find("log (a QLineEdit) cannot send SaveProgram:"), std::string::npos) << error;
    EXPECT_NE(error.find("no control sends closeButton:"), std::string::npos) << error;
    EXPECT_NE(error.find("no control sends ResetFreq:"), std::string::npos) << error;
    EXPECT_NE(error.find("2 controls send Increase:"), std::string::npos) << error;
}

TEST(MainWindowLoaderFile, AnUnreadableInterfaceFileIsReported) {
    try {
        MainWindowLoader::load(":/malvo/Missing.ui");
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "cannot read the interface file :/malvo/Missing.ui");
    }
}

} // namespace
