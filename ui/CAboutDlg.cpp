#include "ui/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "ui/DialogUnits.h"

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About VelkDownloader"));
    setFixedSize(DialogSize(170, 62));
    setWindowIcon(icon);

    auto* picture = new QLabel(this);
    picture->setGeometry(DialogRect(14, 14, 21, 20));
    picture->setPixmap(icon.pixmap(32, 32));

    auto* text = new QLabel(QStringLiteral("VelkDownloader, Version 1.0"), this);
    text->setObjectName(QStringLiteral("aboutText"));
    text->setGeometry(DialogRect(42, 14, 114, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setGeometry(DialogRect(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
