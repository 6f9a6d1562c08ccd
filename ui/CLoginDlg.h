#pragma once
// The login dialog: the store account's e-mail address and password. OK is enabled only while
// both fields hold text; each field takes at most 99 characters; the password is never shown.
// exec() ends with 1 (OK, the record filled from the fields), 2 (Cancel) or 0 (closed).
// UI thread only.
#include <QDialog>
#include <string>

class QLineEdit;
class QPushButton;

struct LoginRecord {
    std::u16string email;
    std::u16string password;
};

class CLoginDlg final : public QDialog {
public:
    static constexpr int kMaxFieldLength = 99;
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;
    static constexpr int kResultClosed = 0;

    // Prefilled from `record`, which OK overwrites; the record must outlive the dialog.
    CLoginDlg(LoginRecord& record, QWidget* parent);

    QLineEdit* EmailEdit() const { return email_; }
    QLineEdit* PasswordEdit() const { return password_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

    void reject() override;

private:
    void UpdateOkButton();
    void Accept();

    LoginRecord& record_;
    QLineEdit* email_ = nullptr;
    QLineEdit* password_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
