#pragma once
// The about box: the program icon, "VelkDownloader, Version 1.0" and an OK button. UI thread.
#include <QDialog>
#include <QIcon>

class CAboutDlg final : public QDialog {
public:
    CAboutDlg(const QIcon& icon, QWidget* parent);
};
