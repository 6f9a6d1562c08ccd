#pragma once
// What a translucent child (button, text, link) needs from the custom-drawn widget it sits on:
// where to report clicks. The children find it by casting their parent widget; a parent that
// does not implement it simply gets no reports. Both calls are synchronous, on the UI thread,
// and the parent may delete the reporting child inside them.
class QWidget;

// Code of a translucent button's click notification.
inline constexpr int NM_TRANSLUCENT_CLICK = 0x807B;

// The notification header a button sends on a click: who sent it and why.
struct TranslucentNotification {
    QWidget* from = nullptr;
    int idFrom = 0;
    int code = 0;
};

class TranslucentParent {
public:
    virtual ~TranslucentParent() = default;
    // A button's notification (code NM_TRANSLUCENT_CLICK on a click).
    virtual void OnTranslucentNotify(const TranslucentNotification& notification) = 0;
    // A link was clicked; `controlId` is the link's control id.
    virtual void OnTranslucentCommand(int controlId) = 0;
};
