#include "ui/CSettingsDlg.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <algorithm>

#include "ui/DialogUnits.h"
#include "ui/QtText.h"

namespace {

constexpr qsizetype kConnectionsCharactersRead = 9;

}  // namespace

std::optional<QString> ChooseFolderWithDesktopDialog(QWidget* parent, const QString& title,
                                                     const QString& startFolder) {
    const QString chosen = QFileDialog::getExistingDirectory(parent, title, startFolder);
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return chosen;
}

CSettingsDlg::CSettingsDlg(SettingsRecord& record, FolderChooser chooseFolder, QWidget* parent)
    : QDialog(parent), record_(record), chooseFolder_(std::move(chooseFolder)) {
    setWindowTitle(QStringLiteral("Velkora Downloader - Settings"));
    setFixedSize(DialogSize(275, 138));
    setWindowIcon(record_.windowIcon);

    auto* group = new QGroupBox(QStringLiteral("Common Settings"), this);
    group->setGeometry(DialogRect(4, 1, 265, 108));

    startWithSession_ =
        new QCheckBox(QStringLiteral("Start Velkora Downloader with Windows"), this);
    startWithSession_->setObjectName(QStringLiteral("startWithSession"));
    startWithSession_->setGeometry(DialogRect(11, 22, 161, 10));
    automaticInstall_ = new QCheckBox(
        QStringLiteral("Automatically launch installer when download has finished"), this);
    automaticInstall_->setObjectName(QStringLiteral("automaticInstall"));
    automaticInstall_->setGeometry(DialogRect(11, 38, 233, 10));

    auto* connectionsLabel =
        new QLabel(QStringLiteral("Number of concurrent connections (1 - 10):"), this);
    connectionsLabel->setGeometry(DialogRect(12, 55, 156, 8));
    connections_ = new QLineEdit(this);
    connections_->setObjectName(QStringLiteral("connections"));
    connections_->setGeometry(DialogRect(170, 52, 40, 14));
    connections_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this));

    auto* folderLabel = new QLabel(QStringLiteral("Downloads directory"), this);
    folderLabel->setGeometry(DialogRect(11, 76, 119, 8));
    folder_ = new QLineEdit(this);
    folder_->setObjectName(QStringLiteral("folder"));
    folder_->setGeometry(DialogRect(10, 88, 215, 14));
    folder_->setEnabled(false);
    change_ = new QPushButton(QStringLiteral("Change"), this);
    change_->setObjectName(QStringLiteral("change"));
    change_->setGeometry(DialogRect(229, 88, 37, 14));

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setObjectName(QStringLiteral("ok"));
    ok_->setGeometry(DialogRect(163, 115, 50, 14));
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setGeometry(DialogRect(221, 115, 50, 14));

    startWithSession_->setChecked(record_.startWithSession);
    automaticInstall_->setChecked(record_.automaticInstall);
    folder_->setText(ToQString(record_.downloadFolder));
    connections_->setText(QString::number(record_.concurrentConnections));

    connect(change_, &QPushButton::clicked, this, [this] { ChangeFolder(); });
    connect(ok_, &QPushButton::clicked, this, [this] { Accept(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { done(kResultCancel); });
}

int32_t CSettingsDlg::ParseConnections(const QString& text) {
    const QString head = text.left(kConnectionsCharactersRead);
    // Like the C library's reading of a decimal: leading blanks, an optional sign, then digits up
    // to the first other character; nothing readable is 0. Nine characters cannot overflow.
    qsizetype i = 0;
    while (i < head.size() && head[i].isSpace()) {
        ++i;
    }
    int64_t sign = 1;
    if (i < head.size() && (head[i] == u'-' || head[i] == u'+')) {
        sign = head[i] == u'-' ? -1 : 1;
        ++i;
    }
    int64_t value = 0;
    while (i < head.size() && head[i] >= u'0' && head[i] <= u'9') {
        value = value * 10 + (head[i].unicode() - u'0');
        ++i;
    }
    value *= sign;
    return static_cast<int32_t>(std::clamp<int64_t>(value, kMinConnections, kMaxConnections));
}

void CSettingsDlg::ChangeFolder() {
    if (!chooseFolder_) {
        return;
    }
    // The chooser opens at the folder the record holds now, the one chosen last if any.
    const std::optional<QString> chosen = chooseFolder_(
        this, QStringLiteral("Select new downloads directory"), ToQString(record_.downloadFolder));
    if (!chosen || chosen->isEmpty()) {
        return;
    }
    record_.downloadFolder = FromQString(*chosen);
    folder_->setText(*chosen);
}

void CSettingsDlg::Accept() {
    record_.downloadFolder = FromQString(folder_->text());
    record_.startWithSession = startWithSession_->isChecked();
    record_.automaticInstall = automaticInstall_->isChecked();
    record_.concurrentConnections = ParseConnections(connections_->text());
    done(kResultOk);
}

void CSettingsDlg::reject() {
    done(kResultClosed);
}
