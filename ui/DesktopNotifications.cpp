#include "ui/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMetaObject>
#include <QVariantMap>

#include "core/DebugPrintf.h"
#include "ui/QtText.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

}  // namespace

DesktopNotifications::DesktopNotifications(Handlers handlers, QDBusConnection bus)
    : handlers_(std::move(handlers)), bus_(std::move(bus)) {
    if (bus_.isConnected()) {
        // Signals of whoever owns the service now or later: the name is matched, not the owner.
        bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                     SLOT(OnActionInvoked(uint, QString)));
        bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                     SLOT(OnClosed(uint, uint)));
    }
}

DesktopNotifications::~DesktopNotifications() {
    if (bus_.isConnected()) {
        bus_.disconnect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                        SLOT(OnActionInvoked(uint, QString)));
        bus_.disconnect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                        SLOT(OnClosed(uint, uint)));
    }
}

void DesktopNotifications::Show(const QString& summary, const QString& body) {
    if (!bus_.isConnected()) {
        // Reported like any other failure: after the caller's own work is done.
        QMetaObject::invokeMethod(
            this, [this] { Failed(QStringLiteral("there is no session bus")); },
            Qt::QueuedConnection);
        return;
    }
    QDBusMessage notify =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout.
    notify << QStringLiteral("Velkora Downloader") << 0u << QStringLiteral("velkdownloader")
           << summary << body.toHtmlEscaped()
           << QStringList{kDefaultAction, QStringLiteral("Install")} << QVariantMap() << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(notify, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                const QDBusPendingReply<uint> reply = *call;
                call->deleteLater();
                if (reply.isError()) {
                    Failed(reply.error().message());
                    return;
                }
                open_.insert(reply.value());
            });
}

void DesktopNotifications::OnActionInvoked(uint id, const QString& actionKey) {
    // Every program's notifications are announced to all: only ours count.
    if (actionKey != kDefaultAction || open_.count(id) == 0) {
        return;
    }
    if (handlers_.activated) {
        handlers_.activated();
    }
}

void DesktopNotifications::OnClosed(uint id, uint /*reason*/) {
    open_.erase(id);
}

void DesktopNotifications::Failed(const QString& why) {
    // Once per run: a desktop without the service says so the same way every time.
    if (!warned_) {
        warned_ = true;
        Logger().Warning(u"Desktop notifications are not available: %s", FromQString(why));
    }
    if (handlers_.failed) {
        handlers_.failed();
    }
}
