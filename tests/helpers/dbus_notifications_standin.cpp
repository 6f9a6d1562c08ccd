// A stand-in for the desktop's notification service, run by the desktop tests on their own
// session bus:
//   dbus_notifications_standin RECORD_FILE
// Owns org.freedesktop.Notifications, answers GetCapabilities ("actions", "body") and
// GetServerInformation, and appends one JSON line per Notify call to RECORD_FILE (id, app name,
// summary, body, actions). A test makes it emit ActionInvoked(id, key) for a notification, as a
// user's click would, by calling Invoke(id, key) on the interface org.velk.test.Notifications of
// the same object. Ends with SIGTERM.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "DBusStandIn.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kTestInterface = QStringLiteral("org.velk.test.Notifications");

class NotificationService final : public QDBusVirtualObject {
public:
    explicit NotificationService(QString recordFile) : recordFile_(std::move(recordFile)) {}

    QString introspect(const QString& /*path*/) const override {
        return QStringLiteral(
            "<interface name=\"org.freedesktop.Notifications\">"
            "<method name=\"GetCapabilities\"><arg type=\"as\" direction=\"out\"/></method>"
            "<method name=\"Notify\"><arg type=\"s\" direction=\"in\"/>"
            "<arg type=\"u\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
            "<arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
            "<arg type=\"as\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"in\"/>"
            "<arg type=\"i\" direction=\"in\"/><arg type=\"u\" direction=\"out\"/></method>"
            "<method name=\"CloseNotification\"><arg type=\"u\" direction=\"in\"/></method>"
            "<method name=\"GetServerInformation\"><arg type=\"s\" direction=\"out\"/>"
            "<arg type=\"s\" direction=\"out\"/><arg type=\"s\" direction=\"out\"/>"
            "<arg type=\"s\" direction=\"out\"/></method>"
            "<signal name=\"NotificationClosed\"><arg type=\"u\"/><arg type=\"u\"/></signal>"
            "<signal name=\"ActionInvoked\"><arg type=\"u\"/><arg type=\"s\"/></signal>"
            "</interface>"
            "<interface name=\"org.velk.test.Notifications\">"
            "<method name=\"Invoke\"><arg type=\"u\" direction=\"in\"/>"
            "<arg type=\"s\" direction=\"in\"/></method>"
            "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        if (message.interface() == kTestInterface && member == QStringLiteral("Invoke") &&
            args.size() == 2) {
            QDBusMessage signal =
                QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
            signal << args[0].toUInt() << args[1].toString();
            connection.send(signal);
            connection.send(message.createReply());
            return true;
        }
        if (member == QStringLiteral("GetCapabilities")) {
            connection.send(message.createReply(
                QVariant(QStringList{QStringLiteral("actions"), QStringLiteral("body")})));
            return true;
        }
        if (member == QStringLiteral("GetServerInformation")) {
            connection.send(message.createReply(
                QVariantList{QStringLiteral("velk-test-notifications"), QStringLiteral("velk"),
                             QStringLiteral("1.0"), QStringLiteral("1.2")}));
            return true;
        }
        if (member == QStringLiteral("CloseNotification") && args.size() == 1) {
            QDBusMessage signal =
                QDBusMessage::createSignal(kPath, kService, QStringLiteral("NotificationClosed"));
            signal << args[0].toUInt() << 3u;
            connection.send(signal);
            connection.send(message.createReply());
            return true;
        }
        if (member == QStringLiteral("Notify") && args.size() == 8) {
            const uint id = ++lastId_;
            QJsonObject record;
            record[QStringLiteral("id")] = static_cast<int>(id);
            record[QStringLiteral("app")] = args[0].toString();
            record[QStringLiteral("summary")] = args[3].toString();
            record[QStringLiteral("body")] = args[4].toString();
            record[QStringLiteral("actions")] = QJsonArray::fromStringList(args[5].toStringList());
            record[QStringLiteral("sender")] = message.service();
            QFile file(recordFile_);
            if (file.open(QIODevice::Append)) {
                file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + "\n");
            }
            connection.send(message.createReply(QVariant(id)));
            return true;
        }
        return false;  // Introspect and the rest: Qt's own handling
    }

private:
    QString recordFile_;
    uint lastId_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    return RunDBusStandIn<NotificationService>(argc, argv, "dbus_notifications_standin", kService,
                                               kPath);
}
