#pragma once
// The workspace: which application is in front, and opening folders and URLs.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace appkit {

class NSWorkspace {
public:
    virtual ~NSWorkspace() = default;
    // The localized name of the frontmost application; nothing when there is none or it has no name.
    virtual std::optional<std::string> frontmostApplicationName() const = 0;
    // Shows a folder in the file browser (or opens a file with its application).
    virtual bool open(const std::filesystem::path& file) = 0;
    // Opens a URL with the application that handles its scheme (settings panes included).
    virtual bool openURL(std::string_view url) = 0;
};

}  // namespace appkit
