// A 64 KiB firmware (256 blocks) uploaded to an emulated Toskar on firmware 1.0.6, which answers
// ready and every acknowledge at once, with the real sleeper. The upload cannot be faster than its
// own waits: block 1's prepare step (10 ms, one 10 ms poll for the ready, 500 ms) and one 10 ms
// poll for each of the 254 acknowledged blocks (2 to 255; the last block is not waited for), 3.06 s
// in all. "ratio" is the measured time over that floor.
#include "app/controller/ControllerState.h"
#include "app/controller/FirmwareUpload.h"
#include "app/controller/InstrumentSnapshot.h"
#include "app/controller/ReceiveHandler.h"
#include "app/protocol/InstrumentMessages.h"
#include "emulator/InstrumentEmulator.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIEvent.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace {

constexpr std::size_t kFirmwareSize = 64 * 1024;

class Replies final : public sonabel::MIDIListener {
public:
    explicit Replies(malvo::ReceiveHandler& handler) : handler_(handler) {}
    void receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data, std::optional<MIDIUniqueID>,
                                   std::optional<MIDITimeStamp>) override {
        handler_.handle(data);
    }

private:
    malvo::ReceiveHandler& handler_;
};

class Silent final : public malvo::FirmwareUploadOutput {
public:
    void setControlsEnabled(bool) override {}
    void showLog(const std::string&) override {}
    void showProgress(double, const std::string&) override {}
    void showEnded(const std::string&) override {}
    void showAlert(const std::string&) override {}
};

std::chrono::nanoseconds floorOfUpload(std::size_t fileSize) {
    using malvo::FirmwareUpload;
    const auto blocks = malvo::firmwareBlockCount(fileSize);
    const auto prepare = 2 * FirmwareUpload::pollInterval + FirmwareUpload::afterReady;
    return prepare + std::int64_t(blocks - 2) * FirmwareUpload::pollInterval;
}

void FirmwareUploadAcknowledged(benchmark::State& state) {
    platform::BackgroundJobs jobs;
    auto server = std::make_shared<platform::midi::InProcessServer>(
        platform::midi::InProcessServerConfig{.jobs = &jobs});
    auto toskar = emulation::InstrumentEmulator::make(
        *server, {.portName = "Toskar MK2", .version = emulation::FirmwareVersion{1, 0, 6}});
    auto midi = sonabel::MIDI::make({.server = server});
    malvo::ControllerState controllerState;
    malvo::ReceiveHandlerOutput shown;
    malvo::ReceiveHandler handler(controllerState, shown);
    auto replies = std::make_shared<Replies>(handler);
    midi->addListener(replies);
    midi->openInput(std::string("Toskar MK2"));
    MIDIUniqueID output = 0;
    for (const auto uid : midi->destinationUIDs())
        if (midi->destinationName(uid) == "Toskar MK2") output = uid;
    midi->openOutput(output);

    const auto file =
        std::filesystem::temp_directory_path() / ("bench-firmware-" + std::to_string(::getpid()) + ".bin");
    {
        std::vector<char> bytes(kFirmwareSize);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 151 + i / 256);
        std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    }
    const malvo::InstrumentSnapshot target{
        .portName = "Toskar MK2", .deviceModel = 2, .version1 = 1, .version2 = 0, .version3 = 6};
    malvo::TransferLink link{
        .send =
            [midi](std::span<const std::uint8_t> wire) {
                return midi->sendEventWithOutcome(
                    sonabel::MIDIEvent(std::vector<std::uint8_t>(wire.begin(), wire.end())));
            },
        .instrumentPresent =
            [midi, output] {
                const auto uids = midi->destinationUIDs();
                return std::find(uids.begin(), uids.end(), output) != uids.end();
            },
        .sleeper = &platform::Sleeper::system(),
        .cancelled = {}};
    Silent silent;

    // The upload does not wait for its last block, which may still be on its way to the emulator
    // when run() returns: it must be in before the blocks are cleared or counted.
    const auto delivered = [&server] { return server->waitUntilIdle(std::chrono::seconds(30)); };
    std::chrono::nanoseconds total{0};
    bool ok = true;
    for (auto _ : state) {
        ok = delivered() && ok;
        toskar->modifyState([](auto& s) { s.firmwareBlocks.clear(); });
        const auto start = std::chrono::steady_clock::now();
        ok = malvo::FirmwareUpload(controllerState, link, silent).run(file, target) && ok;
        total += std::chrono::steady_clock::now() - start;
    }
    std::filesystem::remove(file);
    ok = delivered() && ok;
    if (!ok || toskar->state().firmwareBlocks.size() != 256) state.SkipWithError("upload failed");

    const double floorSeconds = std::chrono::duration<double>(floorOfUpload(kFirmwareSize)).count();
    const double meanSeconds = std::chrono::duration<double>(total).count() / double(state.iterations());
    state.counters["floor_s"] = floorSeconds;
    state.counters["ratio"] = meanSeconds / floorSeconds;
    midi->clearListeners();
    server->waitUntilIdle();
}

} // namespace

BENCHMARK(FirmwareUploadAcknowledged)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
