#include "platform/ui/qt/QtDialogs.h"

#include "platform/core/LogSink.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <memory>

namespace platform {

namespace {

bool onGuiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void logMisuse(const char* what) {
    LogSink::emit(
        {"platform", "ui", LogLevel::error, std::string(what) + " requested off the main thread; ignored"});
}

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

// Extensions match in either case, so "Scale.SCL" is offered where "scl" is allowed.
QStringList nameFilters(const std::vector<std::string>& types) {
    if (types.empty()) return {};
    QStringList patterns;
    for (const auto& type : types) {
        const auto ext = toQString(type);
        patterns << "*." + ext;
        if (ext.toUpper() != ext) patterns << "*." + ext.toUpper();
    }
    return {"(" + patterns.join(' ') + ")"};
}

void configure(QFileDialog& dialog, const std::string& title, const std::vector<std::string>& types,
               bool showsHiddenFiles, bool canCreateDirectories) {
    dialog.setWindowTitle(toQString(title));
    const auto filters = nameFilters(types);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    if (showsHiddenFiles) dialog.setFilter(dialog.filter() | QDir::Hidden);
    dialog.setOption(QFileDialog::ReadOnly, !canCreateDirectories);
}

void configureSave(QFileDialog& dialog, const SavePanelOptions& options) {
    configure(dialog, options.title, options.allowedFileTypes, options.showsHiddenFiles,
              options.canCreateDirectories);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!options.nameFieldStringValue.empty()) dialog.selectFile(toQString(options.nameFieldStringValue));
}

std::optional<std::string> chosenPath(QFileDialog& dialog, int result) {
    if (result != QDialog::Accepted) return std::nullopt;
    const auto files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return files.front().toStdString();
}

} // namespace

QtDialogs::QtDialogs(QWidget* parent) : parent_(parent) {}

void QtDialogs::setParentWidget(QWidget* parent) {
    parent_ = parent;
}

QWidget* QtDialogs::parentWidget() const {
    return parent_;
}

void QtDialogs::runAlert(const AlertOptions& options) {
    if (!onGuiThread()) {
        logMisuse("alert");
        return;
    }
    QMessageBox box(parent_);
    box.setIcon(QMessageBox::Warning);
    box.setText(toQString(options.messageText));
    box.setInformativeText(toQString(options.informativeText));
    // A button of our own so that it reads "OK" whatever the platform theme calls it.
    auto* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

std::optional<std::string> QtDialogs::runOpenPanel(const OpenPanelOptions& options) {
    if (!onGuiThread()) {
        logMisuse("open panel");
        return std::nullopt;
    }
    QFileDialog dialog(parent_);
    configure(dialog, options.title, options.allowedFileTypes, options.showsHiddenFiles,
              options.canCreateDirectories);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    return chosenPath(dialog, dialog.exec());
}

std::optional<std::string> QtDialogs::runSavePanel(const SavePanelOptions& options) {
    if (!onGuiThread()) {
        logMisuse("save panel");
        return std::nullopt;
    }
    QFileDialog dialog(parent_);
    configureSave(dialog, options);
    return chosenPath(dialog, dialog.exec());
}

void QtDialogs::beginSavePanel(const SavePanelOptions& options, PanelCompletion completion) {
    if (!onGuiThread()) {
        logMisuse("save panel");
        return;
    }
    auto* dialog = new QFileDialog(parent_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    configureSave(*dialog, options);
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [dialog, completion = std::move(completion)](int result) {
                         if (completion) completion(chosenPath(*dialog, result));
                     });
    dialog->open();
}

} // namespace platform
