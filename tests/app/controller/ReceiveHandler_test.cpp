#include "app/controller/ReceiveHandler.h"
#include "app/protocol/SysExFraming.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "testing/HexBytes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using malvo::ControllerState;
using malvo::ReceiveHandler;
using malvo::test::concat;
using malvo::test::hex;
using Bytes = std::vector<std::uint8_t>;

namespace {

// What the handler asked to be shown, in order.
class RecordingOutput final : public malvo::ReceiveHandlerOutput {
public:
    std::vector<std::string> shown;
    void showKey(std::uint8_t key, double pitch) override {
        shown.push_back("key " + std::to_string(key) + " " + std::to_string(pitch));
    }
    void showKeyReleased() override { shown.push_back("released"); }
    void showMicrotuningState(std::uint8_t command, std::uint8_t state) override {
        shown.push_back("microtuning " + std::to_string(command) + " " + std::to_string(state));
    }
    void showWrongState() override { shown.push_back("Wrong state!"); }
    void clearProgramName() override { shown.push_back("program name cleared"); }
};

Bytes filled(std::size_t count, std::uint8_t value) {
    return Bytes(count, value);
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class ReceiveHandlerTest : public ::testing::Test {
protected:
    ControllerState state;
    RecordingOutput output;
    ReceiveHandler handler{state, output};
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("receive-handler-" + std::to_string(::getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());

    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void model(int code) { state.device_model = code; }
    void handle(const Bytes& message) { handler.handle(message); }
    // Program p of bank 0 in the plain framing, data bytes all `value`.
    Bytes program(std::uint8_t p, std::size_t wireSize, std::uint8_t value = 0x11) {
        return concat({hex("F0"),
                       {std::uint8_t(state.device_model.load())},
                       hex("00 00"),
                       {p},
                       filled(wireSize, value),
                       hex("F7")});
    }
    Bytes layer(int index, std::uint8_t value = 0x22) {
        return concat({hex("F0 04 24"),
                       {std::uint8_t(index >> 7), std::uint8_t(index & 0x7F)},
                       filled(256, value),
                       hex("F7")});
    }
    Bytes tuningDump(std::uint8_t fill = 0x01) {
        auto dump = concat({hex("F0 7E 00 08 01 00"), filled(400, fill), hex("F7")});
        dump.resize(408, 0x00);
        dump.back() = 0xF7;
        return dump;
    }
};

TEST_F(ReceiveHandlerTest, VersionReplySetsFramingFromWhereTheCommandWas) {
    model(2);
    handle(hex("F0 00 66 2B 02 15 01 03 0C F7"));
    EXPECT_EQ(state.use_manufacturer_id, 1);
    EXPECT_EQ(state.version1, 1);
    EXPECT_EQ(state.version2, 3);
    EXPECT_EQ(state.version3, 12);
    EXPECT_EQ(state.version_flag, 1);

    state.version_flag = 0;
    handle(hex("F0 02 15 01 02 01 F7"));
    EXPECT_EQ(state.use_manufacturer_id, 0);
    EXPECT_EQ(state.version2, 2);
    EXPECT_EQ(state.version_flag, 1);

    // Another model's reply, or one of the wrong length, is not the version.
    state.version_flag = 0;
    handle(hex("F0 03 15 01 02 01 F7"));
    handle(hex("F0 02 15 01 02 F7"));
    handle(hex("F0 02 15 01 02 01 00 F7"));
    EXPECT_EQ(state.version_flag, 0);
}

TEST_F(ReceiveHandlerTest, HandshakeSignalsSetTheirFlags) {
    model(3);
    handle(hex("F0 03 05 F7"));
    handle(hex("F0 03 25 F7"));
    handle(hex("F0 00 66 2B 03 26 F7"));
    handle(hex("F0 03 16 F7"));
    handle(hex("F0 03 34 F7"));
    EXPECT_EQ(state.ready_flag, 1);
    EXPECT_EQ(state.ack_flag, 1);
    EXPECT_EQ(state.nak_flag, 1);
    EXPECT_EQ(state.state_changed, 1);
    EXPECT_EQ(state.need_update_list, 1);
    EXPECT_TRUE(output.shown.empty());

    state.need_update_list = 0;
    handle(hex("F0 03 36 F7"));
    EXPECT_EQ(state.need_update_list, 1);
    EXPECT_EQ(output.shown, std::vector<std::string>{"program name cleared"});
}

TEST_F(ReceiveHandlerTest, KeyReportsSetTheCurrentNoteAndShowIt) {
    model(2);
    handle(hex("F0 02 09 39 39 00 00 F7")); // key 57, pitch 57.0
    EXPECT_EQ(state.currentNote, 57);
    handle(hex("F0 02 09 96 00 00 00 F7")); // key 150: no key, nothing shown
    EXPECT_EQ(state.currentNote, 150);
    handle(hex("F0 02 09 3C 3C 40 00 F7")); // key 60 at 60.5
    handle(hex("F0 02 10 F7"));
    EXPECT_EQ(state.currentNote, 150);
    EXPECT_EQ(output.shown, (std::vector<std::string>{"key 57 57.000000", "key 60 60.500000", "released"}));
}

TEST_F(ReceiveHandlerTest, MicrotuningStates) {
    model(2);
    handle(hex("F0 02 06 24 01 F7"));
    EXPECT_EQ(state.mtuning_get_state, 1);
    handle(hex("F0 02 30 00 F7"));
    EXPECT_EQ(state.mtuning_get_state, 0);
    handle(hex("F0 02 30 02 F7")); // stored, then only the alert
    EXPECT_EQ(state.mtuning_get_state, 2);
    EXPECT_EQ(output.shown,
              (std::vector<std::string>{"microtuning 6 1", "microtuning 48 0", "Wrong state!"}));

    // A Pellandor's 06 24 is not a state report; other parameters never are.
    output.shown.clear();
    model(1);
    state.mtuning_get_state = 2;
    handle(hex("F0 01 06 24 01 F7"));
    model(2);
    handle(hex("F0 02 06 23 01 F7"));
    EXPECT_EQ(state.mtuning_get_state, 2);
    EXPECT_TRUE(output.shown.empty());
}

TEST_F(ReceiveHandlerTest, TuningNamesGoToTheirSlotAndTheListNeverGrows) {
    model(1);
    state.resetTuningNames(10);
    auto name = [](std::uint8_t slot, std::string_view text) {
        Bytes m = concat({hex("F0 01 33"), {slot}});
        for (std::size_t i = 0; i < 16; ++i)
            m.push_back(i < text.size() ? std::uint8_t(text[i]) : 0);
        m.push_back(0xF7);
        return m;
    };
    handle(name(3, "Just"));
    EXPECT_EQ(state.mts_names_flag, 1);
    handle(name(3, "Werckmeister"));
    handle(name(0, "empty"));
    state.mts_names_flag = 0;
    handle(name(10, "Beyond")); // a Pellandor has slots 0 to 9
    auto tooLong = name(4, "Long");
    tooLong.insert(tooLong.end() - 1, 0x00); // 22 bytes
    handle(tooLong);
    EXPECT_EQ(state.mts_names_flag, 0);

    const auto names = state.tuningNames();
    ASSERT_EQ(names.size(), 10u);
    EXPECT_EQ(names[0], "empty");
    EXPECT_EQ(names[3], "Werckmeister");
    EXPECT_EQ(names[4], "");

    // Latin-1 bytes, zero bytes skipped, with the manufacturer ID.
    model(2);
    state.resetTuningNames(128);
    handle(concat({hex("F0 00 66 2B 02 33 7F 4B 00 E9 79"), filled(12, 0), hex("F7")}));
    EXPECT_EQ(state.tuningNames()[127], "K\u00e9y");
}

TEST_F(ReceiveHandlerTest, BankDumpCollectsProgramsAndWritesTheFileAtTheLast) {
    model(2);
    const auto target = dir / "bank.p";
    state.setPresetFileTarget(target);
    for (int p = 0; p < 128; ++p) {
        state.preset_ok = 0;
        handle(program(std::uint8_t(p), 256, std::uint8_t(p)));
        ASSERT_EQ(state.preset_ok, 1) << p;
    }
    const auto written = readFile(target);
    ASSERT_EQ(written.size(), 128u * 256u);
    EXPECT_EQ(written[0], 0);
    EXPECT_EQ(written[127 * 256 + 255], 127);
    EXPECT_FALSE(state.preset_file.has_value());

    // A new dump starts over at program 0.
    handle(program(0, 256, 0x55));
    EXPECT_EQ(state.Preset_buf, filled(256, 0x55));
}

TEST_F(ReceiveHandlerTest, RecordsAreTakenOnlyAtTheirExactLength) {
    struct Case {
        int model;
        std::size_t wire;
        std::size_t kept;
    };
    for (const Case c : {Case{1, 196, 98}, Case{2, 256, 256}, Case{3, 256, 256}, Case{4, 512, 512}}) {
        SCOPED_TRACE(c.model);
        model(c.model);
        for (std::size_t wire : {c.wire - 1, c.wire + 1, c.wire + 3}) {
            state.Preset_buf = {0xAA};
            state.preset_ok = 0;
            handle(program(0, wire));
            EXPECT_EQ(state.preset_ok, 2);
            EXPECT_EQ(state.Preset_buf, Bytes{0xAA}); // no byte of it read
        }
        state.preset_ok = 0;
        handle(program(0, c.wire));
        EXPECT_EQ(state.preset_ok, 1);
        EXPECT_EQ(state.Preset_buf.size(), c.kept);
    }

    // A Pellandor's pairs join into bytes: (hi * 128 + lo) & FF.
    model(1);
    Bytes pairs;
    for (int i = 0; i < 98; ++i)
        pairs.insert(pairs.end(), {0x01, 0x05});
    handle(concat({hex("F0 01 00 00 00"), pairs, hex("F7")}));
    EXPECT_EQ(state.Preset_buf, filled(98, 0x85));

    // Layers: 265 bytes plain, 268 with the ID; any other length is asked again.
    model(4);
    state.preset_ok = 0;
    auto shortLayer = layer(0);
    shortLayer.erase(shortLayer.begin() + 10);
    handle(shortLayer);
    EXPECT_EQ(state.preset_ok, 2);
    handle(malvo::frameSysEx(layer(1), malvo::SysExFraming::withManufacturerID));
    EXPECT_EQ(state.preset_ok, 1);
}

TEST_F(ReceiveHandlerTest, LayersDumpWritesAllFiveHundredRecords) {
    model(4);
    const auto target = dir / "Layers.p";
    state.setPresetFileTarget(target);
    for (int i = 0; i < 500; ++i)
        handle(layer(i, std::uint8_t(i & 0x7F)));
    const auto written = readFile(target);
    ASSERT_EQ(written.size(), 500u * 256u);
    EXPECT_EQ(written[499 * 256], 499 & 0x7F);
    EXPECT_FALSE(state.preset_file.has_value());
}

TEST_F(ReceiveHandlerTest, ATuningDumpAnswersTheOldestFetchStillRememberedElseItIsDropped) {
    platform::ManualClock clock;
    ReceiveHandler timed(state, output, clock);
    auto& fetches = state.tuningFetches;
    const auto dump = [this](std::uint8_t fill) { return tuningDump(fill); };
    timed.handle(dump(0x01));
    EXPECT_EQ(state.mts_download_flag, 0) << "nobody asked";

    // In order: the first dump answers the first request.
    const auto first = fetches.add(clock.now());
    const auto second = fetches.add(clock.now());
    auto shortDump = dump(0x02);
    shortDump.pop_back();
    auto unterminated = dump(0x02);
    unterminated.back() = 0x00;
    timed.handle(shortDump);
    timed.handle(unterminated);
    EXPECT_EQ(state.mts_download_flag, 0) << "no dump";
    timed.handle(dump(0x03));
    EXPECT_EQ(state.mts_download_flag, 1);
    EXPECT_EQ(fetches.take(second), std::nullopt);
    EXPECT_EQ(fetches.take(first), dump(0x03));
    EXPECT_EQ(fetches.take(first), std::nullopt);

    // Given up: its dump is dropped and answers no later request.
    EXPECT_EQ(fetches.giveUp(second), std::nullopt);
    state.mts_download_flag = 0;
    timed.handle(dump(0x04));
    const auto third = fetches.add(clock.now());
    EXPECT_EQ(state.mts_download_flag, 0);
    EXPECT_EQ(fetches.take(third), std::nullopt);

    // Forgotten 5 s after it was sent, to the nanosecond.
    clock.advance(1);
    const auto fourth = fetches.add(clock.now());
    clock.advance(5'000'000'000 - 1);
    timed.handle(dump(0x05));
    EXPECT_EQ(fetches.take(third), std::nullopt);
    EXPECT_EQ(fetches.take(fourth), dump(0x05));
}

TEST_F(ReceiveHandlerTest, AFailedBankWriteIsNotCountedAsReceived) {
    platform::ScopedLogCapture log;
    model(2);
    state.setPresetFileTarget(dir / "no-such-dir" / "bank.p");
    for (int p = 0; p < 128; ++p) {
        state.preset_ok = 0;
        handle(program(std::uint8_t(p), 256));
    }
    // Neither 1 (received) nor 2 (ask again, which would append a record): the wait times out.
    EXPECT_EQ(state.preset_ok, 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "no-such-dir"));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("Could not write"), std::string::npos);
}

TEST_F(ReceiveHandlerTest, OtherModelsMakersAndCommandsAreIgnored) {
    model(2);
    for (const auto& message :
         {hex("F0 03 25 F7"), hex("F0 00 66 2C 02 25 F7"), hex("F0 00 66 2B 03 25 F7"), hex("F0 02 37 F7"),
          hex("F0 02 FF F7"), hex("F0 02"), hex("F0"), hex(""), hex("90 40 7F"), hex("F0 7E 00 F7")}) {
        handle(message);
    }
    EXPECT_EQ(state.ack_flag, 0);
    EXPECT_TRUE(output.shown.empty());
}

TEST_F(ReceiveHandlerTest, TruncatedAndGarbageRepliesNeverCrash) {
    // Every prefix of every reply kind, for every model.
    const std::vector<Bytes> replies = {hex("F0 00 66 2B 02 15 01 03 0C F7"),
                                        hex("F0 02 09 3C 3C 40 00 F7"),
                                        hex("F0 02 06 24 01 F7"),
                                        hex("F0 02 30 01 F7"),
                                        concat({hex("F0 02 33 05"), filled(16, 0x41), hex("F7")}),
                                        layer(3),
                                        program(5, 512),
                                        tuningDump()};
    for (int m = 0; m <= 5; ++m) {
        model(m);
        state.resetTuningNames(m == 1 ? 10 : 128);
        for (const auto& reply : replies)
            for (std::size_t n = 0; n <= reply.size(); ++n)
                handle(Bytes(reply.begin(), reply.begin() + std::ptrdiff_t(n)));
    }
    SUCCEED();
}

} // namespace
