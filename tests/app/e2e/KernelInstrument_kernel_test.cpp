// The window's flows against a USB MIDI instrument through the kernel: the ALSA sequencer server,
// the kernel's USB MIDI driver, and the instrument emulator playing the gadget side of a USB gadget
// named as the instrument. Real time throughout; every wait has a deadline.
#include "testing/ControllerHarness.h"
#include "testing/HexBytes.h"

#include "platform/core/LogSink.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "testing/KernelTestSupport.h"
#include "testing/RawMidiInstrument.h"
#include "testing/UsbInstrument.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

using kerneltest::UsbGadget;
using malvo::test::Bytes;
using malvo::test::ControllerHarness;
using malvo::test::hex;
using platform::DialogRequest;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const std::string toskar = "Toskar MK2";

class KernelInstrument : public ControllerHarness {
protected:
    // Waits for real, five times as long as asked; a hook set before a flow runs after every wait,
    // on the waiting thread. The application times out by counting its waits: stretched, its 1 s
    // for an answer becomes 5 s here, which holds in an emulated guest whose CPUs a loaded host
    // holds up for more than a second at times.
    class HookedSleeper final : public platform::Sleeper {
    public:
        void sleepFor(std::chrono::nanoseconds duration) override {
            platform::Sleeper::system().sleepFor(duration * 5);
            if (afterSleep) afterSleep();
        }
        std::function<void()> afterSleep;
    };

    void SetUp() override {
        std::string why;
        alsa = platform::midi::AlsaServer::open({}, &why);
        KERNEL_TEST_NEEDS(alsa, "no ALSA sequencer on this machine (" << why << ")");
        instrument = emulation::RawMidiInstrument::make(
            {.portName = toskar, .framing = Framing::plain, .version = emulation::FirmwareVersion{1, 0, 6}});
        ASSERT_TRUE(instrument);
        gadget = std::make_unique<UsbGadget>(toskar);
        ASSERT_FALSE(gadget->device().empty())
            << "the USB instrument did not come up (scripts/usb-instrument)";
        ASSERT_TRUE(instrument->attach(gadget->device(), &why)) << why;

        midi = sonabel::MIDI::make({.server = alsa});
        window = std::make_unique<malvo::MainWindow>([this](const malvo::MainWindowOutlets& outlets) {
            auto made = std::make_unique<malvo::ViewController>(
                outlets, dialogs, queue, bundle,
                malvo::ControllerServices{
                    .midi = midi, .receiver = {}, .notifications = &center, .sleeper = &realSleeper});
            controller = made.get();
            return made;
        });
        window->show();
        ASSERT_TRUE(pumpUntil([&] { return items(o().devicesList) == Strings{toskar}; }))
            << "listed: " << ::testing::PrintToString(items(o().devicesList));

        std::string made = (fs::temp_directory_path() / "malvo-kernel-XXXXXX").string();
        ASSERT_NE(::mkdtemp(made.data()), nullptr);
        dir = made;
    }

    void TearDown() override {
        if (controller) pumpUntil([&] { return !controller->transferRunning(); });
        window.reset();
        midi.reset();
        alsa.reset();
        instrument.reset();
        gadget.reset();
        if (!dir.empty()) fs::remove_all(dir);
    }

    // Runs the main queue until `done`; false after the deadline, which an emulated guest under
    // load keeps well within.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::seconds deadline = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            driver.runUntilIdle();
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void click(QAbstractButton* button) {
        QTest::mouseClick(button, Qt::LeftButton);
        driver.runUntilIdle();
    }
    emulation::InstrumentEmulator& emulator() { return instrument->emulator(); }

    void openToskar(const std::string& versionText) {
        choose(toskar);
        click(o().OpenDeviceOutlet);
        EXPECT_EQ(o().DeviceStatus->text().toStdString(), toskar + " Opened");
        EXPECT_EQ(o().log->text().toStdString(), "Firmware Version " + versionText);
    }
    void unplug() {
        instrument->detach();
        gadget->unplug();
    }
    void replugAndOpen() {
        emulator().setFaults({});
        gadget->replug();
        ASSERT_FALSE(gadget->device().empty()) << "the USB instrument did not come back";
        std::string why;
        ASSERT_TRUE(instrument->attach(gadget->device(), &why)) << why;
        ASSERT_TRUE(pumpUntil([&] { return items(o().devicesList) == Strings{toskar}; }));
        openToskar("1.0.6");
    }

    std::string write(const std::string& name, const Bytes& bytes) { return writeFile(dir / name, bytes); }
    Bytes bank(std::uint8_t number) {
        Bytes out;
        const auto state = emulator().state();
        for (const auto& record : state.banks.at(number))
            out.insert(out.end(), record.begin(), record.end());
        return out;
    }
    // Downloads the bank behind the chooser's item into `file` and waits until it ends.
    void downloadBank(int index, const std::string& file) {
        o().DownloadBankNumber->setCurrentIndex(index);
        dialogs.queueAnswer(file);
        controller->DownloadBank();
        driver.runUntilIdle(); // the panel's answer runs the download, which waits on this thread
    }
    void sendFirmware(const Bytes& firmware) {
        dialogs.queueAnswer(write("fw_1.4.9.bin", firmware));
        controller->browseFile();
        controller->sendFW();
        ASSERT_TRUE(pumpUntil([&] { return !controller->transferRunning(); }));
        controller->waitForTransfers();
        driver.runUntilIdle();
    }

    HookedSleeper realSleeper;
    std::shared_ptr<platform::midi::AlsaServer> alsa;
    std::unique_ptr<emulation::RawMidiInstrument> instrument;
    std::unique_ptr<UsbGadget> gadget;
    fs::path dir;
};

TEST_F(KernelInstrument, OpensInBothFramingsAndTransfersFirmwareBanksAndTuningTables) {
    openToskar("1.0.6");
    EXPECT_EQ(controller->state().use_manufacturer_id, 0);
    ASSERT_FALSE(emulator().received().empty());
    EXPECT_EQ(emulator().received().front(), hex("F0 02 15 F7"));

    // An instrument that answers only with the manufacturer ID is read on the second query.
    emulator().setFraming(Framing::manufacturerID);
    emulator().clearLog();
    openToskar("1.0.6");
    EXPECT_EQ(controller->state().use_manufacturer_id, 1);
    const auto queries = emulator().received();
    ASSERT_GE(queries.size(), 2u);
    EXPECT_EQ(queries[0], hex("F0 02 15 F7"));
    EXPECT_EQ(queries[1], hex("F0 00 66 2B 02 15 F7"));

    // Firmware: block 1 prepares, every later block but the last waits for its acknowledge.
    const Bytes firmware = pattern(4 * 256, 0xFF);
    emulator().clearLog();
    sendFirmware(firmware);
    EXPECT_EQ(o().log->text(), "Firmware Successfuly Updated");
    // The last block is not acknowledged: the job may end while it is still on its way.
    EXPECT_TRUE(pumpUntil([&] { return emulator().state().firmwareImage().has_value(); }));
    EXPECT_EQ(emulator().state().firmwareImage(), firmware);
    const auto replies = emulator().sent();
    EXPECT_EQ(std::count(replies.begin(), replies.end(), hex("F0 00 66 2B 02 25 F7")), 3);
    EXPECT_EQ(alertMessages(), Strings{});

    // Three records up, then the whole bank down as the instrument now holds it.
    const Bytes factory = bank(3);
    const Bytes records = pattern(3 * 256, 0x7F);
    dialogs.queueAnswer(write("upload.p", records));
    controller->BrowseBankFile();
    o().BankNumber->setCurrentIndex(4);
    controller->SendBankFile();
    ASSERT_TRUE(pumpUntil([&] { return !controller->transferRunning(); }));
    controller->waitForTransfers();
    driver.runUntilIdle();
    EXPECT_EQ(o().SendBank_outlet->text(), "Send");
    Bytes expected = factory;
    std::copy(records.begin(), records.end(), expected.begin());
    EXPECT_TRUE(pumpUntil([&] { return bank(3) == expected; }));
    const auto downloaded = dir / "Toskar_bnk2.p";
    downloadBank(4, downloaded.string());
    EXPECT_EQ(read(downloaded), expected);
    EXPECT_EQ(alertMessages(), Strings{});

    // On 1.2.1 the tuning slots are listed, and a slot's table is fetched into a .syx file.
    emulator().setVersion({1, 2, 1});
    emulator().clearLog();
    openToskar("1.2.1");
    ASSERT_EQ(o().program_names_list->count(), 128);
    EXPECT_EQ(o().program_names_list->itemText(1), "2: Werckmeister III");
    o().program_names_list->setCurrentIndex(1);
    emulator().clearLog();
    const auto table = dir / "fetched.syx";
    dialogs.clearRequests();
    dialogs.queueAnswer(table.string());
    click(o().mts_download_bank_outlet);
    ASSERT_EQ(dialogs.requests().size(), 1u);
    EXPECT_EQ(dialogs.requests()[0].nameFieldStringValue, "Werckmeister III.syx");
    EXPECT_EQ(emulator().received(), std::vector<Bytes>{hex("F0 00 66 2B 02 32 01 F7")});
    ASSERT_EQ(emulator().sent().size(), 1u);
    EXPECT_EQ(emulator().sent().back().size(), 408u);
    EXPECT_EQ(read(table), emulator().sent().back());
    EXPECT_EQ(alertMessages(), Strings{});
}

TEST_F(KernelInstrument, SilenceAndUnplugsMidTransferAreToldAndKeepTheUsersFile) {
    openToskar("1.0.6");
    const auto target = write("Toskar_bnk2.p", {1, 2, 3});
    const auto afterTenRequests = [this](const std::function<void()>& fault) {
        emulator().clearLog();
        realSleeper.afterSleep = [this, fault, done = false]() mutable {
            if (!done && emulator().received().size() >= 10) {
                done = true;
                fault();
            }
        };
    };

    // Silent: the time-out alert; still listed and open.
    afterTenRequests([this] { emulator().setFaults({.silent = true}); });
    downloadBank(4, target);
    realSleeper.afterSleep = nullptr;
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, try again 3"});
    EXPECT_EQ(read(target), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
    driver.runUntilIdle();
    EXPECT_EQ(items(o().devicesList), Strings{toskar});
    EXPECT_EQ(o().DeviceStatus->text().toStdString(), toskar + " Opened");

    // Unplugged: the disconnect alert, and the instrument leaves the list.
    emulator().setFaults({});
    dialogs.clearRequests();
    afterTenRequests([this] { unplug(); });
    downloadBank(4, target);
    realSleeper.afterSleep = nullptr;
    EXPECT_EQ(dialogs.alerts(), (std::vector<DialogRequest>{DialogRequest::alert(
                                    {.messageText = "Error",
                                     .informativeText = "The device was disconnected, the bank was not "
                                                        "fully received!"})}));
    EXPECT_EQ(read(target), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);
    EXPECT_TRUE(pumpUntil([&] { return o().devicesList->count() == 0; }));
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");

    // Plugged in again it is listed and opens; unplugged mid-update, "Update Failed" stays shown.
    replugAndOpen();
    dialogs.clearRequests();
    emulator().clearLog();
    realSleeper.afterSleep = [this, done = false]() mutable {
        if (!done && emulator().received().size() >= 3) {
            done = true;
            unplug();
        }
    };
    sendFirmware(pattern(8 * 256, 0xFF));
    realSleeper.afterSleep = nullptr;
    ASSERT_TRUE(pumpUntil([&] { return o().devicesList->count() == 0; }));
    EXPECT_EQ(o().log->text(), "Update Failed");
    EXPECT_EQ(o().progressBar->value(), 0);
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
    EXPECT_EQ(alertMessages(), Strings{});
    EXPECT_LT(emulator().state().firmwareBlocks.size(), 8u);

    replugAndOpen();
    EXPECT_EQ(alertMessages(), Strings{});
}

TEST_F(KernelInstrument, EightBitNamesAreRefusedCutRepliesNamedAndAnUnplugLogsNoError) {
    platform::ScopedLogCapture capture;
    const auto errorLines = [&] {
        Strings out;
        for (const auto& entry : capture.entries())
            if (entry.level == platform::LogLevel::error) out.push_back(entry.text);
        return out;
    };
    const auto cameInstead = [](const std::string& line, const std::string& missing) {
        return line.find(missing + ", but ") != std::string::npos &&
               line.find(" pitch bend") != std::string::npos;
    };

    // Slot 3's name holds E9: the kernel cuts its reply into pitch bends.
    emulator().setVersion({1, 2, 1});
    openToskar("1.2.1");
    EXPECT_EQ(o().program_names_list->itemText(2), "3: ");
    auto errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(cameInstead(errors[0], "No name arrived for tuning slot 3")) << errors[0];

    capture.clear();
    o().program_names_list->setCurrentIndex(2);
    dialogs.clearRequests();
    dialogs.queueAnswer((dir / "Pythagore.syx").string());
    click(o().mts_download_bank_outlet);
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, please try again 1"});
    errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(cameInstead(errors[0], "No tuning table arrived for slot 3")) << errors[0];

    // A typed "é" is refused before anything goes out; the name typed next is the first to arrive.
    dialogs.clearRequests();
    emulator().clearLog();
    o().ProgramName->setText(QString::fromUtf8("Caf\xC3\xA9"));
    controller->SaveProgram();
    EXPECT_EQ(alertMessages(), Strings{"Name can't use \"\xC3\xA9\": its byte E9 cannot cross a MIDI cable "
                                       "inside a SysEx. Use ASCII characters only!"});
    o().ProgramName->setText("Cafe");
    controller->SaveProgram();
    ASSERT_TRUE(pumpUntil([&] { return !emulator().received().empty(); }));
    EXPECT_EQ(emulator().received(),
              std::vector<Bytes>{hex("F0 02 11 43 61 66 65 00 00 00 00 00 00 00 00 00 00 00 00 F7")});

    // An unplug closes the instrument without an error line.
    capture.clear();
    unplug();
    ASSERT_TRUE(pumpUntil([&] { return o().devicesList->count() == 0; }));
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
    EXPECT_EQ(errorLines(), Strings{});
}

TEST_F(KernelInstrument, FailedSendsAndADecomposedAccentAreAlertedAndChangeNothing) {
    emulator().setVersion({1, 2, 1});
    openToskar("1.2.1");
    ASSERT_FALSE(o().microtuning_switch->isChecked());
    o().ProgramName->setText("Held");
    const auto before = emulator().state();
    emulator().clearLog();

    // A dump whose name holds E9, as one fetched from a program may: the kernel's MIDI driver
    // would read that byte as a status byte, so the sequencer backend refuses it.
    Bytes dump{0xF0, 0x7E, 0x00, 0x08, 0x01, 0x00, 'C', 'a', 'f', 0xE9};
    dump.resize(406, 0x00);
    dump.push_back(0x00);
    dump.push_back(0xF7);
    dialogs.clearRequests();
    dialogs.queueAnswer(write("Caf\xC3\xA9.syx", dump));
    controller->SendMTS();
    EXPECT_EQ(alertMessages(),
              Strings{"The tuning file was not sent: the SysEx holds the byte E9, which cannot "
                      "cross a MIDI cable inside a SysEx."});
    EXPECT_FALSE(o().microtuning_switch->isChecked());
    EXPECT_EQ(o().microtuning_switch->text(), "Off");
    EXPECT_EQ(o().ProgramName->text(), "Held");

    // Typed as e and a combining acute: refused as the one letter is, before anything goes out.
    dialogs.clearRequests();
    o().ProgramName->setText(QString::fromUtf8("Cafe\xCC\x81"));
    controller->SaveProgram();
    EXPECT_EQ(alertMessages(), Strings{"Name can't use \"\xC3\xA9\": its byte E9 cannot cross a MIDI cable "
                                       "inside a SysEx. Use ASCII characters only!"});
    // The first message to arrive is the name sent next: nothing went out before it.
    o().ProgramName->setText("Cafe");
    controller->SaveProgram();
    ASSERT_TRUE(pumpUntil([&] { return !emulator().received().empty(); }));
    EXPECT_EQ(emulator().received(),
              std::vector<Bytes>{hex("F0 02 11 43 61 66 65 00 00 00 00 00 00 00 00 00 00 00 00 F7")});
    EXPECT_EQ(emulator().state().microtuning, before.microtuning);
    EXPECT_EQ(emulator().state().liveTuningName, before.liveTuningName);

    // Unplugged, and the window not told yet (its main queue has not run): the name goes nowhere,
    // and says so.
    unplug();
    // The guest's kernel may list destinations of its own (Midi Through): the instrument's is the one
    // that goes.
    const auto listed = [&] {
        const auto names = midi->destinationNames();
        return std::find(names.begin(), names.end(), toskar) != names.end();
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (listed() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(listed());
    dialogs.clearRequests();
    o().ProgramName->setText("Gone");
    controller->SaveProgram();
    EXPECT_EQ(alertMessages(), Strings{"The name was not sent: the device is no longer connected."});
    EXPECT_EQ(emulator().state().programNameText(), "Cafe");
}

} // namespace
