// The tuning flows against recorded sends, scripted dialogs and a sleeper that counts: what goes
// out, in which order, what is asked of the user and how long each wait is.
#include "app/controller/LiveTuning.h"
#include "app/controller/ReceiveHandler.h"
#include "app/controller/TuningSender.h"
#include "app/controller/TuningSlots.h"
#include "app/protocol/FileBytes.h"
#include "app/protocol/NoteTuning.h"
#include "platform/core/HostClock.h"
#include "platform/core/MainQueue.h"
#include "platform/ui/ScriptedDialogs.h"
#include "testing/HexBytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace malvo;
using malvo::test::hex;
using platform::DialogRequest;
namespace fs = std::filesystem;

using namespace std::string_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

class Flows : public ::testing::Test {
protected:
    // Sleeps only in the test's mind; a hook lets "the instrument" answer during a wait.
    class CountingSleeper final : public platform::Sleeper {
    public:
        void sleepFor(std::chrono::nanoseconds duration) override {
            slept.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(duration));
            if (onSleep) onSleep(slept.size());
        }
        std::vector<std::chrono::milliseconds> slept;
        std::function<void(std::size_t)> onSleep;
    };

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "malvo-tuning-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        state.device_model = 2;
        state.resetTuningNames(128);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& name, std::string_view contents) {
        std::ofstream(dir / name, std::ios::binary) << contents;
        return dir / name;
    }
    Strings alerts() const {
        Strings out;
        for (const auto& request : dialogs.alerts()) {
            EXPECT_EQ(request.messageText, "Error");
            out.push_back(request.informativeText);
        }
        return out;
    }

    platform::ManualClock clock;
    platform::MainQueue queue{clock};
    platform::ScriptedDialogs dialogs{queue};
    CountingSleeper sleeper;
    ControllerState state;
    bool open = true;
    std::vector<Bytes> framed;   // through the instrument's framing
    std::vector<Bytes> unframed; // exactly as given
    TuningServices services{
        .state = state,
        .dialogs = dialogs,
        .sleeper = sleeper,
        .deviceOpen = [this] { return open; },
        .sendSysEx = [this](std::span<const std::uint8_t> m) { return take(framed, m); },
        .sendUnframed = [this](std::span<const std::uint8_t> m) { return take(unframed, m); },
    };
    // Sends from this one on fail so; nothing is recorded for them.
    std::optional<sonabel::MIDISendOutcome> failing;
    std::size_t sendsBeforeFailing = 0;

    sonabel::MIDISendOutcome take(std::vector<Bytes>& into, std::span<const std::uint8_t> m) {
        if (failing && sendsBeforeFailing == 0) return *failing;
        if (sendsBeforeFailing > 0) --sendsBeforeFailing;
        into.emplace_back(m.begin(), m.end());
        return {};
    }
    fs::path dir;
};

std::string equalTempered() {
    std::string text = "! et12.scl\n!\n12 tone equal temperament\n 12\n!\n";
    for (int i = 1; i <= 12; ++i)
        text += " " + std::to_string(i * 100) + ".0\n";
    return text;
}

// F0 7E 00 08 01 00, then a 408-byte body that only the markers make a dump.
std::string syx(std::size_t size, std::uint8_t last = 0xF7) {
    std::string bytes = "\xF0\x7E\x00\x08\x01\x00"s;
    bytes.resize(size, '\x11');
    bytes.back() = static_cast<char>(last);
    return bytes;
}

using TuningFiles = Flows;
using SlotTables = Flows;
using Switches = Flows;
using LiveSteps = Flows;

} // namespace

TEST_F(TuningFiles, AScalaFileGoesOutUnframedAsTheDumpOfItsName) {
    const auto path = write("et12.scl", equalTempered());
    state.use_manufacturer_id = 1; // the dump never carries the maker's ID
    dialogs.queueAnswer(path.string());
    const auto result = TuningSender(services).sendTuningFile();

    ASSERT_EQ(dialogs.requests().size(), 1u);
    EXPECT_EQ(dialogs.requests()[0], DialogRequest::openPanel(TuningSender::panelOptions()));
    EXPECT_EQ(dialogs.requests()[0].title, "Choose a scala file");
    EXPECT_EQ(dialogs.requests()[0].allowedFileTypes, (Strings{"scl", "syx"}));
    EXPECT_EQ(result.programName, "et12");
    ASSERT_EQ(unframed.size(), 1u);
    const Bytes& dump = unframed[0];
    ASSERT_EQ(dump.size(), 408u);
    EXPECT_EQ(Bytes(dump.begin(), dump.begin() + 22),
              hex("F0 7E 00 08 01 00 65 74 31 32 00 00 00 00 00 00 00 00 00 00 00 00"));
    for (int k = 0; k < 128; ++k)
        ASSERT_EQ(Bytes(dump.begin() + 22 + 3 * k, dump.begin() + 25 + 3 * k),
                  (Bytes{std::uint8_t(k), 0, 0}));
    EXPECT_EQ(dump[406], 0x65);
    EXPECT_EQ(dump[407], 0xF7);
    EXPECT_TRUE(framed.empty());
    EXPECT_TRUE(alerts().empty());
}

TEST_F(TuningFiles, DumpFilesAreSentAsTheyAreAndOnlyTheirMarkersChecked) {
    const std::string wrongChecksum = syx(408);
    dialogs.queueAnswer(write("Mine.syx", wrongChecksum + "trailing bytes").string());
    auto result = TuningSender(services).sendTuningFile();
    ASSERT_EQ(unframed.size(), 1u);
    EXPECT_EQ(unframed[0], Bytes(wrongChecksum.begin(), wrongChecksum.end()));
    EXPECT_EQ(result.programName, "Mine");
    EXPECT_FALSE(result.sent->scale);
}

// Every refusal: one alert, nothing sent; the name is shown once the file could be reached.
TEST_F(TuningFiles, RefusedFilesSendNothing) {
    struct Case {
        std::string file;
        std::string contents;
        std::optional<std::string> shownName;
    };
    const std::vector<Case> cases{
        {"short.syx", syx(407), "short"},
        {"marker.syx", syx(408, 0xF6), "marker"},
        {"Scale.SCL", equalTempered(), "Scale"},
        {"eleven.scl", "d\n12\n100.0\n200.0\n", "eleven"},
        {"bare-zero.scl", "d\n2\n0\n2/1\n", "bare-zero"},
        {"negative.scl", "d\n2\n-100.0\n2/1\n", "negative"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        dialogs.clearRequests();
        dialogs.queueAnswer(write(c.file, c.contents).string());
        const auto result = TuningSender(services).sendTuningFile();
        EXPECT_EQ(result.programName, c.shownName);
        EXPECT_FALSE(result.sent);
        EXPECT_EQ(alerts(), Strings{"File is not valid!"});
    }
    dialogs.clearRequests();
    const auto missing = TuningSender(services).sendTuningFile(dir / "gone.scl");
    EXPECT_FALSE(missing.programName);
    EXPECT_EQ(alerts(), Strings{"File is not valid!"});
    EXPECT_TRUE(unframed.empty());
}

TEST_F(TuningFiles, NothingIsAskedWithoutAnInstrumentOrAfterACancel) {
    dialogs.queueCancel();
    EXPECT_FALSE(TuningSender(services).sendTuningFile().programName);
    EXPECT_TRUE(alerts().empty());

    open = false;
    dialogs.clearRequests();
    TuningSender(services).sendTuningFile();
    ASSERT_EQ(dialogs.requests().size(), 1u) << "no panel";
    EXPECT_EQ(alerts(), Strings{"Open the Device!"});
    EXPECT_TRUE(unframed.empty());
}

TEST_F(SlotTables, FetchProposesTheSlotNameAndWaitsForItsDump) {
    state.mts_names_buf[3] = "MyScale";
    const fs::path file = dir / "table.syx";
    dialogs.queueAnswer(file.string());
    // The instrument answers during the fifth poll.
    ReceiveHandlerOutput output;
    ReceiveHandler handler(state, output);
    Bytes dump = hex("F0 7E 00 08 01 00");
    dump.resize(408, 0x01);
    dump.back() = 0xF7;
    sleeper.onSleep = [&](std::size_t n) {
        if (n == 5) handler.handle(dump);
    };
    TuningSlots(services).fetchTable(3);

    ASSERT_EQ(dialogs.requests().size(), 1u);
    const auto panel = dialogs.requests()[0];
    EXPECT_EQ(panel.kind, DialogRequest::Kind::savePanel);
    EXPECT_EQ(panel.title, "Choose Where To Save The Program");
    EXPECT_EQ(panel.nameFieldStringValue, "MyScale.syx");
    EXPECT_TRUE(panel.canCreateDirectories);
    EXPECT_TRUE(panel.allowedFileTypes.empty());
    EXPECT_EQ(framed, std::vector<Bytes>{hex("F0 02 32 03 F7")});
    EXPECT_EQ(sleeper.slept.size(), 5u);
    EXPECT_EQ(sleeper.slept[0], std::chrono::milliseconds(10));
    EXPECT_EQ(readFileBytes(file, 1000), dump);

    // A name that gives no visible file in the folder shown.
    for (const auto& [slot, name, proposed] :
         {std::tuple<int, std::string, std::string>{0, "", "Tuning slot 1.syx"},
          {9, " ", "Tuning slot 10.syx"},
          {1, "..", "Tuning slot 2.syx"},
          {2, ".Just/Pure", "Just-Pure.syx"}}) {
        state.mts_names_buf[std::size_t(slot)] = name;
        TuningSlots(services).fetchTable(slot);
        EXPECT_EQ(dialogs.requests().back().nameFieldStringValue, proposed) << name;
    }
}

TEST_F(SlotTables, ATimeOutAlertsAndKeepsTheOldFileEvenWhenTheDumpComesLate) {
    const fs::path file = write("table.syx", "old contents");
    state.mts_download_flag = 1; // from an earlier fetch: this one waits for its own dump
    TuningSlots(services).fetchTable(7, file);
    EXPECT_EQ(sleeper.slept.size(), 100u);
    EXPECT_EQ(alerts(), Strings{"Something went wrong, please try again 1"});

    ReceiveHandlerOutput output;
    ReceiveHandler handler(state, output);
    Bytes late = hex("F0 7E 00 08 01 00");
    late.resize(408, 0x02);
    late.back() = 0xF7;
    handler.handle(late);
    const auto kept = readFileBytes(file, 1000);
    EXPECT_EQ(std::string(kept->begin(), kept->end()), "old contents");
}

TEST_F(SlotTables, ATableThatCannotBeWrittenIsOneAlertWithTheReason) {
    ReceiveHandlerOutput output;
    ReceiveHandler handler(state, output);
    Bytes dump = hex("F0 7E 00 08 01 00");
    dump.resize(408, 0x03);
    dump.back() = 0xF7;
    sleeper.onSleep = [&](std::size_t n) {
        if (n == 2) handler.handle(dump);
    };
    const fs::path missing = dir / "missing" / "table.syx";
    TuningSlots(services).fetchTable(3, missing);
    EXPECT_EQ(alerts(), Strings{"Could not write " + missing.string() + ": No such file or directory"});
    EXPECT_EQ(sleeper.slept.size(), 2u) << "the dump answered the fetch";
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(SlotTables, WithoutAnInstrumentTheFetchStopsAtTheFirstAlert) {
    state.mts_names_buf[0] = "Equal";
    open = false;
    dialogs.queueAnswer((dir / "x.syx").string());
    TuningSlots(services).fetchTable(0);
    EXPECT_EQ(alerts(), Strings{"Open the Device!"});
    EXPECT_TRUE(sleeper.slept.empty());
    EXPECT_TRUE(framed.empty());
    // An index outside the names asks nothing.
    dialogs.clearRequests();
    TuningSlots(services).fetchTable(-1);
    TuningSlots(services).fetchTable(128);
    EXPECT_TRUE(dialogs.requests().empty());
}

TEST_F(Switches, OffSilencesTheNoteFirstAndEveryChangeIsApplied) {
    TuningSlots slots(services);
    EXPECT_TRUE(slots.switchMicrotuning(false));
    EXPECT_EQ(framed,
              (std::vector<Bytes>{hex("F0 02 35 00 F7"), hex("F0 02 06 24 00 F7"), hex("F0 02 21 F7")}));
    framed.clear();
    EXPECT_TRUE(slots.switchMicrotuning(true));
    EXPECT_EQ(framed, (std::vector<Bytes>{hex("F0 02 06 24 01 F7"), hex("F0 02 21 F7")}));
    framed.clear();
    EXPECT_TRUE(slots.switchNote(true));
    EXPECT_FALSE(slots.sendNoteOnOff(2));
    EXPECT_EQ(framed, std::vector<Bytes>{hex("F0 02 35 01 F7")});

    open = false;
    framed.clear();
    EXPECT_FALSE(slots.switchMicrotuning(false));
    EXPECT_FALSE(slots.switchNote(false));
    EXPECT_TRUE(framed.empty());
    EXPECT_EQ(alerts(), (Strings{"Open the Device!", "Open the Device!"}));
}

TEST_F(LiveSteps, StepsSendFromThePitchShownAndLimitWhatIsShown) {
    LiveTuning live(services);
    state.currentNote = 60;
    EXPECT_DOUBLE_EQ(*live.step(TuningStep::increase, 60.0), 60.1);
    EXPECT_DOUBLE_EQ(*live.step(TuningStep::increase, 120.0), 120.0);
    EXPECT_DOUBLE_EQ(*live.step(TuningStep::decrease, 0.05), 0.0);
    EXPECT_DOUBLE_EQ(*live.step(TuningStep::minus001, 60.5), 60.49);
    EXPECT_EQ(framed, (std::vector<Bytes>{hex("F0 7F 02 08 02 00 01 3C 3C 0C 66 F7"),
                                          hex("F0 7F 02 08 02 00 01 3C 78 0C 66 F7"),
                                          hex("F0 7F 02 08 02 00 01 3C 00 00 00 F7"),
                                          hex("F0 7F 02 08 02 00 01 3C 3C 3E 5C F7")}))
        << "120.1 is sent although 120.0 stays shown";

    // Without an instrument the field still follows the steps.
    open = false;
    framed.clear();
    EXPECT_DOUBLE_EQ(*live.step(TuningStep::plus001, 60.0), 60.01);
    EXPECT_DOUBLE_EQ(*live.resetKey(), 60.0);
    EXPECT_TRUE(framed.empty());
    EXPECT_EQ(alerts(), (Strings{"Open the Device!", "Open the Device!"}));
}

TEST_F(LiveSteps, WithoutAKeyNothingIsSentOrShown) {
    LiveTuning live(services);
    for (std::uint8_t key : {std::uint8_t(150), std::uint8_t(128), std::uint8_t(255)}) {
        state.currentNote = key;
        EXPECT_FALSE(live.step(TuningStep::increase, 60.0));
        EXPECT_FALSE(live.step(TuningStep::minus001, 60.0));
        EXPECT_FALSE(live.resetKey());
    }
    EXPECT_TRUE(framed.empty());
    EXPECT_TRUE(alerts().empty());

    state.currentNote = 61;
    const auto shown = live.step(TuningStep::increase, std::nan(""));
    ASSERT_TRUE(shown);
    EXPECT_TRUE(std::isnan(*shown));
    EXPECT_TRUE(framed.empty()) << "a pitch that is no number is not sent";
}

TEST_F(LiveSteps, ResettingEveryKeySendsTheEqualTemperedKeysAFewMillisecondsApart) {
    LiveTuning live(services);
    state.currentNote = 69;
    EXPECT_EQ(live.resetAllKeys(), 69.0);
    ASSERT_EQ(framed.size(), 128u);
    for (int k = 0; k < 128; ++k) {
        const auto key = std::uint8_t(k);
        ASSERT_EQ(framed[k], (Bytes{0xF0, 0x7F, 0x02, 0x08, 0x02, 0x00, 0x01, key, key, 0, 0, 0xF7}));
    }
    EXPECT_EQ(sleeper.slept, std::vector<std::chrono::milliseconds>(128, std::chrono::milliseconds(4)));

    state.currentNote = 150;
    framed.clear();
    EXPECT_FALSE(live.resetAllKeys()) << "all keys reset, no key to show";
    EXPECT_EQ(framed.size(), 128u);

    open = false;
    framed.clear();
    sleeper.slept.clear();
    EXPECT_FALSE(live.resetAllKeys());
    EXPECT_TRUE(framed.empty());
    EXPECT_TRUE(sleeper.slept.empty());
    EXPECT_EQ(alerts(), Strings{"Open the Device!"});
}

TEST_F(Flows, ASendThatFailsEndsItsFlowWithOneAlertAndNoWait) {
    const sonabel::MIDISendOutcome stalled{sonabel::MIDISendOutcome::Kind::stalled,
                                           "the receiver took nothing for 10000 ms"};
    const std::string why = ": the receiver took nothing for 10000 ms.";
    state.currentNote = 60;
    const auto scala = write("et.scl", equalTempered());
    const auto table = write("table.syx", "old contents");
    struct Case {
        const char* what;
        std::size_t sendsThatGo;
        std::function<bool()> run; // true when the flow claims it was done
        std::string alert;
        std::size_t sleeps = 0;
    };
    const std::vector<Case> cases{
        {"microtuning off, at the note switch", 0,
         [&] { return TuningSlots(services).switchMicrotuning(false); },
         "Live tuning was not switched off" + why},
        {"microtuning off, at the switch", 1, [&] { return TuningSlots(services).switchMicrotuning(false); },
         "Microtuning was not switched off" + why},
        {"microtuning on, at its confirmation", 1,
         [&] { return TuningSlots(services).switchMicrotuning(true); },
         "Microtuning was not switched on" + why},
        {"the note switch", 0, [&] { return TuningSlots(services).switchNote(true); },
         "Live tuning was not switched on" + why},
        {"a table request", 0,
         [&] {
             TuningSlots(services).fetchTable(3, table);
             return false;
         },
         "The tuning table was not requested" + why},
        {"a scala file", 0,
         [&] {
             const auto result = TuningSender(services).sendTuningFile(scala);
             return result.sent.has_value() || result.programName.has_value();
         },
         "The tuning file was not sent" + why},
        {"a step", 0, [&] { return LiveTuning(services).step(TuningStep::increase, 60.0).has_value(); },
         "The tuning of note 60 was not sent" + why},
        {"every key back, at key 5", 5, [&] { return LiveTuning(services).resetAllKeys().has_value(); },
         "The tuning of note 5 was not sent" + why, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dialogs.clearRequests();
        framed.clear();
        unframed.clear();
        sleeper.slept.clear();
        failing = stalled;
        sendsBeforeFailing = c.sendsThatGo;
        EXPECT_FALSE(c.run());
        EXPECT_EQ(alerts(), Strings{c.alert});
        EXPECT_EQ(framed.size() + unframed.size(), c.sendsThatGo);
        EXPECT_EQ(sleeper.slept.size(), c.sleeps);
    }
    EXPECT_EQ(readFileBytes(table, 100), (Bytes{'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', 's'}));
    // The request that never went out takes no dump: the next one gets its own.
    const auto next = state.tuningFetches.add(0);
    Bytes dump = hex("F0 7E 00 08 01 00");
    dump.resize(408, 0x01);
    dump.back() = 0xF7;
    EXPECT_TRUE(state.tuningFetches.answer(dump, 1));
    EXPECT_EQ(state.tuningFetches.take(next), dump);
}
