// What the desktop tests ask of the X server that the command-line tools don't answer:
//   x_desktop_tool grab FILE      saves a picture of the whole screen as FILE (PNG)
//   x_desktop_tool tray SECONDS   waits until a classic (XEmbed) notification area owns the
//                                 screen's tray selection; exit code 0 once it does, 1 if not
// Uses $DISPLAY, and no session bus, so that the answer is about the X tray alone.
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "grab") != 0 && std::strcmp(argv[1], "tray") != 0)) {
        std::fprintf(stderr, "usage: x_desktop_tool grab FILE | tray SECONDS\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // A StatusNotifier watcher on the bus would count as a tray too.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    QApplication app(argc, argv);
    if (std::strcmp(argv[1], "grab") == 0) {
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
        return !shot.isNull() && shot.save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
    }
    QElapsedTimer waited;
    waited.start();
    const qint64 limitMs = std::atoll(argv[2]) * 1000;
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (waited.elapsed() > limitMs) {
            return 1;
        }
        QThread::msleep(50);
    }
    return 0;
}
