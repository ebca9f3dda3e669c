// The tuning features through the window, against emulated instruments over the in-process MIDI
// server: what the instrument receives and keeps, what the window shows, files read back.
#include "app/protocol/FileBytes.h"
#include "app/protocol/ScalaScale.h"
#include "platform/core/LogSink.h"
#include "testing/ControllerHarness.h"
#include "testing/HexBytes.h"

#include <filesystem>
#include <fstream>

using malvo::test::Bytes;
using malvo::test::ControllerHarness;
using malvo::test::hex;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const char* const justMajor =
    "! Just major.scl\n!\nJust major\n 7\n!\n 9/8\n 5/4\n 4/3\n 3/2\n 5/3\n 15/8\n 2/1\n";

class Tuning : public ControllerHarness {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "malvo-tuning-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& name, std::string_view contents) {
        std::ofstream(dir / name, std::ios::binary) << contents;
        return dir / name;
    }
    void click(QPushButton* button) {
        QTest::mouseClick(button, Qt::LeftButton);
        settleAll();
    }
    // Opens the instrument with its log cleared of what the opening asked.
    emulation::InstrumentEmulator& ready(const std::string& port, Framing framing = Framing::both) {
        auto& instrument = plug(port, framing);
        if (!window) makeWindow();
        open(port);
        instrument.clearLog();
        dialogs.clearRequests();
        return instrument;
    }
    std::string file(const fs::path& path) {
        const auto bytes = malvo::readFileBytes(path, 4096);
        return bytes ? std::string(bytes->begin(), bytes->end()) : "(unreadable)";
    }

    // The contents of the error lines logged, in order.
    static Strings errorLines(const platform::ScopedLogCapture& capture) {
        Strings out;
        for (const auto& entry : capture.entries()) {
            if (entry.level != platform::LogLevel::error) continue;
            // "file:function:line:content (where)"; a function's name may hold colons in parentheses.
            std::size_t at = 0;
            for (int colons = 0, depth = 0; at < entry.text.size() && colons < 3; ++at) {
                depth += (entry.text[at] == '(') - (entry.text[at] == ')');
                colons += depth == 0 && entry.text[at] == ':';
            }
            out.push_back(entry.text.substr(at, entry.text.rfind(" (") - at));
        }
        return out;
    }

    fs::path dir;
};

// What a dump built from these keys leaves in the instrument: keys past the top at the highest
// pitch the dump can carry.
emulation::TuningTable tableOf(const std::array<malvo::mts_note_data, 128>& keys) {
    emulation::TuningTable table;
    for (std::size_t k = 0; k < 128; ++k)
        table.keys[k] = keys[k].semi > 127
                            ? emulation::TuningTable::Pitch{127, 16382}
                            : emulation::TuningTable::Pitch{std::uint8_t(keys[k].semi), keys[k].cents};
    return table;
}

} // namespace

TEST_F(Tuning, AScalaFileRetunesTheInstrumentAndSwitchesMicrotuningOnWithoutAMessage) {
    auto& orvane = ready("ORVANE");
    ASSERT_FALSE(o().microtuning_switch->isChecked());
    dialogs.queueAnswer(write("Just major.scl", justMajor).string());
    click(o().send_tune_file_outlet);

    EXPECT_TRUE(alertMessages().empty());
    const auto received = orvane.received();
    ASSERT_EQ(received.size(), 1u) << "the dump alone";
    EXPECT_EQ(Bytes(received[0].begin(), received[0].begin() + 6), hex("F0 7E 00 08 01 00"));
    const auto state = orvane.state();
    EXPECT_EQ(state.rejectedDumps, 0) << "checksum";
    EXPECT_EQ(state.liveTuningName, "Just major");
    EXPECT_EQ(state.liveTuning, tableOf(malvo::ScalaScale::make(justMajor)->mtsData()));
    EXPECT_EQ(state.liveTuning.keys[61], (emulation::TuningTable::Pitch{62, 640}));
    EXPECT_EQ(state.liveTuning.keys[127], (emulation::TuningTable::Pitch{127, 16382}));
    EXPECT_EQ(o().ProgramName->text(), "Just major");
    EXPECT_TRUE(o().microtuning_switch->isChecked());
    EXPECT_EQ(o().microtuning_switch->text(), "On");
    EXPECT_TRUE(o().noteonoff_switch->isEnabled());
    // Switched on by the instrument itself: a reopen reads it so.
    EXPECT_EQ(state.microtuning, 1);
    open("ORVANE");
    EXPECT_TRUE(o().microtuning_switch->isChecked());

    // A name the wire cannot carry inside a SysEx: the name is shown, nothing is sent.
    orvane.clearLog();
    dialogs.queueAnswer(write("Pythagor\xC3\xA9.scl", justMajor).string());
    click(o().send_tune_file_outlet);
    EXPECT_EQ(alertMessages(),
              Strings{"Tuning name \"Pythagor\xC3\xA9\" can't use \"\xC3\xA9\": its byte E9 "
                      "cannot cross a MIDI cable inside a SysEx. Use ASCII characters only!"});
    EXPECT_EQ(o().ProgramName->text(), "Pythagor\u00e9");
    EXPECT_TRUE(orvane.received().empty());
    dialogs.clearRequests();

    // A refused file: the name is shown, nothing is sent.
    orvane.clearLog();
    dialogs.queueAnswer(write("Broken.scl", "d\n3\n3/2\n2/1\n").string());
    click(o().send_tune_file_outlet);
    EXPECT_EQ(alertMessages(), Strings{"File is not valid!"});
    EXPECT_EQ(o().ProgramName->text(), "Broken");
    EXPECT_TRUE(orvane.received().empty());
}

TEST_F(Tuning, TheDumpNeverCarriesTheMakersIDButLiveTuningDoes) {
    auto& velmor = ready("Velmor", Framing::manufacturerID);
    ASSERT_EQ(controller->state().use_manufacturer_id, 1);
    Bytes dump = hex("F0 7E 00 08 01 00");
    dump.resize(407, 0x00);
    dump.push_back(0xF7);
    dump[406] = 0x7E ^ 0x08 ^ 0x01;
    dialogs.queueAnswer(write("flat.syx", std::string(dump.begin(), dump.end())).string());
    click(o().send_tune_file_outlet);
    ASSERT_EQ(velmor.received().size(), 1u);
    EXPECT_EQ(velmor.received()[0], dump);
    EXPECT_EQ(velmor.state().liveTuning.keys[100], (emulation::TuningTable::Pitch{0, 0}));

    velmor.clearLog();
    velmor.pressKey(60);
    settleAll();
    click(o().plus01button);
    EXPECT_EQ(velmor.received(), std::vector<Bytes>{hex("F0 00 66 2B 7F 03 08 02 00 01 3C 00 0C 66 F7")});
}

TEST_F(Tuning, ASlotTableIsFetchedIntoAFileAndATimeOutKeepsTheOldOne) {
    auto& orvane = ready("ORVANE");
    o().program_names_list->setCurrentIndex(2);
    const fs::path target = dir / "fetched.syx";
    dialogs.queueAnswer(target.string());
    click(o().mts_download_bank_outlet);

    ASSERT_EQ(dialogs.requests().size(), 1u);
    EXPECT_EQ(dialogs.requests()[0].nameFieldStringValue, "Pythagor\u00e9.syx");
    EXPECT_EQ(orvane.received(), std::vector<Bytes>{hex("F0 04 32 02 F7")});
    const std::string fetched = file(target);
    ASSERT_EQ(fetched.size(), 408u);
    EXPECT_EQ(fetched.substr(6, 16), std::string("Pythagor\xE9\0\0\0\0\0\0\0", 16));
    const auto table = orvane.state().slots[2].table;
    for (std::size_t k = 0; k < 128; ++k) {
        const auto at = 22 + 3 * k;
        const std::uint16_t fraction = std::uint16_t((std::uint8_t(fetched[at + 1]) << 7) | fetched[at + 2]);
        ASSERT_EQ((emulation::TuningTable::Pitch{std::uint8_t(fetched[at]), fraction}), table.keys[k]);
    }
    EXPECT_TRUE(alertMessages().empty());

    // Sent back, it is what the slot holds.
    dialogs.queueAnswer(target.string());
    click(o().send_tune_file_outlet);
    EXPECT_EQ(orvane.state().liveTuning, table);

    // A second fetch waits for its own dump: silence, then a dump a second too late.
    orvane.setFaults({.replyDelay = std::chrono::seconds(2)});
    dialogs.clearRequests();
    dialogs.queueAnswer(target.string());
    o().program_names_list->setCurrentIndex(1);
    const int sleepsBefore = sleeper.calls;
    click(o().mts_download_bank_outlet);
    EXPECT_EQ(sleeper.calls - sleepsBefore, 100);
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, please try again 1"});
    deviceClock.advance(2'000'000'000);
    settleAll();
    EXPECT_EQ(orvane.pendingReplies(), 0u);
    EXPECT_EQ(orvane.sent().back().size(), 408u) << "the late dump did come";
    EXPECT_EQ(file(target), fetched);
}

TEST_F(Tuning, WhatCameInPlaceOfAMissingTableIsLogged) {
    platform::ScopedLogCapture capture;
    auto& orvane = ready("ORVANE");
    orvane.setFaults({.silentSlots = {2}});
    // What the kernel's sequencer makes of a table whose name holds E9, and a stray reply.
    sleeper.afterSettling = [&orvane, sent = false]() mutable {
        if (sent || orvane.received().empty()) return;
        sent = true;
        orvane.sendRaw(hex("E9 00 00 E9 00 00 E9 40 00 90 3C 64 F0 04 7D F7"));
    };
    o().program_names_list->setCurrentIndex(2);
    dialogs.queueAnswer((dir / "slot3.syx").string());
    click(o().mts_download_bank_outlet);
    sleeper.afterSettling = nullptr;
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, please try again 1"});
    EXPECT_EQ(errorLines(capture),
              Strings{"No tuning table arrived for slot 3, but 1 note on, 3 pitch bends and 1 other SysEx "
                      "message did"});

    // Silence is named too; what came before the request is not counted.
    capture.clear();
    orvane.sendRaw(hex("E9 00 00"));
    settleAll();
    dialogs.clearRequests();
    dialogs.queueAnswer((dir / "slot3.syx").string());
    click(o().mts_download_bank_outlet);
    EXPECT_EQ(errorLines(capture), Strings{"No tuning table arrived for slot 3, nor anything else"});
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(Tuning, WhatCameInPlaceOfAMissingStateOrBankRecordIsLogged) {
    platform::ScopedLogCapture capture;
    auto& orvane = ready("ORVANE");
    orvane.setFaults({.silent = true});
    // After the request, what the kernel makes of a cut reply; before it, what must not count.
    const auto cutReplyAfterTheRequest = [&] {
        orvane.sendRaw(hex("E0 00 00"));
        settleAll();
        orvane.clearLog();
        sleeper.afterSettling = [&orvane, sent = false]() mutable {
            if (sent || orvane.received().empty()) return;
            sent = true;
            orvane.sendRaw(hex("E9 00 00 E9 40 00 90 3C 64"));
        };
    };

    cutReplyAfterTheRequest();
    controller->queryMicrotuningState();
    sleeper.afterSettling = nullptr;
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, try again 2"});
    EXPECT_EQ(errorLines(capture),
              Strings{"No microtuning state arrived, but 1 note on and 2 pitch bends did"});

    capture.clear();
    dialogs.clearRequests();
    cutReplyAfterTheRequest();
    const auto target = write("bank.p", "old");
    o().DownloadBankNumber->setCurrentIndex(1);
    dialogs.queueAnswer(target.string());
    controller->DownloadBank();
    settleAll();
    sleeper.afterSettling = nullptr;
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, try again 3"});
    const auto lines = errorLines(capture);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "No program 1 of Bank 1 arrived, but 1 note on and 2 pitch bends did");
    EXPECT_EQ(file(target), "old");
}

TEST_F(Tuning, ASlowInstrumentsLateDumpNeverLandsInAnotherSlotsFile) {
    auto& orvane = ready("ORVANE");
    orvane.setFaults({.replyDelay = std::chrono::milliseconds(1500)});
    for (int slot : {1, 2}) {
        o().program_names_list->setCurrentIndex(slot);
        dialogs.queueAnswer((dir / ("slot" + std::to_string(slot) + ".syx")).string());
        click(o().mts_download_bank_outlet);
    }
    EXPECT_EQ(alertMessages(), Strings(2, "Something went wrong, please try again 1"));
    EXPECT_EQ(orvane.received(), (std::vector<Bytes>{hex("F0 04 32 01 F7"), hex("F0 04 32 02 F7")}));
    deviceClock.advance(2'000'000'000);
    settleAll();
    EXPECT_EQ(orvane.pendingReplies(), 0u);
    EXPECT_EQ(orvane.sent().size(), 2u) << "both dumps did come";
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(Tuning, NamesRefreshPassesOverSilentSlots) {
    auto& pellandor = plug("Pellandor");
    pellandor.setFaults({.silentSlots = {1, 4}});
    pellandor.modifyState([](emulation::InstrumentState& s) { s.slots[0].name = "empty"; });
    makeWindow();
    platform::ScopedLogCapture capture;
    const int sleepsBefore = sleeper.calls;
    open("Pellandor");
    EXPECT_EQ(errorLines(capture), (Strings{"No name arrived for tuning slot 2, nor anything else",
                                            "No name arrived for tuning slot 5, nor anything else"}));
    const auto requests = pellandor.received();
    std::vector<Bytes> nameRequests;
    for (const auto& m : requests)
        if (m.size() == 5 && m[2] == 0x33) nameRequests.push_back(m);
    ASSERT_EQ(nameRequests.size(), 10u);
    EXPECT_EQ(nameRequests.front(), hex("F0 01 33 00 F7"));
    EXPECT_EQ(nameRequests.back(), hex("F0 01 33 09 F7"));
    EXPECT_EQ(items(o().program_names_list),
              (Strings{"1: empty", "2: ", "3: Pythagor\u00e9", "4: empty", "5: ", "6: empty", "7: empty",
                       "8: empty", "9: empty", "10: empty"}));
    // About a second for each silent slot, a poll for each answer.
    EXPECT_GE(sleeper.calls - sleepsBefore, 200);
    EXPECT_LT(sleeper.calls - sleepsBefore, 240);
    EXPECT_FALSE(o().mts_download_bank_outlet->isEnabled()) << "the first slot holds no table";
    EXPECT_TRUE(alertMessages().empty());
}

TEST_F(Tuning, SwitchesSendTheirMessagesInOrder) {
    auto& toskar = ready("Toskar MK2");
    click(o().microtuning_switch);
    EXPECT_EQ(toskar.received(), (std::vector<Bytes>{hex("F0 02 06 24 01 F7"), hex("F0 02 21 F7")}));
    EXPECT_EQ(o().microtuning_switch->text(), "On");
    ASSERT_TRUE(o().noteonoff_switch->isEnabled());

    click(o().noteonoff_switch);
    EXPECT_EQ(toskar.state().noteSwitch, 1);
    EXPECT_EQ(o().noteonoff_switch->text(), "On");

    toskar.clearLog();
    click(o().microtuning_switch);
    EXPECT_EQ(toskar.received(),
              (std::vector<Bytes>{hex("F0 02 35 00 F7"), hex("F0 02 06 24 00 F7"), hex("F0 02 21 F7")}));
    const auto state = toskar.state();
    EXPECT_EQ(state.microtuning, 0);
    EXPECT_EQ(state.noteSwitch, 0);
    EXPECT_EQ(state.applyCount, 2);
    EXPECT_EQ(o().microtuning_switch->text(), "Off");
    EXPECT_FALSE(o().noteonoff_switch->isEnabled());
    EXPECT_FALSE(o().noteonoff_switch->isChecked());
    EXPECT_EQ(o().noteonoff_switch->text(), "Off");
    EXPECT_TRUE(alertMessages().empty());
}

TEST_F(Tuning, StateRepliesSetTheSwitchesOrAlert) {
    auto& orvane = ready("ORVANE");
    for (std::uint8_t reported : {1, 0}) {
        orvane.modifyState([reported](emulation::InstrumentState& s) { s.microtuning = reported; });
        controller->queryMicrotuningState();
        settleAll();
        EXPECT_EQ(o().microtuning_switch->isChecked(), reported == 1);
        EXPECT_EQ(o().microtuning_switch->text(), reported ? "On" : "Off");
        EXPECT_EQ(o().noteonoff_switch->isEnabled(), reported == 1);
    }
    EXPECT_TRUE(alertMessages().empty());

    orvane.modifyState([](emulation::InstrumentState& s) { s.microtuning = 2; });
    controller->queryMicrotuningState();
    settleAll();
    // A state of 2 is also what "no answer yet" looks like, so the wait ends in its time-out too.
    EXPECT_EQ(alertMessages(), (Strings{"Something went wrong, try again 2", "Wrong state!"}));
    EXPECT_FALSE(o().microtuning_switch->isChecked());

    dialogs.clearRequests();
    orvane.setFaults({.silentCommands = {0x30}});
    controller->queryMicrotuningState();
    settleAll();
    EXPECT_EQ(alertMessages(), Strings{"Something went wrong, try again 2"});
    EXPECT_EQ(dialogs.offMainThreadCount(), 0u);
}

TEST_F(Tuning, LiveStepsRetuneTheReportedKeyUntilItIsReleased) {
    auto& orvane = ready("ORVANE");
    orvane.pressKey(60);
    settleAll();
    ASSERT_EQ(o().SemiSet->text(), "60.0");
    click(o().plus01button);
    EXPECT_EQ(orvane.state().liveTuning.keys[60], (emulation::TuningTable::Pitch{60, 1638}));
    EXPECT_EQ(o().SemiSet->text(), "60.1");
    EXPECT_EQ(o().FreqSet->text(), "526.282");
    click(o().minus001button);
    click(o().minus001button);
    click(o().minus01button);
    click(o().plus001button);
    EXPECT_EQ(o().SemiSet->text().toDouble(), 60.0 + 0.1 - 0.01 - 0.01 - 0.1 + 0.01);
    EXPECT_EQ(orvane.received().size(), 5u);

    // A report of the key's tuning starts the next step from the instrument's value.
    orvane.pressKey(60);
    settleAll();
    EXPECT_NEAR(o().SemiSet->text().toDouble(), 59.99, 1.0 / 16384);
    click(o().ResetButton);
    EXPECT_EQ(orvane.state().liveTuning.keys[60], (emulation::TuningTable::Pitch{60, 0}));
    EXPECT_EQ(o().SemiSet->text(), "60.0");
    EXPECT_EQ(o().FreqSet->text(), "523.251");

    // Key 150: no key, though the buttons stay as they were.
    orvane.clearLog();
    orvane.pressKey(150);
    settleAll();
    click(o().plus01button);
    click(o().ResetButton);
    EXPECT_TRUE(orvane.received().empty());
    EXPECT_EQ(o().SemiSet->text(), "60.0");

    orvane.releaseKey();
    settleAll();
    EXPECT_FALSE(o().plus01button->isEnabled());
    EXPECT_FALSE(o().ResetButton->isEnabled());
}

TEST_F(Tuning, ResettingEveryKeyUndoesAScalaFile) {
    auto& orvane = ready("ORVANE");
    dialogs.queueAnswer(write("Just major.scl", justMajor).string());
    click(o().send_tune_file_outlet);
    ASSERT_NE(orvane.state().liveTuning, emulation::TuningTable::equalTempered());
    orvane.pressKey(64);
    settleAll();
    ASSERT_EQ(o().SemiSet->text().left(6), "67.019");
    orvane.clearLog();

    const int sleepsBefore = sleeper.calls;
    controller->ResetAllFreq();
    settleAll();
    EXPECT_EQ(sleeper.calls - sleepsBefore, 128);
    const auto received = orvane.received();
    ASSERT_EQ(received.size(), 128u);
    EXPECT_EQ(received.front(), hex("F0 7F 04 08 02 00 01 00 00 00 00 F7"));
    EXPECT_EQ(received.back(), hex("F0 7F 04 08 02 00 01 7F 7F 00 00 F7"));
    EXPECT_EQ(orvane.state().liveTuning, emulation::TuningTable::equalTempered());
    EXPECT_EQ(o().SemiSet->text(), "64.0");
    EXPECT_EQ(o().FreqSet->text(), "659.255");
}

TEST_F(Tuning, ADecomposedAccentIsRefusedAsThePrecomposedOneIsAndNothingGoesOut) {
    auto& orvane = ready("ORVANE");
    const std::string alertE9 =
        "can't use \"\xC3\xA9\": its byte E9 cannot cross a MIDI cable inside a SysEx. Use "
        "ASCII characters only!";
    // Typed or pasted as e and a combining acute, and as the one letter: the same alert.
    for (const char* typed : {"Cafe\xCC\x81", "Caf\xC3\xA9"}) {
        dialogs.clearRequests();
        o().ProgramName->setText(QString::fromUtf8(typed));
        controller->SaveProgram();
        EXPECT_EQ(alertMessages(), Strings{"Name " + alertE9}) << typed;
    }
    // File names often come decomposed. A letter beyond Latin-1 is refused as in a program name.
    for (const auto& [file, alert] :
         {std::pair<std::string, std::string>{"Pythagore\xCC\x81.scl",
                                              "Tuning name \"Pythagor\xC3\xA9\" " + alertE9},
          {"Pythagor\xC3\xA9.scl", "Tuning name \"Pythagor\xC3\xA9\" " + alertE9},
          {"\xCE\xA9mega.scl", "Tuning name \"\xCE\xA9mega\" can only use Latin-1 characters!"}}) {
        dialogs.clearRequests();
        dialogs.queueAnswer(write(file, justMajor).string());
        click(o().send_tune_file_outlet);
        EXPECT_EQ(alertMessages(), Strings{alert}) << file;
        EXPECT_FALSE(o().microtuning_switch->isChecked());
    }
    settle();
    EXPECT_TRUE(orvane.received().empty());
    EXPECT_EQ(orvane.state().liveTuningName, std::nullopt);
}
