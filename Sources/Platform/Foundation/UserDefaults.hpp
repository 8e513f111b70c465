#pragma once
// User defaults: small values an application keeps between launches, by key. Only data values are
// used by the system; the persistent store is one JSON file per application.
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // The bytes stored under the key, or nothing.
    virtual std::optional<std::string> data(std::string_view key) const = 0;
    virtual void setData(std::string_view key, std::string_view bytes) = 0;
    virtual void removeObject(std::string_view key) = 0;
};

// Defaults that live as long as the object (the volatile domain; tests use it as a fake). Safe to
// use from several threads.
class InMemoryUserDefaults : public UserDefaults {
public:
    std::optional<std::string> data(std::string_view key) const override;
    void setData(std::string_view key, std::string_view bytes) override;
    void removeObject(std::string_view key) override;

protected:
    // Called after every change, under the lock, with the whole store.
    virtual void changed(const std::map<std::string, std::string, std::less<>>&) {}

    mutable std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> values_;
};

// Defaults kept in one file, read once when made and rewritten atomically on every change, so a crash
// never leaves a half-written store. A missing or unreadable file starts empty; a failed write keeps the
// value in memory for this process only.
class FileUserDefaults : public InMemoryUserDefaults {
public:
    explicit FileUserDefaults(std::filesystem::path file);
    // "$XDG_CONFIG_HOME/<application>/defaults.json", else "~/.config/<application>/defaults.json".
    static std::filesystem::path standardFile(std::string_view application);

protected:
    void changed(const std::map<std::string, std::string, std::less<>>& values) override;

private:
    std::filesystem::path file_;
};

}  // namespace foundation
