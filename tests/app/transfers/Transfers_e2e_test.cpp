// Firmware and banks to and from an emulated instrument over the threaded in-process server,
// through the application's MIDI object and receive handler.
#include "app/controller/BankDownload.h"
#include "app/controller/BankFile.h"
#include "app/controller/BankUpload.h"
#include "app/controller/FirmwareUpload.h"
#include "app/controller/InstrumentSnapshot.h"
#include "app/protocol/InstrumentReply.h"
#include "platform/core/HostClock.h"
#include "tests/app/transfers/TransferTestSupport.h"

#include <gtest/gtest.h>

using emulation::FirmwareVersion;
using emulation::InstrumentEmulatorConfig;
using malvo::BankDownload;
using malvo::BankFile;
using malvo::BankUpload;
using malvo::FirmwareUpload;
using malvo::InstrumentSnapshot;
using malvo::SysExFraming;
using namespace transfertest;

namespace {

InstrumentSnapshot snapshotOf(InstrumentRig& rig, SysExFraming framing = SysExFraming::plain) {
    rig.state.use_manufacturer_id = framing == SysExFraming::withManufacturerID ? 1 : 0;
    const auto version = rig.instrument->state().version;
    rig.state.version1 = version.major;
    rig.state.version2 = version.minor;
    rig.state.version3 = version.patch;
    return InstrumentSnapshot::of(rig.state, rig.portName);
}

std::vector<int> numbers(int from, int to) {
    std::vector<int> out;
    for (int k = from; k <= to; ++k)
        out.push_back(k);
    return out;
}

struct FirmwareRun {
    bool ok = false;
    std::vector<std::string> shown;
};

FirmwareRun uploadFirmware(InstrumentRig& rig, const Bytes& firmware,
                           SysExFraming framing = SysExFraming::plain, malvo::TransferLink link = {}) {
    ScratchDir dir;
    RecordingFirmwareOutput output;
    if (!link.send) link = rig.link();
    FirmwareUpload upload(rig.state, link, output);
    FirmwareRun run{upload.run(dir.write("firmware.bin", firmware), snapshotOf(rig, framing)), {}};
    // The last block is not acknowledged, so it may still be on its way to the instrument.
    rig.idle();
    run.shown = output.shown();
    return run;
}

// A link that pulls the instrument's plug after `count` messages.
malvo::TransferLink unpluggingAfter(InstrumentRig& rig, int count) {
    auto link = rig.link();
    auto sent = std::make_shared<int>(0);
    link.send = [send = link.send, sent, count, &rig](std::span<const std::uint8_t> wire) {
        const auto outcome = send(wire);
        if (++*sent == count) {
            rig.idle();
            rig.instrument->unplug();
        }
        return outcome;
    };
    return link;
}

} // namespace

TEST(FirmwareUploadE2E, AcknowledgedToskarTakesEveryBlockOnceWithProgressAndLog) {
    InstrumentRig rig({.portName = "Toskar MK2", .version = FirmwareVersion{1, 0, 6}});
    const Bytes firmware = pattern(4 * 256 + 17, true);
    const auto run = uploadFirmware(rig, firmware);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(rig.instrument->state().firmwareImage(), firmware);
    EXPECT_EQ(rig.blockNumbers(), numbers(1, 5));
    EXPECT_EQ(run.shown, (std::vector<std::string>{"controls off", "log Prepare For Update",
                                                   "progress 40 Updating 40%", "progress 60 Updating 60%",
                                                   "progress 80 Updating 80%", "progress 100 Updating 100%",
                                                   "ended Firmware Successfuly Updated", "controls on"}));
    // The ready came at the first look: 10 ms, one poll, 500 ms; then each acknowledged block is
    // seen at the latest at its first poll.
    EXPECT_GE(rig.sleeper.asked(), std::chrono::milliseconds(520));
    EXPECT_LE(rig.sleeper.asked(), std::chrono::milliseconds(520 + 3 * 10));
}

TEST(FirmwareUploadE2E, WithoutReadyTheUploadGoesOnAfterTheWait) {
    InstrumentRig rig({.portName = "Velmor", .readyAfterFirstBlock = false});
    const Bytes firmware = pattern(3 * 256, true);
    const auto run = uploadFirmware(rig, firmware);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(rig.instrument->state().firmwareImage(), firmware);
    EXPECT_EQ(rig.sleeper.asked(), std::chrono::milliseconds(10 + 1000 * 10 + 500));
    EXPECT_EQ(run.shown.back(), "controls on");
    EXPECT_EQ(run.shown[run.shown.size() - 2], "ended Firmware Successfuly Updated");
}

TEST(FirmwareUploadE2E, NegativeAcknowledgesAreAnsweredByResendsUpToTheBound) {
    for (int naks : {3, FirmwareUpload::maxResends, FirmwareUpload::maxResends + 1}) {
        SCOPED_TRACE(naks);
        InstrumentRig rig({.portName = "Toskar"});
        rig.instrument->setFaults({.naks = naks});
        const Bytes firmware = pattern(3 * 256, true);
        const auto run = uploadFirmware(rig, firmware);
        const bool withinBound = naks <= FirmwareUpload::maxResends;
        EXPECT_EQ(run.ok, withinBound);
        EXPECT_EQ(run.shown[run.shown.size() - 2],
                  withinBound ? "ended Firmware Successfuly Updated" : "ended Update Failed");
        // Block 2 was sent naks + 1 times (the instrument took only the last), block 3 only on success.
        EXPECT_EQ(rig.blockNumbers(), withinBound ? (std::vector<int>{1, 2, 3}) : std::vector<int>{1});
        EXPECT_EQ(rig.instrument->faults().naks, 0);
        if (withinBound) {
            EXPECT_EQ(rig.instrument->state().firmwareImage(), firmware);
        }
    }
}

TEST(FirmwareUploadE2E, SilenceInAcknowledgedModeFailsAfterOneSecondOfPolls) {
    InstrumentRig rig({.portName = "Toskar MK1", .version = FirmwareVersion{1, 1, 0}});
    rig.instrument->setFaults({.silent = true});
    const auto run = uploadFirmware(rig, pattern(4 * 256, true));
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.shown,
              (std::vector<std::string>{"controls off", "log Prepare For Update", "progress 50 Updating 50%",
                                        "ended Update Failed", "controls on"}));
    // Missing ready (10 s), then 99 polls for block 2 and no further block.
    EXPECT_EQ(rig.sleeper.asked(), std::chrono::milliseconds(10 + 10000 + 500 + 99 * 10));
    EXPECT_EQ(rig.instrument->received().size(), 2u);
}

TEST(FirmwareUploadE2E, ManufacturerIDFramingInBothModes) {
    for (auto version : {FirmwareVersion{1, 0, 5}, FirmwareVersion{2, 0, 0}}) {
        InstrumentRig rig({.portName = "Toskar",
                           .framing = InstrumentEmulatorConfig::Framing::manufacturerID,
                           .version = version});
        const Bytes firmware = pattern(5 * 256 - 3, true);
        const auto run = uploadFirmware(rig, firmware, SysExFraming::withManufacturerID);
        EXPECT_TRUE(run.ok);
        EXPECT_EQ(rig.instrument->state().firmwareImage(), firmware);
        for (const auto& message : rig.instrument->received())
            EXPECT_EQ(Bytes(message.begin(), message.begin() + 5), (Bytes{0xF0, 0x00, 0x66, 0x2B, 0x02}));
    }
}

TEST(FirmwareUploadE2E, AnInstrumentUnpluggedMidUploadEndsInUpdateFailed) {
    for (const char* port : {"Pellandor", "Toskar"}) {
        SCOPED_TRACE(port);
        InstrumentRig rig({.portName = port});
        const auto run =
            uploadFirmware(rig, pattern(8 * 256, true), SysExFraming::plain, unpluggingAfter(rig, 3));
        EXPECT_FALSE(run.ok);
        EXPECT_EQ(run.shown[run.shown.size() - 2], "ended Update Failed");
        EXPECT_EQ(rig.instrument->received().size(), 3u);
    }
}

namespace {

// Downloads bank `bank` of the rig's instrument into `file`, as the download action does.
BankDownload::Result download(InstrumentRig& rig, std::uint8_t bank, const std::filesystem::path& file,
                              SysExFraming framing = SysExFraming::plain) {
    BankDownload job(rig.link());
    rig.downloading = &job;
    const auto result = job.run(snapshotOf(rig, framing), bank, file);
    rig.downloading = nullptr;
    rig.idle();
    return result;
}

bool upload(InstrumentRig& rig, std::uint8_t bank, const std::filesystem::path& file,
            RecordingBankOutput& output, malvo::TransferLink link = {}) {
    const auto records = BankFile::uploadRecords(readFile(file), rig.state.device_model, bank);
    if (!records) return false;
    platform::ManualClock clock;
    platform::ManualSleeper sleeper(clock);
    if (!link.send) link = rig.link();
    link.sleeper = &sleeper;
    const bool ok = BankUpload(link, output).run(*records, snapshotOf(rig));
    rig.idle();
    EXPECT_EQ(sleeper.calls(), ok ? records->size() : sleeper.calls());
    EXPECT_EQ(clock.now() - 1'000'000'000, sleeper.calls() * 500'000'000);
    return ok;
}

} // namespace

TEST(BankTransferE2E, DownloadThenUploadIsByteIdenticalInEveryLayout) {
    struct Case {
        const char* port;
        std::uint8_t from;
        std::uint8_t to;
        std::size_t size;
    };
    for (const auto& c :
         {Case{"Pellandor", 2, 5, 12544}, Case{"Velmor", 2, 7, 32768}, Case{"Toskar", 10, 3, 32768},
          Case{"ORVANE", 0, 3, 65536}, Case{"ORVANE", 4, 4, 128000}}) {
        SCOPED_TRACE(std::string(c.port) + " bank " + std::to_string(c.from));
        InstrumentRig rig({.portName = c.port});
        ScratchDir dir;
        const auto first = dir.path() / "first.p";
        ASSERT_EQ(download(rig, c.from, first), BankDownload::Result::done);
        const Bytes fetched = readFile(first);
        ASSERT_EQ(fetched.size(), c.size);

        if (c.from == c.to) // Layers: change them on the instrument, then send the file back.
            rig.instrument->modifyState([](auto& s) {
                for (auto& layer : s.layers)
                    layer.assign(layer.size(), 0x11);
            });
        RecordingBankOutput output;
        ASSERT_TRUE(upload(rig, c.to, first, output));
        EXPECT_EQ(output.shown().back(), "ended");
        EXPECT_EQ(output.shown()[output.shown().size() - 2],
                  "progress " + std::to_string(BankFile::recordCount(rig.state.device_model, c.to)));

        const auto second = dir.path() / "second.p";
        ASSERT_EQ(download(rig, c.to, second), BankDownload::Result::done);
        EXPECT_EQ(readFile(second), fetched);
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"first.p", "second.p"})) << "no temporary file left";
    }
}

TEST(BankTransferE2E, ManufacturerIDFramingRoundTrip) {
    InstrumentRig rig({.portName = "Velmor", .framing = InstrumentEmulatorConfig::Framing::manufacturerID});
    ScratchDir dir;
    ASSERT_EQ(download(rig, 1, dir.path() / "bank.p", SysExFraming::withManufacturerID),
              BankDownload::Result::done);
    EXPECT_EQ(readFile(dir.path() / "bank.p").size(), 32768u);
    EXPECT_EQ(rig.instrument->received().front(),
              (Bytes{0xF0, 0x00, 0x66, 0x2B, 0x03, 0x13, 0x01, 0x00, 0xF7}));
}

TEST(BankTransferE2E, AFailedDownloadLeavesTheOldFileAsItWas) {
    const Bytes old = pattern(1000, true);
    {
        InstrumentRig rig({.portName = "Velmor"});
        rig.instrument->setFaults({.silentCommands = {0x13}});
        ScratchDir dir;
        const auto file = dir.write("Velmor_bnk5.p", old);
        EXPECT_EQ(download(rig, 5, file), BankDownload::Result::timedOut);
        EXPECT_EQ(readFile(file), old);
        EXPECT_EQ(dir.names(), std::vector<std::string>{"Velmor_bnk5.p"});
        EXPECT_EQ(rig.instrument->received().size(), 1u);
        EXPECT_EQ(rig.sleeper.calls(), BankDownload::answerPolls);
    }
    // Wrong lengths: each asks for the same program again, up to the bound.
    for (int wrong : {3, BankDownload::maxRepeats, BankDownload::maxRepeats + 1}) {
        SCOPED_TRACE(wrong);
        InstrumentRig rig({.portName = "Velmor"});
        rig.instrument->setFaults({.wrongLengthReplies = wrong});
        ScratchDir dir;
        const auto file = dir.write("bank.p", old);
        const bool within = wrong <= BankDownload::maxRepeats;
        EXPECT_EQ(download(rig, 5, file),
                  within ? BankDownload::Result::done : BankDownload::Result::timedOut);
        const auto received = rig.instrument->received();
        const int asked = std::min(wrong, BankDownload::maxRepeats) + 1;
        if (within) {
            ASSERT_GE(received.size(), std::size_t(asked));
        } else {
            ASSERT_EQ(received.size(), std::size_t(asked));
        }
        for (int i = 0; i < asked; ++i)
            EXPECT_EQ(received[std::size_t(i)], (Bytes{0xF0, 0x03, 0x13, 0x05, 0x00, 0xF7}));
        EXPECT_EQ(readFile(file).size(), within ? 32768u : old.size());
        EXPECT_EQ(dir.names(), std::vector<std::string>{"bank.p"});
    }
}

TEST(BankTransferE2E, ARecordOfAnotherProgramIsNotTaken) {
    // An instrument that answers every request with program 0 of the asked bank.
    platform::ManualClock clock;
    platform::ManualSleeper sleeper(clock);
    BankDownload* job = nullptr;
    int requests = 0;
    malvo::TransferLink link{.send =
                                 [&](std::span<const std::uint8_t> request) {
                                     ++requests;
                                     Bytes reply{0xF0, 0x03, 0x00, request[3], 0x00};
                                     reply.resize(reply.size() + 256, 0x22);
                                     reply.push_back(0xF7);
                                     job->take(reply);
                                     return sonabel::MIDISendOutcome{};
                                 },
                             .instrumentPresent = {},
                             .sleeper = &sleeper,
                             .cancelled = {}};
    BankDownload download(link);
    job = &download;
    ScratchDir dir;
    const auto file = dir.write("bank.p", {1, 2, 3});
    const InstrumentSnapshot velmor{.portName = "Velmor", .deviceModel = 3};
    EXPECT_EQ(download.run(velmor, 4, file), BankDownload::Result::timedOut);
    EXPECT_EQ(requests, 2) << "program 0 taken, program 1 never answered";
    EXPECT_EQ(readFile(file), (Bytes{1, 2, 3}));
}

TEST(BankTransferE2E, AnInstrumentUnpluggedMidUploadStopsWithAnAlert) {
    InstrumentRig rig({.portName = "Velmor"});
    ScratchDir dir;
    const auto file = dir.write("bank.p", pattern(10 * 256, false));
    RecordingBankOutput output;
    EXPECT_FALSE(upload(rig, 1, file, output, unpluggingAfter(rig, 4)));
    EXPECT_EQ(output.shown(),
              (std::vector<std::string>{"progress 1", "progress 2", "progress 3", "progress 4", "ended",
                                        "alert " + std::string(BankUpload::deviceLostText)}));
    EXPECT_EQ(rig.instrument->received().size(), 4u);
}
