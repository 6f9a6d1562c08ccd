#pragma once
// HeaderControl: the 60-pixel bar across the top of the main window: word mark, the Resume,
// Pause and Options buttons, the user's picture and name, the "Login"/"Logout" link and the
// version. It owns its five translucent children and draws them onto its own off-screen image;
// clicks become commands for the main window (HeaderCommandSink). It never acts on downloads.
// UI thread only. The skin and the icon atlas are the main window's and must outlive it.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "controls/TranslucentParent.h"

class CTranslucentButton;
class CTranslucentStatic;
class CTranslucentStaticLink;

// Commands the header gives the main window.
enum HeaderCommand : int {
    ID_PAUSE_ALL = 33002,
    ID_RESUME_ALL = 33003,
    ID_SETTINGS = 33004,
    ID_LOGIN_LOGOUT = 33005,
};

// What the header's buttons offer, one case per state of the program.
enum class LoginState {
    Offline = 0,    // Resume and Pause disabled
    SignedOut = 1,  // as Offline
    Paused = 2,     // Resume enabled, Pause disabled
    SignedIn = 3,   // running: Resume disabled, Pause enabled, the link reads "Logout"
};

// Implemented by the main window. Button commands arrive posted (from the event loop, after the
// click has been handled); the login command is delivered synchronously, during the click.
class HeaderCommandSink {
public:
    virtual ~HeaderCommandSink() = default;
    virtual void OnHeaderCommand(int commandId) = 0;
};

class HeaderControl : public QWidget, public TranslucentParent {
public:
    static constexpr int kControlId = 8;
    // Control ids of the children.
    static constexpr int kResumeId = 1;
    static constexpr int kPauseId = 2;
    static constexpr int kOptionsId = 3;
    static constexpr int kLoginLinkId = 1013;

    HeaderControl();
    ~HeaderControl() override;

    // Becomes a child of `dialog` (its Qt parent, which then owns it) at `rect`, creates the
    // buttons, the name text and the link, and shows itself. `commands` may be null.
    bool Create(QWidget* dialog, HeaderCommandSink* commands, const QImage* skin,
                const QImage* atlas, const QRect& rect);

    // Shows the picture from `picturePath` (the grey default picture when empty) and the name.
    void SetUser(const std::u16string& picturePath, const std::u16string& userName);
    // Enables the buttons as `state` says; with `reset`, Offline and SignedOut also show "Login",
    // "Not logged in" and no picture.
    void SetLoginState(LoginState state, bool reset);
    // The link reads "Logout" while a user is signed in and "Login" otherwise. The states above
    // but SignedIn leave the link as it was (but for a reset), so the window says which after each
    // of them: the link's text must always match what a click on it does.
    void ShowSignedIn(bool signedIn);

    // Draws the whole header into a new image of its size (the children drawn on it).
    QImage Render();

    CTranslucentButton* ResumeButton() const { return resume_.get(); }
    CTranslucentButton* PauseButton() const { return pause_.get(); }
    CTranslucentButton* OptionsButton() const { return options_.get(); }
    CTranslucentStatic* UserNameText() const { return userNameText_.get(); }
    CTranslucentStaticLink* LoginLink() const { return loginLink_.get(); }
    const std::u16string& UserName() const { return userName_; }
    // The build's version as shown, e.g. "0.9.0.1336".
    static QString VersionText();

    void OnTranslucentNotify(const TranslucentNotification& notification) override;
    void OnTranslucentCommand(int controlId) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void PostCommand(int commandId);

    QColor background_ = QColor::fromRgba(0xFF454545);
    QColor pictureBackground_ = QColor::fromRgba(0xFF555555);
    QColor pictureFrame_ = QColor::fromRgba(0xFF909090);
    QColor versionColour_ = QColor::fromRgba(0xFFD6D6D6);
    QFont versionFont_;
    QImage logo_;
    QImage defaultPicture_;
    const QImage* skin_ = nullptr;
    const QImage* atlas_ = nullptr;
    // Set means a picture is shown in place of the key, even one that failed to load (it draws
    // nothing and leaves the grey square).
    std::optional<QImage> userPicture_;
    std::u16string userName_;
    HeaderCommandSink* commands_ = nullptr;
    std::unique_ptr<CTranslucentButton> resume_;
    std::unique_ptr<CTranslucentButton> pause_;
    std::unique_ptr<CTranslucentButton> options_;
    std::unique_ptr<CTranslucentStatic> userNameText_;
    std::unique_ptr<CTranslucentStaticLink> loginLink_;
};
