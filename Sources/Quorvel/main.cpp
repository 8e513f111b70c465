// The app's entry point. The desktop backends (status bar, panels, key taps, pasteboard) are not part
// of this build yet, so the executable has nothing to show and says so.
#include <cstdio>

int main() {
    std::puts("[Quorvel] No desktop backend in this build; the menu-bar app cannot start.");
    return 0;
}
