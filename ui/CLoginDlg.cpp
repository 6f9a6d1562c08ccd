#include "ui/CLoginDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/DialogUnits.h"
#include "ui/QtText.h"

CLoginDlg::CLoginDlg(LoginRecord& record, QWidget* parent) : QDialog(parent), record_(record) {
    setWindowTitle(QStringLiteral("Login required"));
    setFixedSize(DialogSize(151, 88));

    auto* emailLabel = new QLabel(QStringLiteral("E-mail:"), this);
    emailLabel->setGeometry(DialogRect(7, 7, 56, 8));
    email_ = new QLineEdit(this);
    email_->setObjectName(QStringLiteral("email"));
    email_->setGeometry(DialogRect(7, 17, 137, 14));
    email_->setMaxLength(kMaxFieldLength);

    auto* passwordLabel = new QLabel(QStringLiteral("Password:"), this);
    passwordLabel->setGeometry(DialogRect(7, 38, 36, 8));
    password_ = new QLineEdit(this);
    password_->setObjectName(QStringLiteral("password"));
    password_->setGeometry(DialogRect(7, 49, 137, 15));
    password_->setMaxLength(kMaxFieldLength);
    password_->setEchoMode(QLineEdit::Password);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setObjectName(QStringLiteral("ok"));
    ok_->setGeometry(DialogRect(42, 67, 50, 14));
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setGeometry(DialogRect(94, 67, 50, 14));

    // The edits' limits apply to what is put in as well: a longer prefill is cut.
    email_->setText(ToQString(record_.email));
    password_->setText(ToQString(record_.password));
    email_->selectAll();
    email_->setFocus();

    connect(email_, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(password_, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(ok_, &QPushButton::clicked, this, [this] { Accept(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { done(kResultCancel); });
    // OK starts disabled whatever the prefill; the first change decides.
    ok_->setEnabled(false);
}

void CLoginDlg::UpdateOkButton() {
    ok_->setEnabled(!email_->text().isEmpty() && !password_->text().isEmpty());
}

void CLoginDlg::Accept() {
    if (!ok_->isEnabled()) {
        return;
    }
    record_.email = FromQString(email_->text());
    record_.password = FromQString(password_->text());
    done(kResultOk);
}

void CLoginDlg::reject() {
    // Escape and the window's close button: the dialog was closed, not cancelled.
    done(kResultClosed);
}
