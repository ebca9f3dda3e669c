#include "testing/ControllerHarness.h"
#include "testing/HexBytes.h"

#include <any>

using malvo::test::Bytes;
using malvo::test::ControllerHarness;
using malvo::test::hex;
using Strings = std::vector<std::string>;

namespace {

class LiveReports : public ControllerHarness {};

TEST_F(LiveReports, KeyReportsReachTheTuningControlsOnlyThroughTheMainQueue) {
    auto& toskar = plug("Toskar MK2");
    makeWindow();
    open("Toskar MK2");
    toskar.reportKey(60, 60, 0x40, 0x00); // half a semitone up
    settle();
    EXPECT_EQ(controller->state().currentNote, 60);
    EXPECT_EQ(o().NoteNum->text(), "Note Off"); // not yet: the MIDI thread only queued it
    driver.runUntilIdle();
    EXPECT_EQ(o().NoteNum->text(), "60");
    EXPECT_EQ(o().SemiSet->text(), "60.5");
    EXPECT_EQ(o().FreqSet->text(), "538.584"); // key 57 is the 440 Hz reference
    EXPECT_EQ(o().BaseFreq->text(), "523.251");
    EXPECT_TRUE(o().plus001button->isEnabled());
    EXPECT_TRUE(o().ResetButton->isEnabled());

    toskar.reportKey(57, 57, 0, 0);
    settleAll();
    EXPECT_EQ(o().FreqSet->text(), "440.0");
    EXPECT_EQ(o().BaseFreq->text(), "440.0");

    toskar.pressKey(150); // no key: nothing changes on screen
    settleAll();
    EXPECT_EQ(controller->state().currentNote, 150);
    EXPECT_EQ(o().NoteNum->text(), "57");

    toskar.releaseKey();
    settleAll();
    EXPECT_EQ(o().NoteNum->text(), "Note off");
    EXPECT_TRUE(o().SemiSet->text().isEmpty());
    EXPECT_FALSE(o().plus01button->isEnabled());
    EXPECT_EQ(dialogs.offMainThreadCount(), 0u);
}

TEST_F(LiveReports, TheTimerAnswersStateAndListChanges) {
    auto& toskar = plug("Toskar MK2");
    makeWindow();
    open("Toskar MK2");
    toskar.clearLog();
    toskar.stateChanged();
    toskar.listChanged();
    settleAll();
    driver.advance(std::chrono::milliseconds(100));
    settleAll();
    const auto received = toskar.received();
    ASSERT_EQ(received.size(), 129u);
    EXPECT_EQ(received.front(), hex("F0 02 33 00 F7"));
    EXPECT_EQ(received[127], hex("F0 02 33 7F F7"));
    EXPECT_EQ(received.back(), hex("F0 02 14 F7"));
    EXPECT_EQ(o().program_names_list->count(), 128); // refilled, never grown

    // A program change clears the name being typed.
    o().ProgramName->setText("Lead");
    toskar.programChanged();
    settleAll();
    EXPECT_TRUE(o().ProgramName->text().isEmpty());
}

TEST_F(LiveReports, WithNothingOpenPendingReportsAreDroppedWithoutAlerts) {
    auto& toskar = plug("Toskar MK2");
    makeWindow();
    open("Toskar MK2");
    toskar.stateChanged();
    toskar.listChanged();
    settle();
    controller->closeButton();
    driver.advance(std::chrono::milliseconds(300));
    EXPECT_EQ(controller->state().state_changed, 0);
    EXPECT_EQ(controller->state().need_update_list, 0);
    EXPECT_TRUE(dialogs.requests().empty());
}

TEST_F(LiveReports, AMicrotuningStateOutOfRangeAlerts) {
    auto& orvane = plug("ORVANE");
    orvane.modifyState([](emulation::InstrumentState& s) { s.microtuning = 2; });
    makeWindow();
    open("ORVANE");
    // 2 is also what the query waits to see change, so the query times out as well.
    EXPECT_EQ(alertMessages(), (Strings{"Something went wrong, try again 2", "Wrong state!"}));
    EXPECT_EQ(dialogs.offMainThreadCount(), 0u);
    EXPECT_FALSE(o().microtuning_switch->isChecked());

    // Switched on at the instrument and reported.
    orvane.modifyState([](emulation::InstrumentState& s) { s.microtuning = 1; });
    controller->queryMicrotuningState();
    settleAll();
    EXPECT_TRUE(o().microtuning_switch->isChecked());
    EXPECT_EQ(o().microtuning_switch->text(), "On");
    EXPECT_TRUE(o().noteonoff_switch->isEnabled());
}

TEST_F(LiveReports, ASilentSlotKeepsItsNameOfThisSession) {
    auto& velmor = plug("Velmor");
    makeWindow();
    open("Velmor");
    const auto first = velmor.state().slots[1].name;
    ASSERT_EQ(o().program_names_list->itemText(1).toStdString(), "2: " + first);
    velmor.setFaults({.silentSlots = {1}});
    velmor.modifyState([](emulation::InstrumentState& s) { s.slots[0].name = "Renamed"; });
    controller->refreshTuningNames();
    settleAll();
    EXPECT_EQ(o().program_names_list->itemText(0).toStdString(), "1: Renamed");
    EXPECT_EQ(o().program_names_list->itemText(1).toStdString(), "2: " + first);
    EXPECT_EQ(o().program_names_list->count(), 128);
}

TEST_F(LiveReports, TheReceiverPostsControllersAndEverySysExAndNothingElse) {
    auto& velmor = plug("Velmor");
    makeWindow();
    open("Velmor");
    std::vector<std::string> posted;
    std::vector<Bytes> sysex;
    int observer = 0;
    center.addObserver(&observer, "CCGet", [&](const platform::Notification& n) {
        posted.push_back("CCGet " + std::to_string(std::any_cast<std::uint8_t>(n.userInfo.at("cc"))) + " " +
                         std::to_string(std::any_cast<std::uint8_t>(n.userInfo.at("val"))) + " " +
                         std::to_string(std::any_cast<std::uint8_t>(n.userInfo.at("ch"))));
    });
    center.addObserver(&observer, "SysexGet", [&](const platform::Notification& n) {
        sysex.push_back(std::any_cast<Bytes>(n.userInfo.at("data")));
    });
    velmor.sendRaw(hex("B3 07 64"));
    velmor.sendRaw(hex("93 3C 40 83 3C 00 C3 05 E3 00 40 D3 10"));
    velmor.sendRaw(hex("F0 7D 01 02 F7")); // not the instrument's, still posted
    settleAll();
    center.removeObserver(&observer);
    EXPECT_EQ(posted, Strings{"CCGet 7 100 3"});
    EXPECT_EQ(sysex, std::vector<Bytes>{hex("F0 7D 01 02 F7")});
    EXPECT_EQ(controller->state().currentNote, 150);
}

} // namespace
