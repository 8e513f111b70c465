#pragma once
// For tests that run GTK in their own process: one virtual display per process with GTK on it, and
// turning the main loop while waiting.
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "Desktop/GtkApplication.hpp"
#include "DesktopTests/DesktopSession.hpp"

namespace desktoptest {

// Turns the default main context until the condition holds or the time is up.
inline bool spinUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline void spinFor(std::chrono::milliseconds time) { spinUntil([] { return false; }, time); }

// GTK can be initialised once per process: on this display, made on first use; null without Xvfb or when it
// does not come up.
inline VirtualDisplay* desktopSession() {
    static std::unique_ptr<VirtualDisplay> display = [] {
        auto made = std::make_unique<VirtualDisplay>();
        if (!made->isRunning()) return std::unique_ptr<VirtualDisplay>();
        setenv("DISPLAY", made->name().c_str(), 1);
        // A test session has no accessibility bus; GTK's bridge to it would only look for one.
        setenv("NO_AT_BRIDGE", "1", 1);
        if (!desktop::openDisplay()) return std::unique_ptr<VirtualDisplay>();
        return made;
    }();
    return display.get();
}

}  // namespace desktoptest

// Skips only where there is no X server to start: one that is there but does not come up is a failure.
#define REQUIRE_DESKTOP()                                                                                   \
    do {                                                                                                    \
        if (!desktoptest::findProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (scripts/setup.sh installs it)"; \
        ASSERT_TRUE(desktoptest::desktopSession()) << "Xvfb is installed, but no display could be opened on it";   \
    } while (0)
