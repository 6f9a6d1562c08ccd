#pragma once
// An engine message on its way to the main window: the engines' threads post it with
// QCoreApplication::postEvent (safe from any thread) and the window's event() takes the message
// out on the user-interface thread. The payload goes with the event, so a message that is never
// delivered (the window went first) is still freed.
#include <QEvent>

#include "core/AppMessage.h"

class AppMessageEvent final : public QEvent {
public:
    explicit AppMessageEvent(AppMessage appMessage)
        : QEvent(EventType()), message(std::move(appMessage)) {}

    static QEvent::Type EventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    AppMessage message;
};
