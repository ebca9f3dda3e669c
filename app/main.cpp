#include "app/ApplicationShutdown.h"
#include "app/MainWindow.h"
#include "emulator/EmulatedInstruments.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/MainQueue.h"
#include "platform/midi/MIDIServerChoice.h"
#include "platform/midi/MIDIServices.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "platform/ui/qt/QtDialogs.h"
#include "platform/ui/qt/QtMainQueueDriver.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The MIDI server the application runs on, chosen once, before its MIDI object is made: the ALSA
// sequencer when it opens, else the in-process server, which carries the emulated instruments that
// SONABEL_MIDI_EMULATE names ("Toskar MK2", "Pellandor, Velmor@1.0.0").
struct MIDIBackend {
    std::shared_ptr<platform::midi::Server> server;
    // Destroyed before the server.
    std::vector<std::shared_ptr<emulation::InstrumentEmulator>> instruments;

    MIDIBackend() : server(platform::midi::MIDIServerChoice::choose()) {
        setMIDIServer(server);
        const char* emulate = std::getenv("SONABEL_MIDI_EMULATE");
        auto inProcess = std::dynamic_pointer_cast<platform::midi::InProcessServer>(server);
        if (inProcess && platform::midi::MIDIServerChoice::emulationRequested(emulate))
            instruments = emulation::attachEmulatedInstruments(*inProcess, emulate);
    }
    ~MIDIBackend() { instruments.clear(); }
};

// SIGTERM and SIGINT close the window, as the window manager's close does. The handler only writes
// to a pipe that the event loop watches; installed first thing, so a signal that comes before the
// window waits in the pipe until the loop runs.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

void catchTerminationSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    catchTerminationSignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Malvo Updater"));
    QApplication::setApplicationVersion(
        QString::fromStdString(platform::BundleInfo::main().shortVersionString()));
    QGuiApplication::setDesktopFileName(QStringLiteral("malvo-updater"));
    QApplication::setQuitOnLastWindowClosed(true);

    // Everything queued for the main thread runs on the Qt event loop from here on.
    platform::QtMainQueueDriver driver(platform::MainQueue::shared());
    platform::QtDialogs dialogs;
    MIDIBackend midiBackend;
    try {
        malvo::MainWindow window([&dialogs](const malvo::MainWindowOutlets& outlets) {
            return std::make_unique<malvo::ViewController>(outlets, dialogs);
        });
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/malvo/malvo-updater.png")));
        dialogs.setParentWidget(&window.view());
        window.show();
        std::unique_ptr<QSocketNotifier> signals;
        if (signalPipe[0] >= 0) {
            signals = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
            QObject::connect(signals.get(), &QSocketNotifier::activated, [&window] {
                char drained[16];
                while (::read(signalPipe[0], drained, sizeof drained) > 0) {
                }
                window.view().window()->close();
            });
        }
        const int status = QApplication::exec();
        // Jobs may still reach the controller; they end before it does.
        malvo::shutDownApplication(window.controller(), midiBackend.server.get());
        return status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "malvo_updater: %s\n", error.what());
        return 1;
    }
}
