// Starts the app on a virtual display with a microphone that plays speech, presses the hotkey and
// saves a screenshot of the screen while it records, so the overlay's bars can be seen.
//   overlay-screenshot [out.png]
#include <X11/Xlib.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "DesktopTests/DesktopSession.hpp"

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    namespace fs = std::filesystem;
    const fs::path output = fs::absolute(argc > 1 ? argv[1] : "overlay.png");
    desktoptest::VirtualDisplay display;
    if (!display.isRunning()) {
        std::fprintf(stderr, "overlay-screenshot: Xvfb is not installed or does not start\n");
        return 1;
    }
    const fs::path home = fs::temp_directory_path() / ("quorvel-screenshot-" + std::to_string(getpid()));
    fs::create_directories(home);
    int status = 1;
    {
        desktoptest::FedMicrophone microphone(home, QUORVEL_SPEECH);
        desktoptest::AppProcess app(QUORVEL_APP,
                                    {{"DISPLAY", display.name()}, {"HOME", home.string()},
                                     {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}},
                                    home / "app.log");
        Display* x = XOpenDisplay(display.name().c_str());
        if (x && app.waitForLine("[Quorvel] Ready.", 15s)) {
            desktoptest::pressKey(x, {"Alt_L"}, "space");
            std::this_thread::sleep_for(1500ms);  // the bars rise with the speech
            if (desktoptest::saveScreenshot(x, output)) {
                std::printf("%s\n", output.c_str());
                status = 0;
            }
        } else {
            std::fprintf(stderr, "overlay-screenshot: the app did not start:\n%s\n", app.log().c_str());
        }
        if (x) XCloseDisplay(x);
        app.terminate(5s);
    }
    fs::remove_all(home);
    return status;
}
