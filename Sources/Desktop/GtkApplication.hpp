#pragma once
// The application object on GTK: its event loop is the GLib main loop; SIGTERM, SIGINT and SIGHUP end
// it cleanly, as the quit entry does.
#include <memory>
#include <vector>

#include "Platform/AppKit/NSApplication.hpp"
#include "Platform/Foundation/MainExecutor.hpp"

namespace desktop {

class GtkApplication : public appkit::NSApplication {
public:
    // GTK must be initialised (openDisplay) first; the executor runs on the same loop.
    explicit GtkApplication(foundation::MainExecutor& mainExecutor);
    ~GtkApplication() override;
    GtkApplication(const GtkApplication&) = delete;
    GtkApplication& operator=(const GtkApplication&) = delete;

    void setDelegate(std::weak_ptr<appkit::NSApplicationDelegate> delegate) override { delegate_ = std::move(delegate); }
    // There is no dock here: every policy is accepted and the app never shows a main window.
    bool setActivationPolicy(appkit::NSApplicationActivationPolicy) override { return true; }
    // The delegate hears that launching finished in the loop's first turn.
    void run() override;
    void terminate() override;

private:
    foundation::MainExecutor& mainExecutor_;
    std::weak_ptr<appkit::NSApplicationDelegate> delegate_;
    bool terminated_ = false;
    std::vector<unsigned int> signalSources_;
};

// Initialises GTK on the display of the environment; false when there is no display to open.
bool openDisplay();

// Claims this display for one Quorvel (an X selection that lives as long as the process's connection);
// false when another one holds it.
bool claimSingleInstance();

}  // namespace desktop
