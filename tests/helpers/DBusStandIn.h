#pragma once
// The start of a test's stand-in for a desktop service: a program that owns a well-known name on
// the session bus (the test's private bus, from DBUS_SESSION_BUS_ADDRESS) and serves one object,
// recording what it is asked to a file named on the command line. Exit codes: 2 usage, 1 no bus
// or the name is taken.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <cstdio>

template <class Service>
int RunDBusStandIn(int argc, char** argv, const char* program, const QString& serviceName,
                   const QString& objectPath) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RECORD_FILE\n", program);
        return 2;
    }
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus\n");
        return 1;
    }
    Service service(QString::fromLocal8Bit(argv[1]));
    if (!bus.registerVirtualObject(objectPath, &service) || !bus.registerService(serviceName)) {
        std::fprintf(stderr, "cannot own %s\n", qPrintable(serviceName));
        return 1;
    }
    return app.exec();
}
