#include "PelluxCore/FileUtilities.hpp"

#include <memory>
#include <mutex>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/Text.hpp"

namespace pellux {

namespace {

void silencePopplerOnce() {
    // Poppler prints its parse complaints to stderr; a damaged document is simply reported as nothing.
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

std::optional<std::string> readPDFText(const std::filesystem::path& path) {
    silencePopplerOnce();
    std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path.string()));
    if (!document || document->is_locked()) return std::nullopt;
    std::string text;
    bool first = true;
    for (int index = 0; index < document->pages(); ++index) {
        std::unique_ptr<poppler::page> page(document->create_page(index));
        if (!page) continue;
        const poppler::byte_array bytes = page->text().to_utf8();
        std::string pageText(bytes.begin(), bytes.end());
        // Poppler ends each page's text with a line break and a form feed of its own layout.
        while (!pageText.empty() && (pageText.back() == '\f' || pageText.back() == '\n' || pageText.back() == '\r')) {
            pageText.pop_back();
        }
        if (pageText.empty()) continue;
        if (!first) text += '\n';
        text += pageText;
        first = false;
    }
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace

std::optional<std::string> FileUtilities::readTextContent(const std::filesystem::path& url) {
    const std::string extension = foundation::text::lowercased(url.extension().string());
    if (extension == ".pdf") return readPDFText(url);
    const auto bytes = foundation::readFileIfPresent(url);
    if (!bytes) return std::nullopt;
    std::string text = foundation::text::isValidUTF8(*bytes) ? *bytes : foundation::text::fromLatin1(*bytes);
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace pellux
