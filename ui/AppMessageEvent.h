#pragma once
// An engine event on its way to the main window: the engines' threads post it with
// QCoreApplication::postEvent (safe from any thread) and the window's event() takes the engine
// event out on the user-interface thread. What it carries goes with the Qt event, so an engine
// event that is never delivered (the window went first) is still freed.
#include <QEvent>

#include "core/AppEvent.h"

class AppMessageEvent final : public QEvent {
public:
    explicit AppMessageEvent(AppEvent appEvent) : QEvent(EventType()), event(std::move(appEvent)) {}

    static QEvent::Type EventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    AppEvent event;
};
