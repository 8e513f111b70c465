#pragma once
// In-memory AppKit: an application that launches when run, a status bar, a window server, scripted
// alerts, local event monitors, a workspace and a pasteboard.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/AppKit/NSAlert.hpp"
#include "Platform/AppKit/NSApplication.hpp"
#include "Platform/AppKit/NSEvent.hpp"
#include "Platform/AppKit/NSPasteboard.hpp"
#include "Platform/AppKit/NSStatusBar.hpp"
#include "Platform/AppKit/NSWorkspace.hpp"
#include "Platform/AppKit/Views.hpp"

namespace fakes {

class FakeApplication : public appkit::NSApplication {
public:
    void setDelegate(std::weak_ptr<appkit::NSApplicationDelegate> delegate) override { delegate_ = std::move(delegate); }
    bool setActivationPolicy(appkit::NSApplicationActivationPolicy policy) override {
        activationPolicy = policy;
        return true;
    }
    // Finishes launching (the delegate hears of it) and returns at once: the test drives the loop.
    void run() override;
    void terminate() override { terminated = true; }

    std::shared_ptr<appkit::NSApplicationDelegate> delegate() const { return delegate_.lock(); }
    std::optional<appkit::NSApplicationActivationPolicy> activationPolicy;
    bool terminated = false;

private:
    std::weak_ptr<appkit::NSApplicationDelegate> delegate_;
};

class FakeStatusBar : public appkit::NSStatusBar {
public:
    std::shared_ptr<appkit::NSStatusItem> statusItem(appkit::CGFloat length) override {
        items.push_back(std::make_shared<appkit::NSStatusItem>(length));
        return items.back();
    }
    std::vector<std::shared_ptr<appkit::NSStatusItem>> items;
};

class FakeWindowServer : public appkit::WindowServer {
public:
    std::optional<appkit::NSScreen> mainScreen() const override { return screen; }
    std::shared_ptr<appkit::NSPanel> makePanel(appkit::NSRect contentRect, appkit::NSWindowStyleMask styleMask,
                                               appkit::NSBackingStoreType backing, bool defer) override {
        panels.push_back(std::make_shared<appkit::NSPanel>(contentRect, styleMask, backing, defer));
        return panels.back();
    }

    std::optional<appkit::NSScreen> screen = appkit::NSScreen{appkit::NSRect(0, 0, 1440, 900)};
    std::vector<std::shared_ptr<appkit::NSPanel>> panels;
};

// Answers alerts from a script; each answer may first act as the user would during the modal
// session (press keys, for instance). Without a scripted answer the last button is chosen.
class FakeAlerts : public appkit::AlertPresenting {
public:
    struct Answer {
        appkit::NSModalResponse response = appkit::NSAlertFirstButtonReturn;
        std::function<void(const appkit::NSAlert&)> duringSession;
    };
    appkit::NSModalResponse runModal(const appkit::NSAlert& alert) override;
    void answer(appkit::NSModalResponse response, std::function<void(const appkit::NSAlert&)> duringSession = {}) {
        script.push_back(Answer{response, std::move(duringSession)});
    }

    std::vector<Answer> script;
    std::vector<appkit::NSAlert> shown;
};

class FakeEventMonitors : public appkit::EventMonitoring {
public:
    MonitorID addLocalMonitorForEvents(appkit::NSEventMask mask, Handler handler) override;
    void removeMonitor(MonitorID monitor) override { monitors_.erase(monitor); }
    // Passes an event to this application's monitors in the order they were added; nothing when consumed.
    std::optional<appkit::NSEvent> deliver(const appkit::NSEvent& event);
    size_t monitorCount() const { return monitors_.size(); }

private:
    struct Monitor {
        appkit::NSEventMask mask;
        Handler handler;
    };
    std::map<MonitorID, Monitor> monitors_;
    MonitorID next_ = 1;
};

class FakeWorkspace : public appkit::NSWorkspace {
public:
    std::optional<std::string> frontmostApplicationName() const override { return frontmostApplication; }
    bool open(const std::filesystem::path& file) override {
        openedFiles.push_back(file);
        return true;
    }
    bool openURL(std::string_view url) override {
        openedURLs.emplace_back(url);
        return true;
    }

    std::optional<std::string> frontmostApplication;
    std::vector<std::filesystem::path> openedFiles;
    std::vector<std::string> openedURLs;
};

class FakePasteboard : public appkit::NSPasteboard {
public:
    int64_t changeCount() const override { return changeCount_; }
    int64_t clearContents() override {
        items_.clear();
        return ++changeCount_;
    }
    std::optional<std::string> string(std::string_view type) const override;
    bool setString(std::string_view text, std::string_view type) override;
    std::vector<appkit::NSPasteboardItem> pasteboardItems() const override { return items_; }
    bool writeObjects(const std::vector<appkit::NSPasteboardItem>& items) override {
        items_.insert(items_.end(), items.begin(), items.end());
        return true;
    }
    appkit::NSPasteboardDelivery delivery() const override { return reported; }

    // What delivery() says; a test plays the readers and the other applications with it.
    appkit::NSPasteboardDelivery reported = appkit::NSPasteboardDelivery::stored;

private:
    std::vector<appkit::NSPasteboardItem> items_;
    int64_t changeCount_ = 0;
};

}  // namespace fakes
