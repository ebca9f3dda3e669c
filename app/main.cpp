#include "app/MainWindow.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/MainQueue.h"
#include "platform/midi/MIDIServerChoice.h"
#include "platform/midi/MIDIServices.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "platform/ui/qt/QtDialogs.h"
#include "platform/ui/qt/QtMainQueueDriver.h"
#include "testing/EmulatedInstruments.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

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

} // namespace

int main(int argc, char* argv[]) {
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
        const int status = QApplication::exec();
        // Jobs may still reach the controller; they end before it does.
        platform::BackgroundJobs::shared().joinAll();
        return status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "malvo_updater: %s\n", error.what());
        return 1;
    }
}
