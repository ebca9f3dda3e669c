#include "app/MainWindow.h"

#include "app/MainWindowLoader.h"

#include <stdexcept>

namespace malvo {

MainWindow::MainWindow(const ControllerFactory& makeController) : view_(MainWindowLoader::load()) {
    controller_ = makeController(MainWindowLoader::findOutlets(*view_));
    if (!controller_) throw std::runtime_error("no controller for the main window");
    MainWindowLoader::connectActions(*view_, *controller_);
    controller_->viewDidLoad();
}

MainWindow::~MainWindow() = default;

void MainWindow::show() {
    view_->show();
    controller_->viewDidAppear();
}

} // namespace malvo
