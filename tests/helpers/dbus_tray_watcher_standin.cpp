// A stand-in for a StatusNotifier watcher with a host (the panel of KDE Plasma, or GNOME's
// AppIndicator extension), run by the desktop tests on their own session bus:
//   dbus_tray_watcher_standin RECORD_FILE
// Owns org.kde.StatusNotifierWatcher, says a host is registered, and appends one line per
// RegisterStatusNotifierItem call to RECORD_FILE: the item's bus name, a tab, the object path
// (the argument may be either, as the protocol allows). Ends with SIGTERM.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>

#include "DBusStandIn.h"

namespace {

const QString kService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kPath = QStringLiteral("/StatusNotifierWatcher");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

class Watcher final : public QDBusVirtualObject {
public:
    explicit Watcher(QString recordFile) : recordFile_(std::move(recordFile)) {}

    QString introspect(const QString& /*path*/) const override {
        return QStringLiteral(
            "<interface name=\"org.kde.StatusNotifierWatcher\">"
            "<method name=\"RegisterStatusNotifierItem\">"
            "<arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<method name=\"RegisterStatusNotifierHost\">"
            "<arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
            "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
            "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
            "<signal name=\"StatusNotifierItemRegistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierItemUnregistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierHostRegistered\"/>"
            "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        if (message.interface() == kProperties) {
            if (member == QStringLiteral("Get") && args.size() == 2) {
                connection.send(
                    message.createReply(QVariant::fromValue(QDBusVariant(Property(args[1])))));
                return true;
            }
            if (member == QStringLiteral("GetAll")) {
                QVariantMap all;
                for (const char* name : {"RegisteredStatusNotifierItems",
                                         "IsStatusNotifierHostRegistered", "ProtocolVersion"}) {
                    all[QString::fromLatin1(name)] = Property(QString::fromLatin1(name));
                }
                connection.send(message.createReply(QVariant(all)));
                return true;
            }
            return false;
        }
        if (member == QStringLiteral("RegisterStatusNotifierItem") && args.size() == 1) {
            const QString argument = args[0].toString();
            // A path alone names an object of the caller; otherwise the default path.
            const bool isPath = argument.startsWith(u'/');
            const QString service = isPath ? message.service() : argument;
            const QString path = isPath ? argument : QStringLiteral("/StatusNotifierItem");
            items_ << service + path;
            QFile file(recordFile_);
            if (file.open(QIODevice::Append)) {
                file.write((service + u'\t' + path + u'\n').toUtf8());
            }
            QDBusMessage signal = QDBusMessage::createSignal(
                kPath, kService, QStringLiteral("StatusNotifierItemRegistered"));
            signal << service + path;
            connection.send(signal);
            connection.send(message.createReply());
            return true;
        }
        if (member == QStringLiteral("RegisterStatusNotifierHost")) {
            connection.send(message.createReply());
            return true;
        }
        return false;
    }

private:
    QVariant Property(const QVariant& name) const {
        const QString property = name.toString();
        if (property == QStringLiteral("IsStatusNotifierHostRegistered")) {
            return true;
        }
        if (property == QStringLiteral("ProtocolVersion")) {
            return 0;
        }
        return items_;
    }

    QString recordFile_;
    QStringList items_;
};

}  // namespace

int main(int argc, char** argv) {
    return RunDBusStandIn<Watcher>(argc, argv, "dbus_tray_watcher_standin", kService, kPath);
}
