#pragma once
// The one QApplication of a widget test program, on Qt's offscreen platform so that what the
// tests draw and measure never depends on the desktop they run on. Header only, and included only
// by the controls tests: the rest of the test support stays free of Qt.
// The application is made before the first test (or at the first QtTestApp() call, whichever
// comes first) and destroyed after the last, on the main thread.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <memory>

// Fontconfig keeps a cache for the life of the process that LeakSanitizer reports at exit; it is
// the font library's, not ours. Weak, so that a suppression list of the whole test program wins,
// and so that two definitions of it could never clash.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace qt_test_app_detail {

inline std::unique_ptr<QApplication>& Slot() {
    static std::unique_ptr<QApplication> app;
    return app;
}

}  // namespace qt_test_app_detail

inline QApplication& QtTestApp() {
    std::unique_ptr<QApplication>& app = qt_test_app_detail::Slot();
    if (!app) {
        // A test program started for a real display (the screenshot under Xvfb) keeps its platform.
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        // QApplication keeps argc and argv for its whole life.
        static int argc = 1;
        static char name[] = "velk_widget_test";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    return *app;
}

namespace qt_test_app_detail {

class Environment final : public ::testing::Environment {
public:
    void SetUp() override { QtTestApp(); }
    void TearDown() override { Slot().reset(); }
};

// Registered once per program however many files include this.
inline ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new Environment);

}  // namespace qt_test_app_detail
