#include "PelluxCore/FoundationExtensions.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>

#include "Platform/Foundation/Files.hpp"

namespace pellux {

namespace ftext = foundation::text;

float rounded(float value, int64_t decimalPlaces) {
    const float multiplier = std::pow(10.0f, static_cast<float>(decimalPlaces));
    return std::round(value * multiplier) / multiplier;
}

std::string resolveAbsolutePath(std::string_view path) {
    std::string expanded = foundation::expandingTilde(path);
    if (!expanded.empty() && expanded.front() == '/') return expanded;
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    std::string base = error || current.empty() ? std::string(1, '/') : current.string();
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string joined = base == "/" ? "/" + expanded : base + "/" + expanded;
    // A file URL's path carries no trailing slash.
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    return joined;
}

std::vector<std::string> orderedSet(const std::vector<std::string>& elements) {
    std::unordered_set<std::string> seen;
    std::vector<std::string> result;
    for (const auto& element : elements) {
        if (seen.insert(ftext::normalized(element, ftext::NormalizationForm::nfc)).second) result.push_back(element);
    }
    return result;
}

namespace {

// Characters compare by canonical equivalence, so a cluster matches when its NFC form is the member.
bool clusterIsOneOf(std::string_view cluster, std::initializer_list<std::string_view> members) {
    const bool ascii = std::all_of(cluster.begin(), cluster.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const std::string nfc = ascii ? std::string(cluster) : ftext::normalized(cluster, ftext::NormalizationForm::nfc);
    return std::find(members.begin(), members.end(), nfc) != members.end();
}

}  // namespace

std::optional<std::string> lastNaturalBoundary(std::string_view text, int64_t minTokenCount,
                                               const std::function<size_t(const std::string&)>& tokenCount) {
    const std::vector<size_t> bounds = ftext::characterBoundaries(text);
    const size_t clusterCount = bounds.empty() ? 0 : bounds.size() - 1;
    auto cluster = [&](size_t i) { return text.substr(bounds[i], bounds[i + 1] - bounds[i]); };
    auto lastIndexOf = [&](std::initializer_list<std::string_view> members) -> std::optional<size_t> {
        for (size_t i = clusterCount; i-- > 0;) {
            if (clusterIsOneOf(cluster(i), members)) return i;
        }
        return std::nullopt;
    };
    auto enough = [&](const std::string& candidate) {
        return minTokenCount <= 0 || tokenCount(candidate) >= static_cast<size_t>(minTokenCount);
    };

    const std::initializer_list<std::string_view> sentenceEnds = {".", "!", "?", "\n"};
    const std::initializer_list<std::string_view> clauseBreaks = {",", ";", ":", "-", "\u2013"};
    for (const auto& members : {sentenceEnds, clauseBreaks}) {
        const auto index = lastIndexOf(members);
        if (!index) continue;
        std::string candidate = ftext::trimmingWhitespaceAndNewlines(text.substr(0, bounds[*index + 1]));
        if (enough(candidate)) return candidate;
    }
    const auto space = lastIndexOf({" "});
    if (!space) return std::nullopt;
    std::string candidate = ftext::trimmingWhitespaceAndNewlines(text.substr(0, bounds[*space]));
    if (enough(candidate)) return candidate;
    return std::nullopt;
}

std::string trimmingFromEnd(std::string_view text, std::string_view character, int64_t upto) {
    if (upto <= 0) return std::string(text);
    const std::vector<size_t> bounds = ftext::characterBoundaries(text);
    size_t count = bounds.empty() ? 0 : bounds.size() - 1;
    for (int64_t removed = 0; removed < upto && count > 0; ++removed) {
        const std::string_view last = text.substr(bounds[count - 1], bounds[count] - bounds[count - 1]);
        if (!ftext::canonicallyEqual(last, character)) break;
        --count;
    }
    return std::string(text.substr(0, count == 0 ? 0 : bounds[count]));
}

std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob) {
    std::vector<std::string> result;
    for (const auto& name : names) {
        if (fnmatch(glob.c_str(), name.c_str(), 0) == 0) result.push_back(name);
    }
    return result;
}

namespace {

constexpr size_t maximumSystemFileSize = 1 << 20;

// A small system file's bytes up to the first zero byte; nothing when it cannot be read.
std::optional<std::string> readSystemFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string bytes;
    std::array<char, 4096> buffer{};
    while (bytes.size() < maximumSystemFileSize && file.read(buffer.data(), buffer.size()), file.gcount() > 0) {
        bytes.append(buffer.data(), static_cast<size_t>(file.gcount()));
    }
    if (file.bad()) return std::nullopt;
    if (const size_t zero = bytes.find('\0'); zero != std::string::npos) bytes.resize(zero);
    return bytes;
}

std::string trimmed(const std::string& text) { return ftext::trimmingWhitespaceAndNewlines(text); }

struct CPUInfo {
    std::vector<std::vector<std::pair<std::string, std::string>>> processors;  // one block per processor

    std::string first(std::string_view key) const {
        for (const auto& block : processors) {
            for (const auto& [name, value] : block) {
                if (name == key) return value;
            }
        }
        return "";
    }
};

CPUInfo readCPUInfo(const std::filesystem::path& root) {
    CPUInfo info;
    const auto bytes = readSystemFile(root / "proc/cpuinfo");
    if (!bytes) return info;
    std::vector<std::pair<std::string, std::string>> block;
    for (const std::string& line : ftext::split(*bytes, "\n")) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            if (trimmed(line).empty() && !block.empty()) info.processors.push_back(std::exchange(block, {}));
            continue;
        }
        block.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    }
    if (!block.empty()) info.processors.push_back(std::move(block));
    return info;
}

std::string valueIn(const std::vector<std::pair<std::string, std::string>>& block, std::string_view key) {
    for (const auto& [name, value] : block) {
        if (name == key) return value;
    }
    return "";
}

}  // namespace

std::string ProcessInfo::stringFromSysctl(std::string_view name) { return stringFromSysctl(name, "/"); }

std::string ProcessInfo::stringFromSysctl(std::string_view name, const std::filesystem::path& systemRoot) {
    // A name never reaches outside /proc/sys: no slashes, and dots become path separators.
    if (name.empty() || name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
        return "";
    }
    if (name == "hw.model") {
        for (const char* source : {"sys/class/dmi/id/product_name", "proc/device-tree/model"}) {
            if (const auto bytes = readSystemFile(systemRoot / source)) {
                std::string model = trimmed(ftext::repairedUTF8(*bytes));
                if (!model.empty()) return model;
            }
        }
        return "";
    }
    if (name.starts_with("machdep.cpu.")) {
        const CPUInfo info = readCPUInfo(systemRoot);
        std::string value;
        if (name == "machdep.cpu.brand_string") {
            value = info.first("model name");
        } else if (name == "machdep.cpu.vendor") {
            value = info.first("vendor_id");
        } else if (name == "machdep.cpu.family") {
            value = info.first("cpu family");
        } else if (name == "machdep.cpu.thread_count") {
            size_t count = 0;
            for (const auto& block : info.processors) count += valueIn(block, "processor").empty() ? 0 : 1;
            if (count > 0) value = std::to_string(count);
        } else if (name == "machdep.cpu.core_count") {
            std::set<std::pair<std::string, std::string>> cores;
            size_t processors = 0;
            for (const auto& block : info.processors) {
                if (valueIn(block, "processor").empty()) continue;
                ++processors;
                const std::string core = valueIn(block, "core id");
                if (!core.empty()) cores.emplace(valueIn(block, "physical id"), core);
            }
            // Without core ids (virtual machines, some ARM kernels) every processor counts as a core.
            const size_t count = cores.empty() ? processors : cores.size();
            if (count > 0) value = std::to_string(count);
        } else {
            return "";
        }
        return ftext::repairedUTF8(value);
    }
    std::string relative = "proc/sys/";
    for (char c : name) relative += c == '.' ? '/' : c;
    const auto bytes = readSystemFile(systemRoot / relative);
    if (!bytes) return "";
    std::string value = ftext::repairedUTF8(*bytes);
    while (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

const std::string& ProcessInfo::hwModel() {
    static const std::string value = stringFromSysctl("hw.model");
    return value;
}

const std::string& ProcessInfo::processor() {
    static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
    return value;
}

const std::string& ProcessInfo::cores() {
    static const std::string value = stringFromSysctl("machdep.cpu.core_count");
    return value;
}

const std::string& ProcessInfo::threads() {
    static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
    return value;
}

const std::string& ProcessInfo::vendor() {
    static const std::string value = stringFromSysctl("machdep.cpu.vendor");
    return value;
}

const std::string& ProcessInfo::family() {
    static const std::string value = stringFromSysctl("machdep.cpu.family");
    return value;
}

}  // namespace pellux
