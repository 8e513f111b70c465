// The app's entry point: the desktop backends behind every platform interface, the app delegate on
// top, and the GLib main loop until the quit entry or a signal (SIGTERM, SIGINT, SIGHUP) ends it.
#include <cstdio>
#include <cstdlib>

#ifdef QUORVEL_HAS_DESKTOP
#include <filesystem>

#include "Desktop/GLibMainExecutor.hpp"
#include "Desktop/GtkApplication.hpp"
#include "Desktop/GtkDialogs.hpp"
#include "Desktop/GtkPasteboard.hpp"
#include "Desktop/GtkWindowServer.hpp"
#include "Desktop/TrayStatusBar.hpp"
#include "Desktop/X11EventServices.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Quorvel/AppDelegate.hpp"
#include "Quorvel/LexiphonicEngine.hpp"

int main() {
    if (!desktop::openDisplay()) {
        std::puts("[Quorvel] No X11 display (DISPLAY is unset or cannot be opened); Quorvel runs on a desktop session.");
        return 1;
    }
    if (!desktop::claimSingleInstance()) {
        std::puts("[Quorvel] Another Quorvel is running on this display (it holds the hotkey); this one exits.");
        return 1;
    }
    desktop::GLibMainExecutor mainExecutor;
    desktop::GtkApplication application(mainExecutor);
    desktop::TrayStatusBar statusBar;
    desktop::X11Workspace workspace;
    desktop::GtkPasteboard pasteboard;
    desktop::GtkPasteboard primarySelection(desktop::GtkPasteboard::Selection::primary);
    desktop::GtkWindowServer windowServer;
    desktop::GtkDialogs dialogs;
    desktop::X11EventServices events;
    speech::UnavailableSpeechRecognition speech;
    desktop::LibnotifyNotificationCenter notifications;
    privacy::UngatedAudioCapture microphone;
    privacy::UngatedAccessibility accessibility;
    foundation::FileUserDefaults defaults(foundation::FileUserDefaults::standardFile("quorvel"));
    const auto print = quorvel::standardOutput();

    std::error_code noTemporary;
    auto temporary = std::filesystem::temp_directory_path(noTemporary);
    if (noTemporary) temporary = "/tmp";

    quorvel::AppDelegate::Services services{
        mainExecutor, foundation::TaskPool::shared(), application, statusBar, workspace, pasteboard, windowServer, dialogs,
        dialogs, events, speech, notifications, microphone, accessibility, defaults, avfoundation::portAudioInputBackend(),
        [print](const std::string& locale) { return std::make_shared<quorvel::LexiphonicEngine>(locale, print); },
        foundation::homeDirectory(), temporary, foundation::SystemClock::shared(), print, &primarySelection};
    // Every worker has let go before the objects above and the program's statics are destroyed; one
    // still busy (a download that does not answer) would meet them half-destroyed, so the process then
    // ends without its exit handlers (what the user said is already on disk).
    if (!quorvel::runApplication(application, std::move(services))) std::_Exit(0);
    return 0;
}
#else
int main() {
    std::puts("[Quorvel] This build has no desktop backends (GTK 3, AyatanaAppIndicator3, X11, XTest, libnotify); "
              "install them with scripts/setup.sh and build again.");
    return 0;
}
#endif
