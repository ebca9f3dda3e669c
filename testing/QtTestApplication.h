#pragma once
// Shared by the widget tests: one QApplication for the whole test program, headless unless the
// environment names another platform, and a bounded wait that keeps the event loop turning.
#include "testing/Eventually.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

namespace qt_test {

class QtTestEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "widget_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

inline const bool registered = [] {
    ::testing::AddGlobalTestEnvironment(new QtTestEnvironment);
    return true;
}();

// Runs the event loop until done() holds or the real deadline passes; says which.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = testwait::kDeadline) {
    QDeadlineTimer deadline(limit);
    QTimer poke; // wakes the loop so that the deadline is noticed when nothing else happens
    poke.start(5);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Acts on the modal widget of type T once it is up (from inside its own event loop). Gives up after
// the deadline by closing whatever is modal, so a missing dialog fails the test instead of hanging.
template <class T> void whenModal(std::function<void(T*)> act, bool* found = nullptr) {
    auto* timer = new QTimer;
    auto deadline = std::make_shared<QDeadlineTimer>(std::chrono::milliseconds(testwait::kDeadline));
    if (found) *found = false;
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, act = std::move(act), found] {
        auto* modal = QApplication::activeModalWidget();
        if (auto* widget = qobject_cast<T*>(modal)) {
            timer->deleteLater();
            timer->stop();
            if (found) *found = true;
            act(widget);
        } else if (deadline->hasExpired()) {
            timer->deleteLater();
            timer->stop();
            if (modal) modal->close();
        }
    });
    timer->start(5);
}

} // namespace qt_test
