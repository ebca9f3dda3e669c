#pragma once
// Shared by the transfer tests: a link that records what a job sends, outputs that record what it
// shows, a sleeper that lets the instrument answer, scratch files, and an emulated instrument reached
// through the application's MIDI object on a threaded in-process server.
#include "app/controller/BankDownload.h"
#include "app/controller/BankUploadOutput.h"
#include "app/controller/ControllerState.h"
#include "app/controller/FirmwareUploadOutput.h"
#include "app/controller/ReceiveHandler.h"
#include "app/controller/TransferLink.h"
#include "emulator/InstrumentEmulator.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/HostClock.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/MIDIListener.h"
#include "testing/Eventually.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace transfertest {

using Bytes = std::vector<std::uint8_t>;

// Adds up what is asked, moves the instrument's clock by it and lets every message in flight, and
// the replies it causes, be delivered before the wait looks again: an answer is there at the first
// look however loaded the machine is, and a time-out takes no real time.
class SettlingSleeper final : public platform::Sleeper {
public:
    explicit SettlingSleeper(std::function<void(std::chrono::nanoseconds)> settle)
        : settle_(std::move(settle)) {}
    void sleepFor(std::chrono::nanoseconds duration) override {
        asked_ += duration.count();
        ++calls_;
        settle_(duration);
    }
    std::chrono::milliseconds asked() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds(asked_.load()));
    }
    long calls() const { return calls_.load(); }

private:
    std::function<void(std::chrono::nanoseconds)> settle_;
    std::atomic<long long> asked_{0};
    std::atomic<long> calls_{0};
};

class RecordingFirmwareOutput final : public malvo::FirmwareUploadOutput {
public:
    void setControlsEnabled(bool enabled) override { add(enabled ? "controls on" : "controls off"); }
    void showLog(const std::string& text) override { add("log " + text); }
    void showProgress(double percent, const std::string& text) override {
        add("progress " + std::to_string(int(percent)) + " " + text);
    }
    void showEnded(const std::string& text) override { add("ended " + text); }
    void showAlert(const std::string& message) override { add("alert " + message); }
    std::vector<std::string> shown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }

private:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        shown_.push_back(std::move(line));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> shown_;
};

class RecordingBankOutput final : public malvo::BankUploadOutput {
public:
    void showProgress(std::size_t records) override { add("progress " + std::to_string(records)); }
    void showEnded() override { add("ended"); }
    void showAlert(const std::string& message) override { add("alert " + message); }
    std::vector<std::string> shown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }

private:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        shown_.push_back(std::move(line));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> shown_;
};

// A scratch directory per test, removed afterwards.
class ScratchDir {
public:
    ScratchDir()
        : path_(std::filesystem::temp_directory_path() /
                ("transfers-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, const Bytes& bytes) const {
        const auto file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return file;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::filesystem::path path_;
};

inline Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Bytes that vary with their position, each below 80 unless `eightBit`.
inline Bytes pattern(std::size_t size, bool eightBit, unsigned seed = 7) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = std::uint8_t((i * 31 + i / 97 + seed) & (eightBit ? 0xFF : 0x7F));
    return out;
}

// The application's side of an emulated instrument: its MIDI object with the instrument's input
// and output open, replies going through the receive handler (and to a running download) as in
// the application.
class InstrumentRig {
public:
    explicit InstrumentRig(emulation::InstrumentEmulatorConfig config) : portName(config.portName) {
        config.clock = &deviceClock;
        config.replyThread = false;
        instrument = emulation::InstrumentEmulator::make(*server, config);
        midi = sonabel::MIDI::make({.server = server});
        state.device_model = instrument->model().code;
        midi->addListener(forwarder);
        midi->openInput(portName);
        for (const auto uid : midi->destinationUIDs())
            if (midi->destinationName(uid) == portName) output = uid;
        midi->openOutput(output);
    }
    ~InstrumentRig() {
        midi->clearListeners();
        idle();
    }
    InstrumentRig(const InstrumentRig&) = delete;
    InstrumentRig& operator=(const InstrumentRig&) = delete;

    malvo::TransferLink link() {
        return {.send =
                    [midi = midi](std::span<const std::uint8_t> wire) {
                        return midi->sendEventWithOutcome(sonabel::MIDIEvent(Bytes(wire.begin(), wire.end())));
                    },
                .instrumentPresent =
                    [midi = midi, output = output] {
                        const auto uids = midi->destinationUIDs();
                        return std::find(uids.begin(), uids.end(), output) != uids.end();
                    },
                .sleeper = &sleeper,
                .cancelled = {}};
    }

    // The firmware blocks the instrument took, by number, resends included.
    std::vector<int> blockNumbers() const {
        std::vector<int> out;
        for (const auto& block : instrument->state().firmwareBlocks)
            out.push_back(block.number);
        return out;
    }

    struct Forwarder final : sonabel::MIDIListener {
        explicit Forwarder(InstrumentRig& rig) : rig(rig) {}
        void receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data,
                                       std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) override {
            rig.handler.handle(data);
            if (auto* download = rig.downloading.load()) download->take(data);
        }
        InstrumentRig& rig;
    };

    // Every message in flight delivered and every due reply sent.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            idle();
            instrument->pump();
        }
        idle();
    }
    void idle() { EXPECT_TRUE(server->waitUntilIdle(testwait::kDeadline)) << "MIDI deliveries never ended"; }

    platform::ManualClock deviceClock; // the instrument's, moved only by the sleeper
    platform::BackgroundJobs jobs;
    std::shared_ptr<platform::midi::InProcessServer> server =
        std::make_shared<platform::midi::InProcessServer>(
            platform::midi::InProcessServerConfig{.jobs = &jobs});
    std::string portName;
    std::shared_ptr<emulation::InstrumentEmulator> instrument;
    std::shared_ptr<sonabel::MIDI> midi;
    MIDIUniqueID output = 0;
    malvo::ControllerState state;
    malvo::ReceiveHandlerOutput handlerOutput;
    malvo::ReceiveHandler handler{state, handlerOutput};
    std::atomic<malvo::BankDownload*> downloading{nullptr};
    // What was sent before the poll is taken first, so its answer falls due by the instrument's
    // clock as it would on a quick machine.
    SettlingSleeper sleeper{[this](std::chrono::nanoseconds duration) {
        settle();
        deviceClock.advance(static_cast<std::uint64_t>(duration.count()));
        settle();
    }};
    std::shared_ptr<Forwarder> forwarder = std::make_shared<Forwarder>(*this);
};

} // namespace transfertest
