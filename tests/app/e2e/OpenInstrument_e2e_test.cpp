#include "testing/ControllerHarness.h"
#include "testing/HexBytes.h"

#include "emulator/EmulatedInstruments.h"
#include "platform/midi/inprocess/ExternalEndpoint.h"

using malvo::test::ControllerHarness;
using malvo::test::hex;
using Strings = std::vector<std::string>;

namespace {

class OpenInstrument : public ControllerHarness {};

TEST_F(OpenInstrument, StartsWithNothingOpenAndTheVersionInTheTitle) {
    bundle.setValue("CFBundleShortVersionString", "2.0.1");
    makeWindow();
    EXPECT_EQ(window->view().windowTitle(), "Malvo Updater v2.0.1");
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
    EXPECT_EQ(o().NoteNum->text(), "Note Off");
    EXPECT_EQ(o().devicesList->count(), 0);
    EXPECT_EQ(o().program_names_list->count(), 0);
    for (QWidget* control : std::initializer_list<QWidget*>{
             o().ResetButton, o().minus01button, o().minus001button, o().plus01button, o().plus001button,
             o().mts_download_bank_outlet, o().ProgramName, o().microtuning_switch, o().noteonoff_switch,
             o().program_names_list}) {
        SCOPED_TRACE(control->objectName().toStdString());
        EXPECT_FALSE(control->isEnabled());
    }
    const auto& state = controller->state();
    EXPECT_EQ(state.currentNote, 150);
    EXPECT_EQ(state.version1, 1);
    EXPECT_EQ(state.mtuning_get_state, 2);
    EXPECT_EQ(state.device_model, 2);
    EXPECT_FALSE(controller->currentDevice());
    EXPECT_TRUE(dialogs.requests().empty());
}

TEST_F(OpenInstrument, DetectionListsInstrumentsByExactPortNameInServerOrder) {
    MIDIEndpointRef other = 0;
    server->addExternalSource({.name = "USB Keys"}, &other);
    plug("Velmor");
    plug("Toskar MK2");
    makeWindow();
    EXPECT_EQ(items(o().devicesList), (Strings{"Velmor", "Toskar MK2"}));
    EXPECT_EQ(controller->state().device_model, 2); // the last one listed

    // Near misses are no instruments; a new instrument is listed on the setup change.
    MIDIEndpointRef nearMiss = 0;
    server->addExternalSource({.name = "Velmor "}, &nearMiss);
    server->addExternalSource({.name = "toskar"}, &nearMiss);
    plug("Pellandor");
    EXPECT_EQ(items(o().devicesList), (Strings{"Velmor", "Toskar MK2", "Pellandor"}));
    EXPECT_EQ(controller->state().device_model, 1);

    // Unplugged ones leave the list, which is rebuilt from the ports of now.
    choose("Toskar MK2");
    instruments[0]->unplug(); // Velmor
    instruments[2]->unplug(); // Pellandor
    settleAll();
    EXPECT_EQ(items(o().devicesList), (Strings{"Toskar MK2"}));
    EXPECT_EQ(o().devicesList->currentText(), "Toskar MK2");
    EXPECT_EQ(controller->state().device_model, 2);

    plug("ORVANE");
    EXPECT_EQ(controller->state().device_model, 4);
    instruments[1]->unplug();
    instruments[3]->unplug();
    settleAll();
    EXPECT_EQ(o().devicesList->count(), 0);
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
}

TEST_F(OpenInstrument, TheDemoRunsInstrumentIsListedAndOpens) {
    // As the app starts with SONABEL_MIDI_EMULATE="Toskar MK2": a reply thread on the real clock.
    auto demo = emulation::attachEmulatedInstruments(*server, "Toskar MK2");
    instruments.insert(instruments.end(), demo.begin(), demo.end());
    makeWindow();
    EXPECT_EQ(items(o().devicesList), Strings{"Toskar MK2"});
    choose("Toskar MK2");
    controller->openButton();
    EXPECT_EQ(o().DeviceStatus->text(), "Toskar MK2 Opened");
    EXPECT_NE(o().log->text(), "Firmware Version Unknown");
}

TEST_F(OpenInstrument, ADemoInstrumentWithAHeldKeyEnablesLiveTuningOnOpen) {
    auto demo = emulation::attachEmulatedInstruments(*server, "Toskar MK2+key=60");
    instruments.insert(instruments.end(), demo.begin(), demo.end());
    makeWindow();
    choose("Toskar MK2");
    controller->openButton();
    settleAll();
    EXPECT_EQ(o().NoteNum->text(), "60");
    EXPECT_EQ(o().SemiSet->text(), "60.0");
    EXPECT_TRUE(o().plus01button->isEnabled());
    for (const auto& sent : demo[0]->sent()) {
        EXPECT_NE(sent, hex("F0 02 10 F7"));
        EXPECT_NE(sent, hex("F0 00 66 2B 02 10 F7"));
    }
}

TEST_F(OpenInstrument, ReadsTheVersionInWhicheverFramingTheInstrumentSpeaks) {
    auto& plain = plug("Toskar MK2", Framing::plain, emulation::FirmwareVersion{1, 3, 12});
    auto& withID = plug("Velmor", Framing::manufacturerID, emulation::FirmwareVersion{1, 0, 0});
    makeWindow();

    open("Toskar MK2");
    EXPECT_EQ(o().DeviceStatus->text(), "Toskar MK2 Opened");
    EXPECT_EQ(o().log->text(), "Firmware Version 1.3.12");
    EXPECT_EQ(controller->state().use_manufacturer_id, 0);
    const auto toskar = plain.received();
    ASSERT_GE(toskar.size(), 2u);
    EXPECT_EQ(toskar[0], hex("F0 02 15 F7"));
    EXPECT_EQ(toskar[1], hex("F0 02 30 F7")); // then the gate's state query, plain

    // Answers only the second query, about one second after Open; from then on with the ID.
    const int sleepsBefore = sleeper.calls;
    open("Velmor");
    EXPECT_EQ(o().log->text(), "Firmware Version 1.0.0");
    EXPECT_EQ(controller->state().use_manufacturer_id, 1);
    EXPECT_EQ(sleeper.calls - sleepsBefore, 100);
    EXPECT_EQ(withID.received(),
              (std::vector<malvo::test::Bytes>{hex("F0 03 15 F7"), hex("F0 00 66 2B 03 15 F7")}));
    controller->requestState();
    settleAll();
    EXPECT_EQ(withID.received().back(), hex("F0 00 66 2B 03 14 F7"));
    // Opening again starts plain.
    open("Velmor");
    EXPECT_EQ(withID.received()[3], hex("F0 03 15 F7"));
}

TEST_F(OpenInstrument, ASilentInstrumentShowsAnUnknownVersionAndGetsNoTuningFeatures) {
    auto& toskar = plug("Toskar MK1");
    toskar.setFaults({.silent = true});
    makeWindow();
    const int sleepsBefore = sleeper.calls;
    open("Toskar MK1");
    EXPECT_EQ(sleeper.calls - sleepsBefore, 198); // two waits of 99 polls
    EXPECT_EQ(o().log->text(), "Firmware Version Unknown");
    EXPECT_EQ(items(o().BankNumber).front(), "HV");
    EXPECT_FALSE(o().microtuning_switch->isEnabled());
    EXPECT_FALSE(o().send_tune_file_outlet->isEnabled());
    EXPECT_TRUE(o().ProgramName->isEnabled());
    EXPECT_TRUE(dialogs.requests().empty());
}

TEST_F(OpenInstrument, FeatureGatesFollowModelAndFirmware) {
    struct Case {
        std::string port;
        emulation::FirmwareVersion version;
        bool tuning;
        int slots;
    };
    const std::vector<Case> cases = {
        {"Pellandor", {1, 3, 11}, false, 0}, {"Pellandor", {1, 3, 12}, true, 10},
        {"Toskar", {1, 2, 0}, false, 0},     {"Toskar MK2", {1, 2, 1}, true, 128},
        {"Velmor", {1, 0, 0}, false, 0},     {"Velmor", {1, 0, 1}, true, 128},
        {"ORVANE", {1, 0, 0}, true, 128},
    };
    makeWindow();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port + " " + std::to_string(c.version.major) + "." + std::to_string(c.version.minor) +
                     "." + std::to_string(c.version.patch));
        auto& instrument = plug(c.port, Framing::both, c.version);
        open(c.port);
        EXPECT_EQ(o().microtuning_switch->isEnabled(), c.tuning);
        EXPECT_EQ(o().send_tune_file_outlet->isEnabled(), c.tuning);
        EXPECT_EQ(o().program_names_list->isEnabled(), c.tuning);
        EXPECT_EQ(o().program_names_list->count(), c.slots);
        if (!c.tuning) {
            EXPECT_FALSE(o().noteonoff_switch->isEnabled());
        }
        if (c.tuning) {
            const auto names = instrument.state().slots;
            EXPECT_EQ(o().program_names_list->itemText(0).toStdString(), "1: " + names[0].name);
            EXPECT_EQ(o().mts_download_bank_outlet->isEnabled(), names[0].name != "empty");
            // The factory state is microtuning off.
            EXPECT_EQ(o().microtuning_switch->text(), "Off");
        }
        const bool firmware = c.port != "ORVANE";
        EXPECT_EQ(o().OpenFirmwareOutlet->isEnabled(), firmware);
        EXPECT_EQ(o().SendFirmwareOutlet->isEnabled(), firmware);
        EXPECT_EQ(items(o().BankNumber), items(o().DownloadBankNumber));
        EXPECT_EQ(o().BankNumber->currentIndex(), 0);
        if (c.port == "ORVANE") {
            EXPECT_EQ(items(o().BankNumber).back(), "Layers");
        }
        if (c.port == "Toskar MK2") {
            EXPECT_EQ(items(o().BankNumber).front(), "WBTL");
        }
        EXPECT_TRUE(dialogs.requests().empty());
        instruments.back()->unplug();
        instruments.pop_back();
        settleAll();
    }
}

TEST_F(OpenInstrument, SwitchingInstrumentsReachesOnlyTheNewOne) {
    auto& velmor = plug("Velmor");
    auto& toskar = plug("Toskar MK2");
    makeWindow();
    open("Velmor");
    EXPECT_EQ(controller->state().device_model, 3);
    velmor.clearLog();
    open("Toskar MK2");
    EXPECT_EQ(controller->state().device_model, 2);
    toskar.clearLog();
    controller->requestState();
    settleAll();
    EXPECT_TRUE(velmor.received().empty());
    EXPECT_EQ(toskar.received(), std::vector<malvo::test::Bytes>{hex("F0 02 14 F7")});
    EXPECT_EQ(midi->inputPorts().size(), 1u);

    // Replies of the instrument that was closed no longer arrive.
    velmor.stateChanged();
    settleAll();
    EXPECT_EQ(controller->state().state_changed, 0);

    controller->closeButton();
    EXPECT_TRUE(midi->endpoints().empty());
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
}

TEST_F(OpenInstrument, AnInstrumentWithoutDestinationIsNotOpened) {
    MIDIEndpointRef source = 0;
    server->addExternalSource({.name = "Velmor"}, &source);
    makeWindow();
    open("Velmor");
    EXPECT_EQ(alertMessages(), Strings{"Device not found!"});
    EXPECT_FALSE(controller->currentDevice());
    EXPECT_TRUE(midi->endpoints().empty());
    EXPECT_EQ(dialogs.offMainThreadCount(), 0u);
}

TEST_F(OpenInstrument, UnpluggingTheOpenInstrumentClosesIt) {
    auto& toskar = plug("Toskar MK2");
    makeWindow();
    open("Toskar MK2");
    ASSERT_TRUE(o().microtuning_switch->isEnabled());
    toskar.unplug();
    settleAll();
    EXPECT_FALSE(controller->currentDevice());
    EXPECT_EQ(o().DeviceStatus->text(), "No Connections");
    EXPECT_TRUE(o().log->text().isEmpty());
    EXPECT_FALSE(o().microtuning_switch->isEnabled());
    EXPECT_FALSE(o().program_names_list->isEnabled());
    EXPECT_EQ(o().program_names_list->count(), 0);
    EXPECT_TRUE(midi->inputPorts().empty());
    EXPECT_TRUE(midi->endpoints().empty());

    // Plugged in again, it is listed and opens as before.
    toskar.replug();
    settleAll();
    open("Toskar MK2");
    EXPECT_EQ(o().DeviceStatus->text(), "Toskar MK2 Opened");
    EXPECT_TRUE(dialogs.requests().empty());
}

} // namespace
