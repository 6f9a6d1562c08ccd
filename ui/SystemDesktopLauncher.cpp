#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include "core/DebugPrintf.h"
#include "ui/DesktopLauncher.h"
#include "ui/QtText.h"

namespace {

bool IsShellScript(const QFileInfo& file) {
    return file.suffix().compare(QStringLiteral("sh"), Qt::CaseInsensitive) == 0;
}

}  // namespace

void SystemDesktopLauncher::OpenUrl(const std::u16string& url) {
    QDesktopServices::openUrl(QUrl(ToQString(url)));
}

void SystemDesktopLauncher::RunInstaller(const std::u16string& path) {
    const QFileInfo file(ToQString(path));
    if (!file.isFile()) {
        Logger().Warning(u"Cannot start installer %s: there is no such file", path);
        return;
    }
    const QString folder = file.absolutePath();
    bool started = false;
    if (file.isExecutable()) {
        started = QProcess::startDetached(file.absoluteFilePath(), {}, folder);
    } else if (IsShellScript(file)) {
        started =
            QProcess::startDetached(QStringLiteral("/bin/sh"), {file.absoluteFilePath()}, folder);
    } else {
        started = QDesktopServices::openUrl(QUrl::fromLocalFile(file.absoluteFilePath()));
    }
    if (!started) {
        Logger().Warning(u"Cannot start installer %s", path);
    }
}
