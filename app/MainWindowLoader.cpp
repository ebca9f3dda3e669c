#include "app/MainWindowLoader.h"

#include "app/ViewController.h"

#include <QAbstractButton>
#include <QFile>
#include <QUiLoader>

#include <map>
#include <stdexcept>
#include <string>

// Resources of a static library are linked in only when something refers to them.
static void initResources() {
    Q_INIT_RESOURCE(app);
}

namespace malvo {

const QString MainWindowLoader::resourcePath = QStringLiteral(":/malvo/MainWindow.ui");

namespace {

std::string joined(const QStringList& items) {
    return items.join(", ").toStdString();
}

template <class Control>
void bindOutlet(QWidget& view, const char* name, QPointer<Control>& outlet, QStringList& problems) {
    const auto found = view.findChildren<QObject*>(QString::fromLatin1(name));
    if (found.isEmpty()) {
        problems << QStringLiteral("%1 (missing)").arg(name);
        return;
    }
    if (found.size() > 1) {
        problems << QStringLiteral("%1 (named %2 times)").arg(name).arg(found.size());
        return;
    }
    auto* control = qobject_cast<Control*>(found.front());
    if (!control) {
        problems << QStringLiteral("%1 (a %2, expected a %3)")
                        .arg(name, found.front()->metaObject()->className(),
                             Control::staticMetaObject.className());
        return;
    }
    outlet = control;
}

} // namespace

std::unique_ptr<QWidget> MainWindowLoader::load(const QString& path) {
    initResources();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the interface file " + path.toStdString());
    QUiLoader loader;
    std::unique_ptr<QWidget> view(loader.load(&file));
    if (!view) {
        throw std::runtime_error("cannot load the interface file " + path.toStdString() + ": " +
                                 loader.errorString().toStdString());
    }
    return view;
}

MainWindowOutlets MainWindowLoader::findOutlets(QWidget& view) {
    MainWindowOutlets o;
    o.view = &view;
    QStringList problems;
    // The member and the object name are one token, so they cannot drift apart.
#define MALVO_OUTLET(name) bindOutlet(view, #name, o.name, problems)
    MALVO_OUTLET(devicesList);
    MALVO_OUTLET(OpenDeviceOutlet);
    MALVO_OUTLET(OpenFirmwareOutlet);
    MALVO_OUTLET(SendFirmwareOutlet);
    MALVO_OUTLET(SemiSet);
    MALVO_OUTLET(ResetButton);
    MALVO_OUTLET(ProgramPopUp);
    MALVO_OUTLET(ProgramName);
    MALVO_OUTLET(FreqSet);
    MALVO_OUTLET(DownloadBankNumber);
    MALVO_OUTLET(minus01button);
    MALVO_OUTLET(plus01button);
    MALVO_OUTLET(plus001button);
    MALVO_OUTLET(minus001button);
    MALVO_OUTLET(microtuning_switch);
    MALVO_OUTLET(noteonoff_switch);
    MALVO_OUTLET(tab_view);
    MALVO_OUTLET(NoteNum);
    MALVO_OUTLET(BaseFreq);
    MALVO_OUTLET(DeviceStatus);
    MALVO_OUTLET(log);
    MALVO_OUTLET(progressBar);
    MALVO_OUTLET(fileField);
    MALVO_OUTLET(SendBank_outlet);
    MALVO_OUTLET(program_names_list);
    MALVO_OUTLET(mts_download_bank_outlet);
    MALVO_OUTLET(send_tune_file_outlet);
    MALVO_OUTLET(BankNumber);
    MALVO_OUTLET(BankFilePath);
    MALVO_OUTLET(UploadProgressBar);
    MALVO_OUTLET(slider_name);
#undef MALVO_OUTLET
    if (!problems.isEmpty()) throw std::runtime_error("interface file outlets: " + joined(problems));
    return o;
}

void MainWindowLoader::connectActions(QWidget& view, ViewController& controller) {
    QStringList problems;
    std::map<std::string_view, int> bound;
    for (const auto& action : ViewController::actions())
        bound[action.name] = 0;

    for (auto* control : view.findChildren<QWidget*>()) {
        const auto value = control->property(actionProperty);
        if (!value.isValid()) continue;
        const auto name = value.toString().toStdString();
        const auto action = ViewController::action(name);
        if (!action) {
            problems << QStringLiteral("%1 sends the unknown action %2")
                            .arg(control->objectName(), QString::fromStdString(name));
            continue;
        }
        const auto handler = action->handler;
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            QObject::connect(button, &QAbstractButton::clicked, &controller,
                             [&controller, handler] { (controller.*handler)(); });
        } else if (auto* popUp = qobject_cast<QComboBox*>(control)) {
            QObject::connect(popUp, &QComboBox::activated, &controller,
                             [&controller, handler] { (controller.*handler)(); });
        } else {
            problems << QStringLiteral("%1 (a %2) cannot send %3")
                            .arg(control->objectName(), control->metaObject()->className(),
                                 QString::fromStdString(name));
            continue;
        }
        ++bound[action->name];
    }
    for (const auto& [name, count] : bound) {
        if (count == 0)
            problems
                << QStringLiteral("no control sends %1").arg(QString::fromUtf8(name.data(), name.size()));
        if (count > 1)
            problems << QStringLiteral("%1 controls send %2")
                            .arg(count)
                            .arg(QString::fromUtf8(name.data(), name.size()));
    }
    if (!problems.isEmpty()) throw std::runtime_error("interface file actions: " + joined(problems));
}

} // namespace malvo
