#pragma once
// The desktop's notification service (org.freedesktop.Notifications on the session bus), which
// carries the "ready to install" message on desktops that have no notification area. Owns its
// view of the bus and the ids of the notifications it sent; reports when the user invokes the
// "default" action of one of them, and when a notification could not be shown at all (no session
// bus, nobody owning the service, an error or no answer), so that the caller can ask for the
// desktop's attention another way. Nothing here waits on the bus: every call is asynchronous with
// a short time limit. UI thread only.
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>
#include <set>

class DesktopNotifications final : public QObject {
    Q_OBJECT

public:
    struct Handlers {
        // The user invoked the default action (clicked the notification) of one of ours.
        std::function<void()> activated;
        // A notification could not be shown.
        std::function<void()> failed;
    };

    static constexpr int kCallTimeoutMs = 3000;

    explicit DesktopNotifications(Handlers handlers,
                                  QDBusConnection bus = QDBusConnection::sessionBus());
    ~DesktopNotifications() override;
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    // Sends a notification: `summary` is plain text to the service; `body` may be read as markup,
    // so it is escaped here. The answer comes later; `failed` runs if there is none (also when
    // there is no bus at all, then still on a later turn of the event loop, never inside Show).
    void Show(const QString& summary, const QString& body);

    // Notifications the service accepted and that are still open.
    size_t OpenCount() const { return open_.size(); }

private slots:
    void OnActionInvoked(uint id, const QString& actionKey);
    void OnClosed(uint id, uint reason);

private:
    void Failed(const QString& why);

    Handlers handlers_;
    QDBusConnection bus_;
    std::set<uint> open_;
    bool warned_ = false;
};
