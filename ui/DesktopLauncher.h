#pragma once
// How the main window hands things to the desktop: web pages to the browser and downloaded
// installers (already checked by the lifecycle) to be started. The window holds one by reference
// so that tests can watch what would be started without starting it. UI thread only.
#include <string>

class DesktopLauncher {
public:
    virtual ~DesktopLauncher() = default;
    virtual void OpenUrl(const std::u16string& url) = 0;
    virtual void RunInstaller(const std::u16string& path) = 0;
};

// The real desktop: xdg-open (through Qt) for pages. An installer that is a program
// (executable) is started directly and one that is a shell script is run by /bin/sh, both with an
// argument list in the installer's own folder and never through a shell command line; anything
// else goes to the file's default application. Failures are not reported (the user sees nothing
// start and can use the row's link again).
class SystemDesktopLauncher final : public DesktopLauncher {
public:
    void OpenUrl(const std::u16string& url) override;
    void RunInstaller(const std::u16string& path) override;
};
