#pragma once
// The window and its controller on an in-process MIDI server with emulated instruments, under a
// manual clock. The MIDI server delivers on its own thread, as in the app; each 10 ms poll of the
// controller lets every queued message and due reply be delivered, then moves the clock, so the
// waits run through their real logic at full speed.
#include "app/ControllerServices.h"
#include "app/MainWindow.h"
#include "app/ViewController.h"
#include "emulator/InstrumentEmulator.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/HostClock.h"
#include "platform/core/MainQueue.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "platform/ui/ScriptedDialogs.h"
#include "sonabel/midi/MIDI.h"
#include "testing/Eventually.h"
#include "testing/QtTestApplication.h"

#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace malvo::test {

using Bytes = std::vector<std::uint8_t>;

class ControllerHarness : public ::testing::Test {
protected:
    using Framing = emulation::InstrumentEmulatorConfig::Framing;

    // Files a flow reads or writes; returns the path written.
    static std::string writeFile(const std::filesystem::path& path, const Bytes& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path.string();
    }
    static Bytes read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // Distinct bytes of every value the mask lets through.
    static Bytes pattern(std::size_t size, std::uint8_t mask) {
        Bytes out(size);
        for (std::size_t i = 0; i < size; ++i)
            out[i] = std::uint8_t((i * 13 + i / 256) & mask);
        return out;
    }

    class SettlingSleeper final : public platform::Sleeper {
    public:
        explicit SettlingSleeper(ControllerHarness& harness) : harness_(harness) {}
        void sleepFor(std::chrono::nanoseconds duration) override {
            ++calls;
            // What was sent before the poll is taken first, so its answer falls due by the
            // instrument's clock as it would on a quick machine.
            harness_.settle();
            harness_.deviceClock.advance(static_cast<std::uint64_t>(duration.count()));
            harness_.settle();
            if (afterSettling) afterSettling();
        }
        std::atomic<int> calls{0};
        // Runs on the sleeping thread after each settling; set before the sleeper is used.
        std::function<void()> afterSettling;

    private:
        ControllerHarness& harness_;
    };

    platform::ManualClock clock;
    // The instruments' and the server's time, moved by the controller's polls. Kept apart from the
    // main queue's clock, which TestMainQueueDriver::advance() sets to an absolute time.
    platform::ManualClock deviceClock;
    platform::MainQueue queue{clock};
    platform::TestMainQueueDriver driver{queue, clock};
    platform::ScriptedDialogs dialogs{queue};
    platform::BundleInfo bundle;
    platform::NotificationCenter center;
    SettlingSleeper sleeper{*this};
    std::shared_ptr<platform::midi::InProcessServer> server =
        std::make_shared<platform::midi::InProcessServer>(
            platform::midi::InProcessServerConfig{.clock = &deviceClock});
    std::vector<std::shared_ptr<emulation::InstrumentEmulator>> instruments;
    std::shared_ptr<sonabel::MIDI> midi = sonabel::MIDI::make({.server = server});
    std::unique_ptr<MainWindow> window;
    ViewController* controller = nullptr;

    ~ControllerHarness() override {
        window.reset();
        midi.reset();
        instruments.clear();
    }

    // Every message in flight delivered and every due reply sent.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            idle();
            for (const auto& instrument : instruments)
                instrument->pump();
        }
        idle();
    }
    void idle() { EXPECT_TRUE(server->waitUntilIdle(testwait::kDeadline)) << "MIDI deliveries never ended"; }
    // And what the MIDI thread handed to the main queue done.
    void settleAll() {
        settle();
        driver.runUntilIdle();
    }

    emulation::InstrumentEmulator& plug(const std::string& portName, Framing framing = Framing::both,
                                        std::optional<emulation::FirmwareVersion> version = std::nullopt) {
        auto instrument = emulation::InstrumentEmulator::make(*server, {.portName = portName,
                                                                        .framing = framing,
                                                                        .version = version,
                                                                        .clock = &deviceClock,
                                                                        .replyThread = false});
        EXPECT_TRUE(instrument) << portName;
        instruments.push_back(instrument);
        settleAll();
        return *instrument;
    }

    void makeWindow() {
        window = std::make_unique<MainWindow>([this](const MainWindowOutlets& outlets) {
            auto made = std::make_unique<ViewController>(outlets, dialogs, queue, bundle,
                                                         ControllerServices{.midi = midi,
                                                                            .receiver = {},
                                                                            .notifications = &center,
                                                                            .sleeper = &sleeper,
                                                                            .clock = &deviceClock});
            controller = made.get();
            return made;
        });
        window->show();
        settleAll();
    }

    const MainWindowOutlets& o() const { return controller->outlets(); }

    void choose(const std::string& portName) {
        const int index = o().devicesList->findText(QString::fromStdString(portName));
        ASSERT_GE(index, 0) << portName;
        o().devicesList->setCurrentIndex(index);
    }
    void open(const std::string& portName) {
        choose(portName);
        QTest::mouseClick(o().OpenDeviceOutlet, Qt::LeftButton);
        settleAll();
    }

    std::vector<std::string> items(QComboBox* box) const {
        std::vector<std::string> out;
        for (int i = 0; i < box->count(); ++i)
            out.push_back(box->itemText(i).toStdString());
        return out;
    }
    std::vector<std::string> alertMessages() const {
        std::vector<std::string> out;
        for (const auto& request : dialogs.alerts())
            out.push_back(request.informativeText);
        return out;
    }
};

} // namespace malvo::test
