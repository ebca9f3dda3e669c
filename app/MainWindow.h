#pragma once
#include "app/MainWindowOutlets.h"
#include "app/ViewController.h"

#include <QWidget>

#include <functional>
#include <memory>

namespace malvo {

// The loaded main window with its controller: outlets found, actions connected, viewDidLoad() run.
class MainWindow {
public:
    using ControllerFactory = std::function<std::unique_ptr<ViewController>(const MainWindowOutlets&)>;

    explicit MainWindow(const ControllerFactory& makeController);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    QWidget& view() const { return *view_; }
    ViewController& controller() const { return *controller_; }

    // Shows the window, then lets the controller finish its appearance (the title).
    void show();

private:
    std::unique_ptr<QWidget> view_;
    // Declared after the view so that it goes first: its connections and queued calls end with it.
    std::unique_ptr<ViewController> controller_;
};

} // namespace malvo
