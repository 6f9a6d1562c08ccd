#pragma once
// The settings dialog: start with the desktop session, start the installer when a download
// completes, the number of concurrent connections and the downloads folder. It only edits a
// SettingsRecord; the main window applies and stores the result. exec() ends with 1 (OK, the
// record filled from the controls), 2 (Cancel) or 0 (closed). UI thread only.
#include <QDialog>
#include <QIcon>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

struct SettingsRecord {
    bool startWithSession = false;
    bool automaticInstall = false;
    std::u16string downloadFolder;
    int32_t concurrentConnections = 6;
    QIcon windowIcon;
};

// Asks the user for a folder: the dialog's parent, the title and the folder to open at. Nothing
// when the user cancelled. The window passes the desktop's folder chooser; tests pass their own.
using FolderChooser =
    std::function<std::optional<QString>(QWidget* parent, const QString& title, const QString&)>;

// The desktop's own folder chooser (QFileDialog).
std::optional<QString> ChooseFolderWithDesktopDialog(QWidget* parent, const QString& title,
                                                     const QString& startFolder);

class CSettingsDlg final : public QDialog {
public:
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;
    static constexpr int kResultClosed = 0;
    static constexpr int kMinConnections = 1;
    static constexpr int kMaxConnections = 20;

    // Shows `record`, which OK overwrites; the record must outlive the dialog.
    CSettingsDlg(SettingsRecord& record, FolderChooser chooseFolder, QWidget* parent);

    // The connections field's text as a number: at most its first 9 characters, read as a signed
    // decimal (nothing readable gives 0), then kept within 1 to 20.
    static int32_t ParseConnections(const QString& text);

    QCheckBox* StartWithSessionBox() const { return startWithSession_; }
    QCheckBox* AutomaticInstallBox() const { return automaticInstall_; }
    QLineEdit* ConnectionsEdit() const { return connections_; }
    QLineEdit* FolderEdit() const { return folder_; }
    QPushButton* ChangeButton() const { return change_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

    void reject() override;

private:
    void ChangeFolder();
    void Accept();

    SettingsRecord& record_;
    FolderChooser chooseFolder_;
    QCheckBox* startWithSession_ = nullptr;
    QCheckBox* automaticInstall_ = nullptr;
    QLineEdit* connections_ = nullptr;
    QLineEdit* folder_ = nullptr;
    QPushButton* change_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
