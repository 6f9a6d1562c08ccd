#pragma once
// Polls a condition until it holds or the limit passes; returns whether it held. Every wait in a
// test has a limit, and none relies on a sleep being long enough.
#include <chrono>
#include <thread>

template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
