#pragma once
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QWidget>

namespace malvo {

// The controls of the main window that the controller reaches, by the object names of the interface
// file. Weak: the window owns its controls.
struct MainWindowOutlets {
    QPointer<QWidget> view; // the window itself

    QPointer<QComboBox> devicesList;
    QPointer<QPushButton> OpenDeviceOutlet;
    QPointer<QPushButton> OpenFirmwareOutlet;
    QPointer<QPushButton> SendFirmwareOutlet;
    QPointer<QLineEdit> SemiSet;
    QPointer<QPushButton> ResetButton;
    QPointer<QComboBox> ProgramPopUp;
    QPointer<QLineEdit> ProgramName;
    QPointer<QLineEdit> FreqSet;
    QPointer<QComboBox> DownloadBankNumber;
    QPointer<QPushButton> minus01button;
    QPointer<QPushButton> plus01button;
    QPointer<QPushButton> plus001button;
    QPointer<QPushButton> minus001button;
    QPointer<QPushButton> microtuning_switch; // checkable; checked is on
    QPointer<QPushButton> noteonoff_switch;   // checkable; checked is on
    QPointer<QTabWidget> tab_view;
    QPointer<QLineEdit> NoteNum;
    QPointer<QLineEdit> BaseFreq;
    QPointer<QLineEdit> DeviceStatus;
    QPointer<QLineEdit> log;
    QPointer<QProgressBar> progressBar;
    QPointer<QLineEdit> fileField;
    QPointer<QPushButton> SendBank_outlet;
    QPointer<QComboBox> program_names_list;
    QPointer<QPushButton> mts_download_bank_outlet;
    QPointer<QPushButton> send_tune_file_outlet;
    QPointer<QComboBox> BankNumber;
    QPointer<QLineEdit> BankFilePath;
    QPointer<QProgressBar> UploadProgressBar;
    QPointer<QLineEdit> slider_name;
};

} // namespace malvo
