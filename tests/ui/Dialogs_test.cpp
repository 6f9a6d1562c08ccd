// The login and settings dialogs on their own: what each control starts with, the rules of the
// login dialog's OK button and fields, and how the settings dialog reads its fields back.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QValidator>

#include "support/QtTestApp.h"
#include "ui/CLoginDlg.h"
#include "ui/CSettingsDlg.h"
#include "ui/QtText.h"

namespace {

// Runs the dialog's own loop with `act` done from inside it; the dialog's result.
int RunWith(QDialog& dialog, const std::function<void()>& act) {
    QTimer::singleShot(0, &dialog, act);
    return dialog.exec();
}

TEST(LoginDialogTest, OkIsEnabledOnlyWhileBothFieldsHoldText) {
    QtTestApp();
    LoginRecord record;
    CLoginDlg dialog(record, nullptr);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Login required"));
    EXPECT_FALSE(dialog.OkButton()->isEnabled());
    EXPECT_EQ(dialog.PasswordEdit()->echoMode(), QLineEdit::Password);

    dialog.EmailEdit()->setText(QStringLiteral("a"));
    EXPECT_FALSE(dialog.OkButton()->isEnabled());
    dialog.PasswordEdit()->setText(QStringLiteral("p"));
    EXPECT_TRUE(dialog.OkButton()->isEnabled());
    dialog.EmailEdit()->clear();
    EXPECT_FALSE(dialog.OkButton()->isEnabled());
    // A disabled OK ends nothing, however it is pressed.
    dialog.OkButton()->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(record.email.empty());
}

TEST(LoginDialogTest, FieldsTakeAtMost99Characters) {
    QtTestApp();
    LoginRecord record{std::u16string(120, u'e'), std::u16string(120, u'p')};
    CLoginDlg dialog(record, nullptr);
    EXPECT_EQ(dialog.EmailEdit()->text().size(), 99);
    EXPECT_EQ(dialog.PasswordEdit()->text().size(), 99);
    // The prefill is selected, so that typing replaces it.
    EXPECT_EQ(dialog.EmailEdit()->selectedText().size(), 99);
    dialog.EmailEdit()->setText(QString(120, QLatin1Char('x')));
    EXPECT_EQ(dialog.EmailEdit()->text().size(), 99);
}

TEST(LoginDialogTest, ResultsOfOkCancelAndClose) {
    QtTestApp();
    struct Case {
        const char* name;
        std::function<void(CLoginDlg&)> act;
        int result;
        std::u16string email;
    };
    const std::vector<Case> cases = {
        {"ok",
         [](CLoginDlg& d) {
             d.EmailEdit()->setText(QStringLiteral("me@velkora.test"));
             d.PasswordEdit()->setText(QStringLiteral("a&b=c"));
             d.OkButton()->click();
         },
         CLoginDlg::kResultOk, u"me@velkora.test"},
        {"cancel",
         [](CLoginDlg& d) {
             d.EmailEdit()->setText(QStringLiteral("me@velkora.test"));
             d.PasswordEdit()->setText(QStringLiteral("secret"));
             d.CancelButton()->click();
         },
         CLoginDlg::kResultCancel, u"kept"},
        {"close", [](CLoginDlg& d) { d.close(); }, CLoginDlg::kResultClosed, u"kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoginRecord record{u"kept", u"kept"};
        CLoginDlg dialog(record, nullptr);
        EXPECT_EQ(RunWith(dialog, [&] { c.act(dialog); }), c.result);
        EXPECT_EQ(record.email, c.email);
        if (c.result == CLoginDlg::kResultOk) {
            EXPECT_EQ(record.password, u"a&b=c");
        }
    }
}

TEST(SettingsDialogTest, ShowsTheRecordAndReadsItBackOnOk) {
    QtTestApp();
    SettingsRecord record;
    record.startWithSession = true;
    record.automaticInstall = false;
    record.downloadFolder = u"/home/u/Games/";
    record.concurrentConnections = 7;
    std::vector<QString> starts;
    CSettingsDlg dialog(
        record,
        [&](QWidget*, const QString&, const QString& start) -> std::optional<QString> {
            starts.push_back(start);
            return starts.size() == 1 ? std::nullopt : std::optional(QStringLiteral("/srv/x"));
        },
        nullptr);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Velkora Downloader - Settings"));
    EXPECT_TRUE(dialog.StartWithSessionBox()->isChecked());
    EXPECT_FALSE(dialog.AutomaticInstallBox()->isChecked());
    EXPECT_EQ(dialog.FolderEdit()->text(), QStringLiteral("/home/u/Games/"));
    EXPECT_EQ(dialog.ConnectionsEdit()->text(), QStringLiteral("7"));

    const int result = RunWith(dialog, [&] {
        dialog.ChangeButton()->click();  // cancelled: the folder stays
        EXPECT_EQ(dialog.FolderEdit()->text(), QStringLiteral("/home/u/Games/"));
        dialog.ChangeButton()->click();
        dialog.AutomaticInstallBox()->setChecked(true);
        dialog.StartWithSessionBox()->setChecked(false);
        dialog.ConnectionsEdit()->setText(QStringLiteral("99"));
        dialog.OkButton()->click();
    });
    EXPECT_EQ(result, CSettingsDlg::kResultOk);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0], QStringLiteral("/home/u/Games/"));
    EXPECT_EQ(record.downloadFolder, u"/srv/x");
    EXPECT_TRUE(record.automaticInstall);
    EXPECT_FALSE(record.startWithSession);
    EXPECT_EQ(record.concurrentConnections, 20);
}

TEST(SettingsDialogTest, ConnectionsFieldIsReadAsADecimalAndKeptWithinOneToTwenty) {
    const std::vector<std::pair<const char*, int32_t>> cases = {
        {"15", 15}, {"0", 1},   {"99", 20}, {"", 1},   {"abc", 1},        {"-5", 1},
        {"1", 1},   {"20", 20}, {"21", 20}, {"7x", 7}, {"0000000012", 1}, {"999999999999", 20},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(CSettingsDlg::ParseConnections(QString::fromLatin1(text)), expected) << text;
    }
}

TEST(SettingsDialogTest, ConnectionsFieldTakesDigitsOnly) {
    QtTestApp();
    SettingsRecord record;
    CSettingsDlg dialog(record, nullptr, nullptr);
    QString text = QStringLiteral("1a2");
    int position = 0;
    EXPECT_EQ(dialog.ConnectionsEdit()->validator()->validate(text, position), QValidator::Invalid);
    text = QStringLiteral("12");
    EXPECT_EQ(dialog.ConnectionsEdit()->validator()->validate(text, position),
              QValidator::Acceptable);
}

TEST(SettingsDialogTest, CancelAndCloseLeaveTheRecordAlone) {
    QtTestApp();
    for (const bool cancel : {true, false}) {
        SettingsRecord record;
        record.concurrentConnections = 4;
        record.downloadFolder = u"/a/";
        CSettingsDlg dialog(record, nullptr, nullptr);
        const int result = RunWith(dialog, [&] {
            dialog.ConnectionsEdit()->setText(QStringLiteral("12"));
            if (cancel) {
                dialog.CancelButton()->click();
            } else {
                dialog.close();
            }
        });
        EXPECT_EQ(result, cancel ? CSettingsDlg::kResultCancel : CSettingsDlg::kResultClosed);
        EXPECT_EQ(record.concurrentConnections, 4);
        EXPECT_EQ(record.downloadFolder, u"/a/");
    }
}

}  // namespace
