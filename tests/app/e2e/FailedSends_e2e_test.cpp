// Sends of the window that the MIDI server does not get out: refused, toward an instrument that is
// gone, or toward a receiver that takes nothing. Each is told in an alert that says what and why,
// and the window claims nothing that did not happen.
#include "platform/core/LogSink.h"
#include "testing/ControllerHarness.h"
#include "testing/HexBytes.h"
#include "testing/RefusingServer.h"

#include <filesystem>
#include <string>
#include <unistd.h>

using malvo::test::Bytes;
using malvo::test::ControllerHarness;
using platform::midi::SendFailure;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

enum class Failure { refused, gone, stalled };

struct FailureCase {
    Failure failure;
    // How the alerts end.
    std::string why;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.why;
}

std::string nameOf(const ::testing::TestParamInfo<FailureCase>& info) {
    switch (info.param.failure) {
    case Failure::refused:
        return "Refused";
    case Failure::gone:
        return "DeviceGone";
    case Failure::stalled:
        return "ReceiverTookNothing";
    }
    return "";
}

const std::string eightBit = "the SysEx holds the byte E9, which cannot cross a MIDI cable inside a SysEx";
const std::string tookNothing = "the receiver took nothing for 10000 ms";

// A tuning dump whose name holds E9, as a table fetched from a program may.
Bytes dumpNamedWithE9() {
    Bytes dump{0xF0, 0x7E, 0x00, 0x08, 0x01, 0x00, 'C', 'a', 'f', 0xE9};
    dump.resize(406, 0x00);
    dump.push_back(0x00);
    dump.push_back(0xF7);
    return dump;
}

class FailedSends : public ControllerHarness, public ::testing::WithParamInterface<FailureCase> {
protected:
    FailedSends() { midi = sonabel::MIDI::make({.server = refusing}); }

    void SetUp() override {
        std::string made = (fs::temp_directory_path() / "malvo-failed-sends-XXXXXX").string();
        ASSERT_NE(::mkdtemp(made.data()), nullptr);
        dir = made;
    }
    void TearDown() override {
        refusing->allow();
        if (controller) controller->waitForTransfers();
        fs::remove_all(dir);
    }

    emulation::InstrumentEmulator& ready(const std::string& port,
                                         std::optional<emulation::FirmwareVersion> version = {}) {
        auto& instrument = plug(port, Framing::both, version);
        makeWindow();
        open(port);
        instrument.clearLog();
        dialogs.clearRequests();
        return instrument;
    }
    // From now on every send fails as the case says. An instrument that is gone is unplugged for
    // real; the window learns of it only when its main queue runs, which the single sends below
    // do not let happen.
    void failSends(emulation::InstrumentEmulator& instrument) {
        switch (GetParam().failure) {
        case Failure::refused:
            refusing->refuse(kMIDIMessageSendErr, {SendFailure::Kind::refused, eightBit});
            break;
        case Failure::stalled:
            refusing->refuse(kMIDIMessageSendErr, {SendFailure::Kind::stalled, tookNothing});
            break;
        case Failure::gone:
            instrument.unplug();
            settle();
            break;
        }
    }
    std::string alert(const std::string& whatFailed) const {
        return whatFailed + ": " + GetParam().why + ".";
    }
    std::string write(const std::string& name, const Bytes& bytes) { return writeFile(dir / name, bytes); }

    std::shared_ptr<miditest::RefusingServer> refusing = std::make_shared<miditest::RefusingServer>(server);
    fs::path dir;
};

// Where an unplug is caught before anything is sent (transfers look between records, an instrument
// that is gone is not listed to open), only a refusal or a receiver that takes nothing fails at
// the send.
class RefusedOrStalled : public FailedSends {};

} // namespace

TEST_P(FailedSends, ASingleSendIsAlertedAndChangesNothingInTheWindow) {
    auto& orvane = ready("ORVANE");
    o().ProgramName->setText("Held");
    controller->state().currentNote = 60;
    o().SemiSet->setText("60.00");
    const auto before = orvane.state();
    ASSERT_FALSE(o().microtuning_switch->isChecked());
    failSends(orvane);

    // A dump that went nowhere: no switch flipped, no name taken.
    dialogs.queueAnswer(write("Caf\xC3\xA9.syx", dumpNamedWithE9()));
    controller->SendMTS();
    EXPECT_EQ(alertMessages(), Strings{alert("The tuning file was not sent")});
    EXPECT_FALSE(o().microtuning_switch->isChecked());
    EXPECT_EQ(o().microtuning_switch->text(), "Off");
    EXPECT_FALSE(o().noteonoff_switch->isEnabled());
    EXPECT_EQ(o().ProgramName->text(), "Held");

    dialogs.clearRequests();
    controller->SaveProgram();
    EXPECT_EQ(alertMessages(), Strings{alert("The name was not sent")});

    // The click moved the switch; it goes back.
    dialogs.clearRequests();
    QTest::mouseClick(o().microtuning_switch, Qt::LeftButton);
    EXPECT_EQ(alertMessages(), Strings{alert("Microtuning was not switched on")});
    EXPECT_FALSE(o().microtuning_switch->isChecked());
    EXPECT_EQ(o().microtuning_switch->text(), "Off");
    EXPECT_FALSE(o().noteonoff_switch->isEnabled());

    dialogs.clearRequests();
    controller->Increase();
    EXPECT_EQ(alertMessages(), Strings{alert("The tuning of note 60 was not sent")});
    EXPECT_EQ(o().SemiSet->text(), "60.00");

    dialogs.clearRequests();
    controller->queryMicrotuningState();
    EXPECT_EQ(alertMessages(), Strings{alert("The microtuning state was not requested")});

    settle();
    EXPECT_TRUE(orvane.received().empty());
    const auto after = orvane.state();
    EXPECT_EQ(after.programName, before.programName);
    EXPECT_EQ(after.microtuning, before.microtuning);
    EXPECT_EQ(after.liveTuningName, before.liveTuningName);
}

TEST_P(RefusedOrStalled, AnInstrumentThatCannotBeAskedItsVersionIsNotOpened) {
    auto& toskar = plug("Toskar MK2", Framing::both, emulation::FirmwareVersion{1, 0, 6});
    makeWindow();
    toskar.clearLog();
    failSends(toskar);
    open("Toskar MK2");
    EXPECT_EQ(alertMessages(), Strings{alert("The version query was not sent")});
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
    EXPECT_FALSE(o().ProgramName->isEnabled());
    EXPECT_FALSE(controller->currentDevice().has_value());
    EXPECT_TRUE(toskar.received().empty());
}

TEST_P(RefusedOrStalled, ATransferThatLostARecordEndsAsFailed) {
    auto& toskar = ready("Toskar MK2", emulation::FirmwareVersion{1, 0, 6});
    const auto banksBefore = toskar.state().banks;
    failSends(toskar);

    dialogs.queueAnswer(write("bank.p", pattern(3 * 256, 0x7F)));
    controller->BrowseBankFile();
    o().BankNumber->setCurrentIndex(4);
    controller->SendBankFile();
    controller->waitForTransfers();
    settleAll();
    EXPECT_EQ(alertMessages(),
              Strings{alert("Record 1 of the bank was not sent") + " The bank was not fully sent!"});
    EXPECT_EQ(o().SendBank_outlet->text(), "Send");
    EXPECT_EQ(o().UploadProgressBar->value(), 0);

    dialogs.clearRequests();
    dialogs.queueAnswer(write("fw_1.4.9.bin", pattern(4 * 256, 0xFF)));
    controller->browseFile();
    controller->sendFW();
    controller->waitForTransfers();
    settleAll();
    EXPECT_EQ(o().log->text(), "Update Failed");
    EXPECT_EQ(alertMessages(), Strings{alert("Block 1 of the firmware was not sent")});

    // The file the download would replace stays as it was.
    dialogs.clearRequests();
    const auto file = write("Toskar_bnk2.p", {1, 2, 3});
    o().DownloadBankNumber->setCurrentIndex(4);
    dialogs.queueAnswer(file);
    controller->DownloadBank();
    settleAll();
    ASSERT_EQ(alertMessages().size(), 1u);
    // Bank 2 as the user chose it, not its byte 03.
    EXPECT_TRUE(alertMessages()[0].starts_with("The request for program 1 of Bank 2 was not sent: "));
    EXPECT_TRUE(alertMessages()[0].ends_with(": " + GetParam().why + ". The bank was not fully received!"))
        << alertMessages()[0];
    EXPECT_EQ(read(file), (Bytes{1, 2, 3}));

    settle();
    EXPECT_TRUE(toskar.received().empty());
    EXPECT_EQ(toskar.state().banks, banksBefore);
    EXPECT_TRUE(toskar.state().firmwareBlocks.empty());
}

INSTANTIATE_TEST_SUITE_P(Each, FailedSends,
                         ::testing::Values(FailureCase{Failure::refused, eightBit},
                                           FailureCase{Failure::gone, "the device is no longer connected"},
                                           FailureCase{Failure::stalled, tookNothing}),
                         nameOf);
INSTANTIATE_TEST_SUITE_P(Each, RefusedOrStalled,
                         ::testing::Values(FailureCase{Failure::refused, eightBit},
                                           FailureCase{Failure::stalled, tookNothing}),
                         nameOf);
