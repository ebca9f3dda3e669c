// The transfer actions of the window against emulated instruments: alerts, panels, controls, and
// what the instrument and the files end up holding.
#include "testing/ControllerHarness.h"
#include "testing/Eventually.h"
#include "testing/HexBytes.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <unistd.h>

using malvo::test::ControllerHarness;
using malvo::test::hex;
using platform::DialogRequest;
using Strings = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

namespace {

class Transfers : public ControllerHarness {
protected:
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("transfers-window-" + std::to_string(::getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());

    void SetUp() override {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& name, const Bytes& bytes) { return writeFile(dir / name, bytes); }
    // Lets a background job finish and shows what it queued.
    void finishJob() {
        released = true;
        released.notify_all();
        controller->waitForTransfers();
        sleeper.afterSettling = nullptr;
        settleAll();
    }
    // The next job waits in its first sleep until finishJob(), so the window is used while it
    // surely runs.
    void holdNextJob() {
        released = false;
        sleeper.afterSettling = [this, mainThread = std::this_thread::get_id()] {
            if (std::this_thread::get_id() != mainThread)
                testwait::eventually([this] { return released.load(); });
        };
    }
    std::atomic<bool> released{true};
    emulation::InstrumentEmulator& openInstrument(const std::string& port,
                                                  std::optional<emulation::FirmwareVersion> version = {}) {
        auto& instrument = plug(port, Framing::both, version);
        makeWindow();
        open(port);
        instrument.clearLog();
        dialogs.clearRequests();
        return instrument;
    }
};

TEST_F(Transfers, EveryActionAlertsAsItsOwnWordingWhileNoInstrumentIsOpen) {
    makeWindow();
    controller->browseFile();
    controller->sendFW();
    controller->SendBankFile();
    controller->DownloadBank();
    o().ProgramName->setText("Solo");
    controller->SaveProgram();
    controller->downloadBank(2, dir / "x.p");
    EXPECT_EQ(alertMessages(), (Strings{"Open the device!", "Open the Device!", "Open the device!",
                                        "Open The Device!", "Open the Device!", "Open the Device!"}));
    for (const auto& alert : dialogs.alerts())
        EXPECT_EQ(alert.messageText, "Error");
    EXPECT_FALSE(std::filesystem::exists(dir / "x.p"));

    // A bank file can be chosen with nothing open.
    dialogs.clearRequests();
    o().SendBank_outlet->setText("Sending...");
    dialogs.queueAnswer(write("bank.p", pattern(256, 0x7F)));
    controller->BrowseBankFile();
    EXPECT_EQ(dialogs.requests(), (std::vector<DialogRequest>{DialogRequest::openPanel(
                                      {.title = "Choose a Bank File", .allowedFileTypes = {"syx", "p"}})}));
    EXPECT_EQ(o().BankFilePath->text().toStdString(), (dir / "bank.p").string());
    EXPECT_EQ(o().SendBank_outlet->text(), "Send");
}

TEST_F(Transfers, FirmwareFromChoiceToSuccessWithOpenAndCloseRefusedMeanwhile) {
    auto& toskar = openInstrument("Toskar MK2", emulation::FirmwareVersion{1, 0, 6});
    controller->sendFW();
    EXPECT_EQ(alertMessages(), Strings{"Open File!"});

    // A name older than the MK2 runs is refused and changes nothing.
    dialogs.clearRequests();
    dialogs.queueAnswer(write("fw_1.4.8.bin", pattern(10, 0xFF)));
    controller->browseFile();
    EXPECT_EQ(
        dialogs.requests(),
        (std::vector<DialogRequest>{
            DialogRequest::openPanel({.title = "Choose a Firmware File", .allowedFileTypes = {"bin"}}),
            DialogRequest::alert(
                {.messageText = "Error",
                 .informativeText = "This version of the firmware is incompatible with your device."})}));
    EXPECT_TRUE(o().fileField->text().isEmpty());

    const Bytes firmware = pattern(6 * 256 + 5, 0xFF);
    const auto path = write("fw_1.4.9.bin", firmware);
    dialogs.clearRequests();
    dialogs.queueAnswer(path);
    controller->browseFile();
    EXPECT_EQ(o().fileField->text().toStdString(), path);
    EXPECT_EQ(o().log->text(), "Opened File fw_1.4.9.bin");

    holdNextJob();
    controller->sendFW();
    EXPECT_TRUE(controller->transferRunning());
    controller->openButton();
    controller->closeButton();
    controller->sendFW();
    EXPECT_EQ(alertMessages(), (Strings{"Wait for the running transfer to end!",
                                        "Wait for the running transfer to end!", "Open File!"}));
    EXPECT_EQ(controller->currentDevice(), "Toskar MK2");
    finishJob();
    EXPECT_FALSE(controller->transferRunning());
    EXPECT_EQ(toskar.state().firmwareImage(), firmware);
    EXPECT_EQ(o().log->text(), "Firmware Successfuly Updated");
    EXPECT_EQ(o().progressBar->value(), 0);
    EXPECT_TRUE(o().fileField->text().isEmpty());
    for (QWidget* control : std::initializer_list<QWidget*>{o().devicesList, o().OpenDeviceOutlet,
                                                            o().OpenFirmwareOutlet, o().SendFirmwareOutlet})
        EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();

    // The chosen file was used up.
    dialogs.clearRequests();
    controller->sendFW();
    EXPECT_EQ(alertMessages(), Strings{"Open File!"});
}

namespace {

class FirmwareFaults : public Transfers {
protected:
    // An eight-block update of the open instrument; `fault` runs on the job's thread, waiting for
    // the answer to the third block. Returns when the job has ended, with what it queued still queued.
    void updateUntil(emulation::InstrumentEmulator& instrument, const std::function<void()>& fault) {
        dialogs.queueAnswer(write("fw_1.4.9.bin", pattern(8 * 256, 0xFF)));
        controller->browseFile();
        instrument.clearLog();
        // Every answer takes a poll, so the job is polling when the third block is in.
        instrument.setFaults({.replyDelay = std::chrono::milliseconds(10)});
        bool faulted = false;
        sleeper.afterSettling = [&] {
            if (faulted || instrument.received().size() < 3) return;
            faulted = true;
            fault();
        };
        controller->sendFW();
        controller->waitForTransfers();
        sleeper.afterSettling = nullptr;
    }
    void expectFailureShown() {
        EXPECT_EQ(o().log->text(), "Update Failed");
        EXPECT_EQ(o().progressBar->value(), 0);
        EXPECT_TRUE(o().fileField->text().isEmpty());
        EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
        EXPECT_TRUE(dialogs.alerts().empty());
    }
    void replugAndOpen(emulation::InstrumentEmulator& instrument) {
        instrument.setFaults({});
        instrument.replug();
        settleAll();
        open(instrument.model().portName);
    }
};

} // namespace

TEST_F(FirmwareFaults, AFailedUpdateStaysShownWhicheverComesFirstOfFailureAndDetection) {
    auto& toskar = openInstrument("Toskar MK2", emulation::FirmwareVersion{1, 0, 6});
    // Unplugged: detection is queued before the job notices.
    updateUntil(toskar, [&] {
        toskar.unplug();
        settle();
    });
    settleAll();
    expectFailureShown();

    // Silent: the job fails first, then the instrument goes.
    replugAndOpen(toskar);
    updateUntil(toskar, [&] { toskar.setFaults({.silent = true}); });
    toskar.unplug();
    settleAll();
    expectFailureShown();
}

TEST_F(FirmwareFaults, AnUnplugMidUpdateEndsInUpdateFailedEveryTime) {
    auto& toskar = openInstrument("Toskar MK2", emulation::FirmwareVersion{1, 0, 6});
    for (int run = 0; run < 50; ++run) {
        SCOPED_TRACE(run);
        updateUntil(toskar, [&] { toskar.unplug(); });
        settleAll();
        ASSERT_EQ(o().log->text(), "Update Failed");
        ASSERT_EQ(o().progressBar->value(), 0);
        replugAndOpen(toskar);
    }
}

TEST_F(Transfers, EveryActionThatSendsIsRefusedWhileATransferRunsAndSwitchesStayAsTheyWere) {
    auto& toskar = openInstrument("Toskar MK2"); // 1.2.1: tuning features and acknowledged blocks
    QTest::mouseClick(o().microtuning_switch, Qt::LeftButton);
    toskar.pressKey(60);
    settleAll();
    ASSERT_TRUE(o().noteonoff_switch->isEnabled());
    dialogs.queueAnswer(write("fw_1.4.9.bin", pattern(4 * 256, 0xFF)));
    controller->browseFile();
    toskar.clearLog();
    dialogs.clearRequests();

    holdNextJob();
    controller->sendFW();
    QTest::mouseClick(o().microtuning_switch, Qt::LeftButton);
    QTest::mouseClick(o().noteonoff_switch, Qt::LeftButton);
    QTest::mouseClick(o().send_tune_file_outlet, Qt::LeftButton);
    QTest::mouseClick(o().mts_download_bank_outlet, Qt::LeftButton);
    for (QPushButton* button : {o().ResetButton.data(), o().minus01button.data(), o().minus001button.data(),
                                o().plus01button.data(), o().plus001button.data()})
        QTest::mouseClick(button, Qt::LeftButton);
    controller->ResetAllFreq();
    finishJob();

    EXPECT_EQ(alertMessages(), Strings(10, "Wait for the running transfer to end!"));
    EXPECT_EQ(dialogs.requests().size(), 10u) << "no panel";
    EXPECT_TRUE(o().microtuning_switch->isChecked());
    EXPECT_EQ(o().microtuning_switch->text(), "On");
    EXPECT_FALSE(o().noteonoff_switch->isChecked());
    EXPECT_TRUE(o().noteonoff_switch->isEnabled());
    EXPECT_EQ(o().log->text(), "Firmware Successfuly Updated");
    for (const auto& message : toskar.received())
        EXPECT_EQ(Bytes(message.begin(), message.begin() + 3), hex("F0 02 01")) << "firmware blocks only";
    EXPECT_EQ(toskar.state().firmwareImage(), pattern(4 * 256, 0xFF));
}

TEST_F(Transfers, FirmwareTooLargeOrUnreadableIsNeverReportedAsSuccess) {
    auto& velmor = openInstrument("Velmor");
    const auto huge = dir / "huge.bin";
    { std::ofstream(huge, std::ios::binary); }
    std::filesystem::resize_file(huge, 16383 * 256 + 1);
    dialogs.queueAnswer(huge.string());
    controller->browseFile();
    controller->sendFW();
    EXPECT_EQ(alertMessages(), Strings{"Firmware file is too large!"});
    EXPECT_FALSE(controller->transferRunning());

    dialogs.queueAnswer(write("empty.bin", {}));
    controller->browseFile();
    controller->sendFW();
    finishJob();
    EXPECT_EQ(o().log->text(), "Update Failed");
    EXPECT_TRUE(velmor.received().empty());
}

TEST_F(Transfers, BankUploadSendsTheChosenBankAndRefusesWhatItCannotSend) {
    auto& velmor = openInstrument("Velmor");
    controller->SendBankFile();
    EXPECT_EQ(alertMessages(), Strings{"Open file!"});

    dialogs.clearRequests();
    Bytes bad = pattern(512, 0x7F);
    bad[7] = 0xF7;
    dialogs.queueAnswer(write("bad.p", bad));
    controller->BrowseBankFile();
    controller->SendBankFile();
    dialogs.queueAnswer((dir / "gone.p").string());
    controller->BrowseBankFile();
    controller->SendBankFile();
    EXPECT_EQ(alertMessages(), (Strings{"Bank file is not valid!", "Bank file can't be opened!"}));
    EXPECT_TRUE(velmor.received().empty());

    // No chooser selection sends nothing.
    dialogs.clearRequests();
    const Bytes bank = pattern(3 * 256, 0x7F);
    dialogs.queueAnswer(write("bank.p", bank));
    controller->BrowseBankFile();
    o().BankNumber->setCurrentIndex(-1);
    controller->SendBankFile();
    EXPECT_TRUE(dialogs.requests().size() == 1 && velmor.received().empty());

    o().BankNumber->setCurrentIndex(5); // "Bank 5"
    holdNextJob();
    controller->SendBankFile();
    EXPECT_EQ(o().SendBank_outlet->text(), "Sending...");
    EXPECT_FALSE(o().devicesList->isEnabled());
    controller->closeButton();
    EXPECT_EQ(alertMessages(), Strings{"Wait for the running transfer to end!"});
    finishJob();
    EXPECT_EQ(o().SendBank_outlet->text(), "Send");
    EXPECT_EQ(o().UploadProgressBar->value(), 0);
    EXPECT_TRUE(o().BankFilePath->text().isEmpty());
    EXPECT_TRUE(o().devicesList->isEnabled());
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(velmor.state().banks.at(5)[std::size_t(p)],
                  Bytes(bank.begin() + p * 256, bank.begin() + p * 256 + 256));
}

TEST_F(Transfers, TheTimerAsksNothingWhileATransferRunsAndCatchesUpAfterIt) {
    auto& pellandor = openInstrument("Pellandor"); // 98-byte programs, 10 tuning slots
    const Bytes bank = pattern(2 * 98, 0x7F);
    dialogs.queueAnswer(write("bank.p", bank));
    controller->BrowseBankFile();
    o().BankNumber->setCurrentIndex(1); // "Bank 1", 00 on the wire
    holdNextJob();
    controller->SendBankFile();
    pellandor.stateChanged();
    pellandor.listChanged();
    settle();
    driver.advance(std::chrono::milliseconds(300));
    finishJob();
    const auto asked = [&] {
        std::vector<Bytes> out;
        for (const auto& message : pellandor.received())
            if (message.size() > 2 && (message[2] == 0x33 || message[2] == 0x14)) out.push_back(message);
        return out;
    };
    EXPECT_EQ(asked(), std::vector<Bytes>{});
    EXPECT_EQ(pellandor.state().banks.at(0)[1], Bytes(bank.begin() + 98, bank.end()));

    driver.advance(std::chrono::milliseconds(100));
    settleAll();
    std::vector<Bytes> expected;
    for (int slot = 0; slot < 10; ++slot)
        expected.push_back(hex("F0 01 33 0" + std::to_string(slot) + " F7"));
    expected.push_back(hex("F0 01 14 F7"));
    EXPECT_EQ(asked(), expected);
}

TEST_F(Transfers, BankDownloadProposesTheNameAndReplacesTheFileOnlyWhenWhole) {
    auto& velmor = openInstrument("Velmor");
    o().DownloadBankNumber->setCurrentIndex(5);
    const auto target = write("Velmor_bnk5.p", {1, 2, 3});
    dialogs.queueAnswer(target);
    controller->DownloadBank();
    EXPECT_EQ(dialogs.requests(), (std::vector<DialogRequest>{
                                      DialogRequest::beginSavePanel({.title = "Choose Where To Save The Bank",
                                                                     .nameFieldStringValue = "Velmor_bnk5.p",
                                                                     .canCreateDirectories = true})}));
    settleAll();
    const auto requests = velmor.received();
    ASSERT_EQ(requests.size(), 128u);
    EXPECT_EQ(requests[7], hex("F0 03 13 05 07 F7"));
    Bytes expected;
    const auto state = velmor.state();
    for (const auto& record : state.banks.at(5))
        expected.insert(expected.end(), record.begin(), record.end());
    EXPECT_EQ(read(target), expected);

    // A silent instrument: the time-out alert, the file as it was.
    dialogs.clearRequests();
    velmor.setFaults({.silent = true});
    dialogs.queueAnswer(target);
    controller->DownloadBank();
    settleAll();
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, try again 3"});
    EXPECT_EQ(read(target), expected);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

    // Unplugged after ten requests: said so, the file as it was. Every answer takes a poll, so
    // the hook sees each request arrive; an instant answer could let the job run past the tenth.
    dialogs.clearRequests();
    velmor.setFaults({.replyDelay = std::chrono::milliseconds(1)});
    velmor.clearLog();
    dialogs.queueAnswer(target);
    sleeper.afterSettling = [&] {
        if (velmor.isPlugged() && velmor.received().size() == 10) velmor.unplug();
    };
    controller->DownloadBank();
    settleAll();
    sleeper.afterSettling = nullptr;
    EXPECT_EQ(dialogs.alerts(), (std::vector<DialogRequest>{DialogRequest::alert(
                                    {.messageText = "Error",
                                     .informativeText = "The device was disconnected, the bank was not "
                                                        "fully received!"})}));
    EXPECT_EQ(velmor.received().size(), 10u);
    EXPECT_EQ(read(target), expected);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

    // A Pellandor's "Bank 3" to "Bank 9" are listed but cannot be fetched: no panel, nothing sent.
    dialogs.clearRequests();
    auto& pellandor = plug("Pellandor");
    choose("Pellandor");
    open("Pellandor");
    pellandor.clearLog();
    dialogs.clearRequests();
    EXPECT_EQ(o().DownloadBankNumber->count(), 10);
    for (int index : {3, 9}) {
        o().DownloadBankNumber->setCurrentIndex(index);
        controller->DownloadBank();
    }
    EXPECT_EQ(alertMessages(), Strings(2, "A Pellandor can send only the Factory Bank, Bank 1 and Bank 2."));
    EXPECT_EQ(dialogs.alerts().size(), dialogs.requests().size());
    EXPECT_TRUE(pellandor.received().empty());
}

TEST_F(Transfers, ProgramSaveChecksTheNameAndSendsIt) {
    auto& toskar = openInstrument("Toskar");
    for (const char* name : {"", "ABCDEFGHIJKLMNOP", "Pad \xE2\x82\xAC", "Caf\xC3\xA9", "\xC3\xBF"}) {
        o().ProgramName->setText(QString::fromUtf8(name));
        controller->SaveProgram();
    }
    EXPECT_EQ(alertMessages(),
              (Strings{"Name can't be empty!", "Name must have less than 16 characters!",
                       "Name can only use Latin-1 characters!",
                       "Name can't use \"\xC3\xA9\": its byte E9 cannot cross a MIDI cable inside a SysEx. "
                       "Use ASCII characters only!",
                       "Name can't use \"\xC3\xBF\": its byte FF cannot cross a MIDI cable inside a SysEx. "
                       "Use ASCII characters only!"}));
    settle();
    EXPECT_TRUE(toskar.received().empty());
    o().ProgramName->setText(QString::fromUtf8("Caf\x7F"));
    controller->SaveProgram();
    settle();
    EXPECT_EQ(toskar.received(),
              (std::vector<Bytes>{hex("F0 02 11 43 61 66 7F 00 00 00 00 00 00 00 00 00 00 00 00 F7")}));
    EXPECT_EQ(toskar.state().programNameText(), "Caf\x7F");

    // Without the name field there is nothing to save.
    malvo::MainWindowOutlets outlets = o();
    outlets.ProgramName = nullptr;
    malvo::ViewController bare(
        outlets, dialogs, queue, bundle,
        malvo::ControllerServices{
            .midi = midi, .receiver = {}, .notifications = &center, .sleeper = &sleeper});
    dialogs.clearRequests();
    bare.SaveProgram();
    EXPECT_EQ(alertMessages(), Strings{"Type program name and choose program number!"});
}

} // namespace
