#pragma once
#include "platform/ui/Dialogs.h"

#include <QPointer>
#include <QWidget>

namespace platform {

// Alerts and file panels shown with Qt widgets, modal to the parent window when one is set.
class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(QWidget* parent = nullptr);

    void setParentWidget(QWidget* parent);
    QWidget* parentWidget() const;

    void runAlert(const AlertOptions& options) override;
    std::optional<std::string> runOpenPanel(const OpenPanelOptions& options) override;
    std::optional<std::string> runSavePanel(const SavePanelOptions& options) override;
    void beginSavePanel(const SavePanelOptions& options, PanelCompletion completion) override;

private:
    QPointer<QWidget> parent_;
};

} // namespace platform
