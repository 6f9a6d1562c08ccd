// Every test program starts in a home of its own, so nothing a test does can reach the real
// user's settings or files, even a test that forgets its own TempHome.
#include <gtest/gtest.h>

#include "support/TempHome.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    TempHome home;
    return RUN_ALL_TESTS();
}
