#include "PlatformFakes/FakeAppKit.hpp"

namespace fakes {

void FakeApplication::run() {
    if (auto delegate = delegate_.lock()) delegate->applicationDidFinishLaunching();
}

appkit::NSModalResponse FakeAlerts::runModal(const appkit::NSAlert& alert) {
    shown.push_back(alert);
    if (script.empty())
        return appkit::NSAlertFirstButtonReturn + static_cast<appkit::NSModalResponse>(alert.buttons.size()) - 1;
    Answer answer = std::move(script.front());
    script.erase(script.begin());
    if (answer.duringSession) answer.duringSession(alert);
    return answer.response;
}

appkit::EventMonitoring::MonitorID FakeEventMonitors::addLocalMonitorForEvents(appkit::NSEventMask mask,
                                                                               Handler handler) {
    const MonitorID id = next_++;
    monitors_.emplace(id, Monitor{mask, std::move(handler)});
    return id;
}

std::optional<appkit::NSEvent> FakeEventMonitors::deliver(const appkit::NSEvent& event) {
    std::optional<appkit::NSEvent> current = event;
    const appkit::NSEventMask bit = appkit::NSEventMask{1} << static_cast<uint32_t>(event.type);
    for (auto& [id, monitor] : monitors_) {
        if (!(monitor.mask & bit)) continue;
        current = monitor.handler(*current);
        if (!current) break;
    }
    return current;
}

std::optional<std::string> FakePasteboard::string(std::string_view type) const {
    for (auto& item : items_)
        if (auto data = item.data(type)) return data;
    return std::nullopt;
}

bool FakePasteboard::setString(std::string_view text, std::string_view type) {
    if (items_.empty()) items_.emplace_back();
    items_.front().setData(type, std::string(text));
    return true;
}

}  // namespace fakes
