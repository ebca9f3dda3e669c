// The bytes and texts of the transfers, without an instrument: a link that records every message.
#include "app/controller/BankFile.h"
#include "app/controller/FirmwareUpload.h"
#include "app/controller/ProgramName.h"
#include "app/controller/TransferJobGuard.h"
#include "platform/core/HostClock.h"
#include "testing/HexBytes.h"
#include "tests/app/transfers/TransferTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using malvo::BankFile;
using malvo::FirmwareUpload;
using malvo::InstrumentSnapshot;
using malvo::ProgramName;
using malvo::SysExFraming;
using malvo::test::concat;
using malvo::test::hex;
using namespace transfertest;

namespace {

// Halves of every byte, as a firmware block carries them.
Bytes halves(const Bytes& data) {
    Bytes out;
    for (auto b : data) {
        out.push_back(b >> 7);
        out.push_back(b & 0x7F);
    }
    return out;
}

Bytes withID(Bytes message) {
    message.insert(message.begin() + 1, {0x00, 0x66, 0x2B});
    return message;
}

struct RecordingLink {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    std::vector<Bytes> sent;
    malvo::TransferLink link() {
        return {.send =
                    [this](std::span<const std::uint8_t> m) {
                        sent.emplace_back(m.begin(), m.end());
                        return sonabel::MIDISendOutcome{};
                    },
                .instrumentPresent = {},
                .sleeper = &sleeper,
                .cancelled = {}};
    }
};

InstrumentSnapshot target(std::uint8_t model, SysExFraming framing = SysExFraming::plain, int v1 = 1,
                          int v2 = 0, int v3 = 0) {
    return {.portName = "x",
            .deviceModel = model,
            .framing = framing,
            .version1 = v1,
            .version2 = v2,
            .version3 = v3};
}

} // namespace

TEST(FirmwareBlocks, FilesOf300And256And51200BytesInBothFramings) {
    ScratchDir dir;
    const Bytes file300 = pattern(300, true);
    const Bytes file256 = pattern(256, true, 3);
    const Bytes file51200 = pattern(51200, true, 5);
    for (auto framing : {SysExFraming::plain, SysExFraming::withManufacturerID}) {
        const auto frame = [&](Bytes m) { return framing == SysExFraming::plain ? m : withID(std::move(m)); };
        SCOPED_TRACE(framing == SysExFraming::plain ? "plain" : "with ID");

        // A Pellandor: no prepare step, no acknowledgement, progress from block 1.
        RecordingLink a;
        malvo::ControllerState state;
        RecordingFirmwareOutput output;
        FirmwareUpload upload(state, a.link(), output);
        EXPECT_TRUE(upload.run(dir.write("fw300.bin", file300), target(1, framing)));
        ASSERT_EQ(a.sent.size(), 2u);
        EXPECT_EQ(a.sent[0],
                  frame(concat({hex("F0 01 01 00 01 00 02 01"),
                                halves(Bytes(file300.begin(), file300.begin() + 256)), hex("F7")})));
        EXPECT_EQ(a.sent[0].size(), framing == SysExFraming::plain ? 521u : 524u);
        EXPECT_EQ(a.sent[1], frame(concat({hex("F0 01 01 00 02 00 02 01"),
                                           halves(Bytes(file300.begin() + 256, file300.end())), hex("F7")})));
        EXPECT_EQ(a.sent[1].size(), framing == SysExFraming::plain ? 97u : 100u);
        EXPECT_EQ(output.shown(),
                  (std::vector<std::string>{"controls off", "progress 50 Updating 50%",
                                            "progress 100 Updating 100%",
                                            "ended Firmware Successfuly Updated", "controls on"}));
        EXPECT_EQ(a.sleeper.calls(), 0u) << "no pause between unacknowledged blocks";

        // 256 bytes on a Velmor: one block, sent as the prepare step and never acknowledged.
        RecordingLink b;
        RecordingFirmwareOutput velmorOutput;
        FirmwareUpload velmor(state, b.link(), velmorOutput);
        EXPECT_TRUE(velmor.run(dir.write("fw256.bin", file256), target(3, framing)));
        EXPECT_EQ(b.sent, (std::vector<Bytes>{
                              frame(concat({hex("F0 03 01 00 01 00 01 01"), halves(file256), hex("F7")}))}));
        EXPECT_EQ(velmorOutput.shown(),
                  (std::vector<std::string>{"controls off", "log Prepare For Update",
                                            "ended Firmware Successfuly Updated", "controls on"}));
        // Unanswered: 10 ms, 1000 polls of 10 ms, then 500 ms.
        EXPECT_EQ(b.clock.now() - 1'000'000'000, 10'510'000'000u);

        // 200 blocks: the count travels as 01 48.
        RecordingLink c;
        FirmwareUpload big(state, c.link(), output);
        EXPECT_TRUE(big.run(dir.write("fw51200.bin", file51200), target(4, framing)));
        ASSERT_EQ(c.sent.size(), 200u);
        EXPECT_EQ(c.sent[199],
                  frame(concat({hex("F0 04 01 01 48 01 48 01"),
                                halves(Bytes(file51200.end() - 256, file51200.end())), hex("F7")})));
    }
}

TEST(FirmwareBlocks, AFileThatCannotBeSentFailsWithoutSendingAnything) {
    ScratchDir dir;
    malvo::ControllerState state;
    for (const auto& file : {dir.write("empty.bin", {}), dir.path() / "missing.bin", dir.path()}) {
        RecordingLink link;
        RecordingFirmwareOutput output;
        EXPECT_FALSE(FirmwareUpload(state, link.link(), output).run(file, target(2)));
        EXPECT_TRUE(link.sent.empty());
        EXPECT_EQ(output.shown(),
                  (std::vector<std::string>{"controls off", "ended Update Failed", "controls on"}));
    }
    EXPECT_TRUE(FirmwareUpload::fits(16383 * 256));
    EXPECT_FALSE(FirmwareUpload::fits(16383 * 256 + 1));
}

TEST(FirmwareBlocks, ProgressTextTruncatesAndAcknowledgedModeFollowsTheVersion) {
    EXPECT_EQ(FirmwareUpload::progressText(0.379), "Updating 37%");
    EXPECT_EQ(FirmwareUpload::progressText(1.0 / 3.0), "Updating 33%");
    EXPECT_EQ(FirmwareUpload::progressText(1.0), "Updating 100%");
    EXPECT_FALSE(FirmwareUpload::acknowledges(target(2, SysExFraming::plain, 1, 0, 5)));
    EXPECT_TRUE(FirmwareUpload::acknowledges(target(2, SysExFraming::plain, 1, 0, 6)));
    EXPECT_TRUE(FirmwareUpload::acknowledges(target(2, SysExFraming::plain, 1, 1, 0)));
    EXPECT_TRUE(FirmwareUpload::acknowledges(target(2, SysExFraming::plain, 2, 0, 0)));
    EXPECT_FALSE(FirmwareUpload::acknowledges(target(3, SysExFraming::plain, 2, 0, 0)));
}

TEST(FirmwareBlocks, ToskarMK2RefusesFirmwareNamedOlderThanItRuns) {
    const std::pair<const char*, bool> names[] = {
        {"fw_1.3.9.bin", true},
        {"fw_1.4.8.bin", true},
        {"fw_1.4.9.bin", false},
        {"fw_1.5.0.bin", true},
        {"fw_2.0.0.bin", false},
        {"fw_1.10.bin", false},
        {"firmware.bin", false},
        {"fw_1.3.bin", true},
        {"MK2_1.2.3.bin", false},
        {"v01-004-009.bin", false},
        {"99999999999999999999_1.3.bin", true},
    };
    for (const auto& [name, refused] : names) {
        EXPECT_EQ(FirmwareUpload::refusesFileName(name, "Toskar MK2"), refused) << name;
        EXPECT_FALSE(FirmwareUpload::refusesFileName(name, "Toskar MK1")) << name;
        EXPECT_FALSE(FirmwareUpload::refusesFileName(name, "Toskar")) << name;
    }
}

TEST(BankFiles, BankBytesAndDefaultNamesOfEveryModel) {
    using T = BankFile::DownloadTarget;
    // Upload chooser index to bank byte.
    const std::vector<int> toskar{2, 1, 10, 0, 3, 4, 5, 6, 7, 8, 9};
    const std::vector<int> orvane{0, 1, 2, 3, 4};
    const std::vector<int> others{2, 0, 1, 3, 4, 5, 6, 7, 8, 9};
    for (int i = 0; i < int(toskar.size()); ++i)
        EXPECT_EQ(BankFile::uploadBank(2, i), toskar[std::size_t(i)]) << i;
    for (int i = 0; i < int(orvane.size()); ++i)
        EXPECT_EQ(BankFile::uploadBank(4, i), orvane[std::size_t(i)]) << i;
    for (int model : {1, 3})
        for (int i = 0; i < int(others.size()); ++i)
            EXPECT_EQ(BankFile::uploadBank(model, i), others[std::size_t(i)]) << model << " " << i;
    EXPECT_EQ(BankFile::uploadBank(2, -1), std::nullopt);

    EXPECT_EQ(BankFile::downloadTarget(2, 0, "Toskar MK2"), (T{"Toskar_WBTL.p", 2}));
    for (const char* port : {"Toskar", "Toskar MK1"}) {
        const std::vector<T> expected{{"Toskar_HV.p", 2},   {"Toskar_FT.p", 1},   {"Toskar_GN.p", 10},
                                      {"Toskar_bnk1.p", 0}, {"Toskar_bnk2.p", 3}, {"Toskar_bnk3.p", 4},
                                      {"Toskar_bnk4.p", 5}, {"Toskar_bnk5.p", 6}, {"Toskar_bnk8.p", 9}};
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(BankFile::downloadTarget(2, i, port), expected[std::size_t(i)]) << port << " " << i;
        EXPECT_EQ(BankFile::downloadTarget(2, 10, port), expected[8]);
    }
    EXPECT_EQ(BankFile::downloadTarget(2, 1, "Toskar MK2"), (T{"Toskar_FT.p", 1}));
    EXPECT_EQ(BankFile::downloadTarget(1, 0, "Pellandor"), (T{"pn_bank_f.p", 2}));
    EXPECT_EQ(BankFile::downloadTarget(1, 1, "Pellandor"), (T{"pn_bank_1.p", 0}));
    EXPECT_EQ(BankFile::downloadTarget(1, 2, "Pellandor"), (T{"pn_bank_2.p", 1}));
    EXPECT_EQ(BankFile::downloadTarget(1, 3, "Pellandor"), std::nullopt);
    const std::vector<T> velmor{{"Velmor_Fctry.p", 2}, {"Velmor_bnk1.p", 0}, {"Velmor_bnk2.p", 1},
                                {"Velmor_bnk3.p", 3},  {"Velmor_bnk4.p", 4}, {"Velmor_bnk5.p", 5}};
    const std::vector<T> orvaneNames{{"Orvane_Fctry.p", 0}, {"Orvane_bnk1.p", 1},   {"Orvane_bnk2.p", 2},
                                     {"Orvane_bnk3.p", 3},  {"Orvane_layers.p", 4}, {"Orvane_bnk5.p", 5}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(BankFile::downloadTarget(3, i, "Velmor"), velmor[std::size_t(i)]);
        EXPECT_EQ(BankFile::downloadTarget(4, i, "ORVANE"), orvaneNames[std::size_t(i)]);
    }
    EXPECT_EQ(BankFile::downloadTarget(3, -1, "Velmor"), std::nullopt);
    EXPECT_EQ(BankFile::fileSize(1, 2), 12544u);
    EXPECT_EQ(BankFile::fileSize(2, 10), 32768u);
    EXPECT_EQ(BankFile::fileSize(4, 3), 65536u);
    EXPECT_EQ(BankFile::fileSize(4, 4), 128000u);
}

TEST(BankFiles, RecordMessagesOfEveryLayout) {
    // Pellandor: 128 records of 202 bytes, bytes in halves.
    const Bytes pellandor = pattern(12544, true);
    const auto p = BankFile::uploadRecords(pellandor, 1, *BankFile::uploadBank(1, 0));
    ASSERT_TRUE(p);
    ASSERT_EQ(p->size(), 128u);
    EXPECT_EQ((*p)[0], concat({hex("F0 01 00 02 00"),
                               halves(Bytes(pellandor.begin(), pellandor.begin() + 98)), hex("F7")}));
    EXPECT_EQ((*p)[127].size(), 202u);
    EXPECT_EQ((*p)[127][4], 127);

    // Toskar "GN": command 17, bank 0A; "Bank 2": bank 3.
    const Bytes toskar = pattern(256 * 3, false);
    const auto gn = BankFile::uploadRecords(toskar, 2, *BankFile::uploadBank(2, 2));
    ASSERT_TRUE(gn);
    EXPECT_EQ((*gn)[2],
              concat({hex("F0 02 17 0A 02"), Bytes(toskar.begin() + 512, toskar.end()), hex("F7")}));
    EXPECT_EQ((*BankFile::uploadRecords(toskar, 2, *BankFile::uploadBank(2, 4)))[0][3], 3);

    // Velmor, 300 bytes: the second record ends with bytes 44 to 255 of the first.
    const Bytes velmor = pattern(300, false);
    const auto v = BankFile::uploadRecords(velmor, 3, *BankFile::uploadBank(3, 5));
    ASSERT_TRUE(v);
    ASSERT_EQ(v->size(), 2u);
    EXPECT_EQ((*v)[1], concat({hex("F0 03 00 05 01"), Bytes(velmor.begin() + 256, velmor.end()),
                               Bytes(velmor.begin() + 44, velmor.begin() + 256), hex("F7")}));

    // ORVANE: "Layers" record 300 begins F0 04 24 02 2C; "Bank 3" carries 512 bytes.
    const auto layers = BankFile::uploadRecords(pattern(128000, false), 4, *BankFile::uploadBank(4, 4));
    ASSERT_TRUE(layers);
    ASSERT_EQ(layers->size(), 500u);
    EXPECT_EQ(Bytes((*layers)[300].begin(), (*layers)[300].begin() + 5), hex("F0 04 24 02 2C"));
    EXPECT_EQ((*layers)[300].size(), 262u);
    const auto bank3 = BankFile::uploadRecords(pattern(1024, false), 4, *BankFile::uploadBank(4, 3));
    ASSERT_TRUE(bank3);
    EXPECT_EQ(Bytes((*bank3)[1].begin(), (*bank3)[1].begin() + 5), hex("F0 04 00 03 01"));
    EXPECT_EQ((*bank3)[1].size(), 518u);
}

TEST(BankFiles, FilesTheBankCannotTakeAreRefused) {
    EXPECT_FALSE(BankFile::uploadRecords({}, 3, 0));
    EXPECT_FALSE(BankFile::uploadRecords(pattern(32768 + 1, false), 3, 0)) << "129 records";
    EXPECT_FALSE(BankFile::uploadRecords(pattern(128000 + 1, false), 4, 4)) << "501 layers";
    EXPECT_FALSE(BankFile::uploadRecords(pattern(65536 + 1, false), 4, 0));
    EXPECT_TRUE(BankFile::uploadRecords(pattern(12544, true), 1, 0)) << "halves carry any byte";
    for (int model : {2, 3, 4}) {
        Bytes file = pattern(512, false);
        file[300] = 0x80;
        EXPECT_FALSE(BankFile::uploadRecords(file, model, 1)) << model;
    }
}

TEST(ProgramNames, MessagesAndRefusals) {
    EXPECT_EQ(ProgramName::message(2, "Solo"),
              hex("F0 02 11 53 6F 6C 6F 00 00 00 00 00 00 00 00 00 00 00 00 F7"));
    EXPECT_EQ(ProgramName::message(3, "ABCDEFGHIJKLMNO"),
              hex("F0 03 11 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 00 F7"));
    EXPECT_EQ(ProgramName::message(1, "\xC3\xA9"),
              hex("F0 01 11 E9 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 F7"));
    EXPECT_EQ(ProgramName::message(1, "e\xCC\x81"),
              hex("F0 01 11 E9 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 F7"));

    EXPECT_EQ(ProgramName::refusal("ABCDEFGHIJKLMNO"), std::nullopt);
    EXPECT_EQ(ProgramName::refusal("ABCDEFGHIJKLMNOP"), "Name must have less than 16 characters!");
    // Fifteen decomposed letters are fifteen characters, though thirty scalars, each read as the
    // composed letter.
    std::string decomposed;
    for (int i = 0; i < 15; ++i)
        decomposed += "e\xCC\x81";
    EXPECT_EQ(ProgramName::refusal(decomposed),
              "Name can't use \"\xC3\xA9\": its byte E9 cannot cross a MIDI "
              "cable inside a SysEx. Use ASCII characters only!");
    EXPECT_EQ(ProgramName::refusal(decomposed + "e\xCC\x81"), "Name must have less than 16 characters!");
    EXPECT_EQ(ProgramName::refusal(""), "Name can't be empty!");
    EXPECT_EQ(ProgramName::refusal("Pad \xE2\x82\xAC"), "Name can only use Latin-1 characters!"); // euro sign
    // Latin-1 above 7F has a byte, but no MIDI cable carries it inside a SysEx.
    EXPECT_EQ(ProgramName::refusal("Caf\x7F"), std::nullopt);
    EXPECT_EQ(ProgramName::refusal("A\xC2\x80\xC3\xBF"),
              "Name can't use \"\xC2\x80\": its byte 80 cannot cross a "
              "MIDI cable inside a SysEx. Use ASCII characters only!");
}

TEST(TransferJobGuard, OneJobAtATimeAndJoinedWhenTheGuardGoes) {
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> ran{0};
    {
        malvo::TransferJobGuard guard;
        EXPECT_TRUE(guard.start([&, released] {
            released.wait();
            ++ran;
        }));
        EXPECT_TRUE(guard.running());
        EXPECT_FALSE(guard.start([&] { ++ran; }));
        EXPECT_FALSE(guard.begin());
        const auto alive = guard.alive();
        release.set_value();
        guard.waitForJob();
        EXPECT_FALSE(guard.running());
        EXPECT_TRUE(guard.begin());
        EXPECT_FALSE(guard.start([&] { ++ran; }));
        guard.end();
        EXPECT_TRUE(*alive);
    }
    EXPECT_EQ(ran, 1);
}
