#include "Platform/Foundation/UserDefaults.hpp"

#include "Platform/Foundation/Environment.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace foundation {

namespace {

// The file holds {"key": {"data": "<hex bytes>"}, ...}: data values may be any bytes, JSON strings may not.
std::string hexEncoded(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

std::optional<std::string> hexDecoded(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = nibble(hex[i]), low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high << 4 | low));
    }
    return out;
}

}  // namespace

FileUserDefaults::FileUserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    auto text = readFileIfPresent(file_);
    if (!text) return;
    try {
        auto document = JSONDocument::parse(*text);
        if (!document.root().isObject()) return;
        for (auto& [key, entry] : document.root().members()) {
            auto data = entry.member("data");
            if (!data.isString()) continue;
            if (auto bytes = hexDecoded(data.asStringView())) values_.insert_or_assign(key, std::move(*bytes));
        }
    } catch (const JSONError&) {
        // A damaged store is as good as none: the application falls back to its defaults.
        values_.clear();
    }
}

std::filesystem::path FileUserDefaults::standardFile(std::string_view application) {
    std::filesystem::path base;
    if (auto config = environmentValue("XDG_CONFIG_HOME"); config && !config->empty() && config->front() == '/')
        base = *config;
    else
        base = homeDirectory() / ".config";
    return base / std::string(application) / "defaults.json";
}

std::optional<std::string> InMemoryUserDefaults::data(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

void InMemoryUserDefaults::setData(std::string_view key, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::string(bytes));
    changed(values_);
}

void InMemoryUserDefaults::removeObject(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return;
    values_.erase(found);
    changed(values_);
}

void FileUserDefaults::changed(const std::map<std::string, std::string, std::less<>>& values) {
    JSONWriter writer(JSONWriter::Options{.pretty = true, .sortedKeys = false, .escapeSlashes = false});
    writer.beginObject();
    for (auto& [key, bytes] : values) {
        writer.key(key).beginObject();
        writer.field("data", hexEncoded(bytes));
        writer.endObject();
    }
    writer.endObject();
    try {
        std::error_code ignored;
        std::filesystem::create_directories(file_.parent_path(), ignored);
        writeFileAtomically(file_, writer.str() + "\n");
    } catch (const FileError&) {
        // Defaults never stop the application; the value lives on in memory.
    }
}

}  // namespace foundation
