#include "app/MainWindow.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/MainQueue.h"
#include "platform/ui/qt/QtDialogs.h"
#include "platform/ui/qt/QtMainQueueDriver.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <exception>

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
