#include "platform/core/LogSink.h"
#include "platform/ui/qt/QtDialogs.h"
#include "testing/QtTestApplication.h"

#include <QAbstractButton>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>

#include <thread>

using platform::QtDialogs;
using qt_test::waitUntil;
using qt_test::whenModal;

namespace {

void touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

class QtDialogsTest : public ::testing::Test {
protected:
    QWidget window;
    QtDialogs dialogs{&window};
    QTemporaryDir dir;
};

TEST_F(QtDialogsTest, AlertIsAWarningWithHeadlineExplanationAndOneOKButton) {
    QString text, informative;
    QStringList buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
    bool found = false;
    whenModal<QMessageBox>(
        [&](QMessageBox* box) {
            text = box->text();
            informative = box->informativeText();
            icon = box->icon();
            parent = box->parentWidget();
            for (auto* b : box->buttons())
                buttons << b->text();
            box->buttons().front()->click();
        },
        &found);
    dialogs.runAlert({.messageText = "Error", .informativeText = "Open the Device!"});

    ASSERT_TRUE(found);
    EXPECT_EQ(text, "Error");
    EXPECT_EQ(informative, "Open the Device!");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(buttons, QStringList{"OK"});
    EXPECT_EQ(parent, &window);
}

TEST_F(QtDialogsTest, OpenPanelOffersOnlyAllowedTypesAndReturnsTheChosenFile) {
    ASSERT_TRUE(dir.isValid());
    const auto chosen = dir.filePath("Toskar_1.4.9.bin");
    touch(chosen);
    QString title;
    QStringList filters;
    QFileDialog::FileMode mode{};
    QFileDialog::AcceptMode accept{};
    bool readOnly = false;
    whenModal<QFileDialog>([&](QFileDialog* panel) {
        title = panel->windowTitle();
        filters = panel->nameFilters();
        mode = panel->fileMode();
        accept = panel->acceptMode();
        readOnly = panel->testOption(QFileDialog::ReadOnly);
        panel->setDirectory(dir.path());
        panel->selectFile(chosen);
        static_cast<QDialog*>(panel)->accept(); // validates as the OK button does
    });
    const auto path = dialogs.runOpenPanel({.title = "Choose a Firmware File", .allowedFileTypes = {"bin"}});

    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(QString::fromStdString(*path), chosen);
    EXPECT_EQ(title, "Choose a Firmware File");
    ASSERT_EQ(filters.size(), 1);
    EXPECT_TRUE(filters.front().contains("*.bin")) << filters.front().toStdString();
    EXPECT_TRUE(filters.front().contains("*.BIN")) << filters.front().toStdString();
    EXPECT_EQ(mode, QFileDialog::ExistingFile);
    EXPECT_EQ(accept, QFileDialog::AcceptOpen);
    EXPECT_TRUE(readOnly); // no new folders from an open panel
}

TEST_F(QtDialogsTest, CancelledPanelsAnswerNothing) {
    whenModal<QFileDialog>([](QFileDialog* panel) { panel->reject(); });
    EXPECT_FALSE(dialogs.runOpenPanel({.title = "Choose a Bank File", .allowedFileTypes = {"syx", "p"}}));
    whenModal<QFileDialog>([](QFileDialog* panel) { panel->reject(); });
    EXPECT_FALSE(
        dialogs.runSavePanel({.title = "Choose Where To Save The Program", .nameFieldStringValue = "x.syx"}));
}

TEST_F(QtDialogsTest, ModalSavePanelProposesTheNameAndReturnsWhereToSave) {
    ASSERT_TRUE(dir.isValid());
    QString title;
    QStringList proposed, filters;
    bool readOnly = true;
    QFileDialog::AcceptMode accept{};
    whenModal<QFileDialog>([&](QFileDialog* panel) {
        title = panel->windowTitle();
        proposed = panel->selectedFiles();
        filters = panel->nameFilters();
        readOnly = panel->testOption(QFileDialog::ReadOnly);
        accept = panel->acceptMode();
        panel->setDirectory(dir.path());
        panel->selectFile(dir.filePath("MyScale.syx"));
        static_cast<QDialog*>(panel)->accept(); // validates as the OK button does
    });
    const auto path = dialogs.runSavePanel(
        {.title = "Choose Where To Save The Program", .nameFieldStringValue = "MyScale.syx"});

    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(QString::fromStdString(*path), dir.filePath("MyScale.syx"));
    EXPECT_EQ(title, "Choose Where To Save The Program");
    ASSERT_EQ(proposed.size(), 1);
    EXPECT_TRUE(proposed.front().endsWith("/MyScale.syx")) << proposed.front().toStdString();
    EXPECT_EQ(filters, QStringList{"All Files (*)"}); // no type restriction
    EXPECT_FALSE(readOnly);                           // folders can be created
    EXPECT_EQ(accept, QFileDialog::AcceptSave);
}

TEST_F(QtDialogsTest, SavePanelWithCompletionReturnsAtOnceAndCompletesWhenClosed) {
    ASSERT_TRUE(dir.isValid());
    int calls = 0;
    std::optional<std::string> answer;
    dialogs.beginSavePanel(
        {.title = "Choose Where To Save The Bank", .nameFieldStringValue = "Velmor_bnk5.p"},
        [&](std::optional<std::string> path) {
            ++calls;
            answer = std::move(path);
        });
    EXPECT_EQ(calls, 0);
    QPointer<QFileDialog> panel = window.findChild<QFileDialog*>();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->windowTitle(), "Choose Where To Save The Bank");
    EXPECT_TRUE(panel->selectedFiles().value(0).endsWith("/Velmor_bnk5.p"));

    panel->setDirectory(dir.path());
    panel->selectFile(dir.filePath("Velmor_bnk5.p"));
    static_cast<QDialog*>(panel)->accept(); // validates as the OK button does
    ASSERT_TRUE(waitUntil([&] { return calls == 1 && panel.isNull(); }));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(QString::fromStdString(*answer), dir.filePath("Velmor_bnk5.p"));

    dialogs.beginSavePanel({.title = "Choose Where To Save The Bank", .nameFieldStringValue = "pn_bank_1.p"},
                           [&](std::optional<std::string> path) {
                               ++calls;
                               answer = std::move(path);
                           });
    panel = window.findChild<QFileDialog*>();
    ASSERT_TRUE(panel);
    panel->reject();
    ASSERT_TRUE(waitUntil([&] { return calls == 2; }));
    EXPECT_FALSE(answer.has_value());
}

TEST_F(QtDialogsTest, RequestsOffTheGuiThreadAreLoggedAndRefused) {
    platform::ScopedLogCapture capture;
    std::optional<std::string> path = "untouched";
    std::thread worker([&] {
        dialogs.runAlert({.messageText = "Error", .informativeText = "Wrong state!"});
        path = dialogs.runOpenPanel({.title = "Choose a scala file"});
    });
    worker.join();
    EXPECT_FALSE(path.has_value());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ASSERT_EQ(capture.entries().size(), 2u);
    EXPECT_EQ(capture.entries()[0].level, platform::LogLevel::error);
    EXPECT_EQ(capture.entries()[0].text, "alert requested off the main thread; ignored");
    EXPECT_EQ(capture.entries()[1].text, "open panel requested off the main thread; ignored");
}

} // namespace
