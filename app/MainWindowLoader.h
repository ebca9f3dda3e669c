#pragma once
#include "app/MainWindowOutlets.h"

#include <QString>
#include <QWidget>

#include <memory>

namespace malvo {

class ViewController;

// Builds the main window from the interface file compiled into the binary. A broken interface file
// is an installation fault: every step throws std::runtime_error that names what is wrong.
class MainWindowLoader {
public:
    static const QString resourcePath;
    // The dynamic property by which the interface file names a control's action ("openButton:").
    static constexpr const char* actionProperty = "action";

    static std::unique_ptr<QWidget> load(const QString& path = resourcePath);
    // Throws when an outlet is missing, is not the expected kind of control, or is named twice.
    static MainWindowOutlets findOutlets(QWidget& view);
    // Connects the control that names each action to the controller's handler: buttons on click,
    // pop-up buttons on the user's choice. Throws when a control names an unknown action, when an action
    // has no control or several, or when a control of that kind cannot send actions.
    static void connectActions(QWidget& view, ViewController& controller);
};

} // namespace malvo
