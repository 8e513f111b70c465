// String filters: upper, lower, capitalize, title, trim, replace, indent, center, wordwrap, wordcount,
// truncate, format and string.
#include <algorithm>

#include "Jinja/Error.hpp"
#include "Jinja/FilterSupport.hpp"
#include "Jinja/Filters.hpp"
#include "Jinja/TextFastPaths.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Filters {

namespace text = foundation::text;

namespace {

// The platform's whitespace set: space separators (Zs) and the tab.
bool isSpaceOrTab(char32_t c) { return c == '\t' || (text::isWhitespace(c) && text::generalCategory(c) == "Zs"); }

}  // namespace

Value calls::upper(const FilterCall& call) {
    if (!call.input || !call.input->isString()) throw JinjaError::runtime("upper filter requires string");
    call.bind(noParameters());
    return Value(fastText::uppercased(call.input->asString()));
}

Value calls::lower(const FilterCall& call) {
    if (!call.input || !call.input->isString()) throw JinjaError::runtime("lower filter requires string");
    call.bind(noParameters());
    return Value(fastText::lowercased(call.input->asString()));
}

Value calls::capitalize(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    call.bind(noParameters());
    const std::string& input = call.input->asString();
    if (input.empty()) return Value("");
    auto bounds = boundariesOf(input);
    return Value(fastText::uppercased(input.substr(0, bounds[1])) + fastText::lowercased(input.substr(bounds[1])));
}

Value calls::title(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    call.bind(noParameters());
    return Value(capitalizedWords(call.input->asString()));
}

Value calls::trim(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    static const ParameterList parameters({"chars"}, {{"chars", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& chars = boundArgument(bound, "chars");
    const std::string& input = call.input->asString();
    if (!chars.isString() || chars.asString().empty()) return Value(fastText::trimmed(input));
    if (fastText::isASCII(input) && fastText::isASCII(chars.asString())) {
        const std::string& set = chars.asString();
        size_t start = 0;
        size_t end = input.size();
        while (start < end && set.find(input[start]) != std::string::npos) ++start;
        while (end > start && set.find(input[end - 1]) != std::string::npos) --end;
        return Value(input.substr(start, end - start));
    }
    std::u32string set = text::toScalars(chars.asString());
    std::u32string scalars = text::toScalars(input);
    size_t start = 0;
    size_t end = scalars.size();
    while (start < end && set.find(scalars[start]) != std::u32string::npos) ++start;
    while (end > start && set.find(scalars[end - 1]) != std::u32string::npos) --end;
    return Value(text::fromScalars(std::u32string_view(scalars).substr(start, end - start)));
}

std::optional<std::string_view> parts::trim(const FilterCall& call) {
    // No arguments: nothing to bind, and the result is the trimmed input.
    if (!call.input || !call.input->isString() || !call.arguments.empty() || !call.kwargs.empty()) return std::nullopt;
    return fastText::trimmedView(call.input->asString());
}

Value calls::replace(const FilterCall& call) {
    if (!call.input) return Value("");
    if (!call.input->isString()) return *call.input;
    static const ParameterList parameters({"old", "new", "count"}, {{"count", Value::null()}});
    auto bound = call.bind(parameters);
    const Value& old = boundArgument(bound, "old");
    const Value& replacement = boundArgument(bound, "new");
    if (!old.isString() || !replacement.isString()) {
        throw JinjaError::runtime("replace() requires 'old' and 'new' string arguments.");
    }
    const Value& count = boundArgument(bound, "count");
    std::optional<int64_t> limit;
    if (count.isInt()) limit = count.asInt();
    const std::string& input = call.input->asString();
    if (old.asString().empty()) {
        return Value(insertingAtCharacterBoundaries(input, replacement.asString(), limit));
    }
    std::string result;
    size_t position = 0;
    int64_t made = 0;
    while (!limit || made < *limit) {
        size_t found = input.find(old.asString(), position);
        if (found == std::string::npos) break;
        result.append(input, position, found - position);
        result += replacement.asString();
        limits::ensureStringSize(result.size());
        position = found + old.asString().size();
        ++made;
    }
    result.append(input, position, std::string::npos);
    return Value(std::move(result));
}

Value calls::indent(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    static const ParameterList parameters(
        {"width", "first", "blank"}, {{"width", Value(4)}, {"first", Value(false)}, {"blank", Value(false)}});
    auto bound = call.bind(parameters);
    const Value& width = boundArgument(bound, "width");
    bool indentFirst = boundArgument(bound, "first").isTruthy();
    bool blank = boundArgument(bound, "blank").isTruthy();
    std::string indentation = "    ";
    if (width.isInt()) {
        if (width.asInt() < 0) throw JinjaError::runtime("indent filter requires a non-negative width");
        limits::ensureStringSize(static_cast<uint64_t>(width.asInt()) > limits::maxStringBytes
                                     ? limits::maxStringBytes + 1
                                     : static_cast<size_t>(width.asInt()));
        indentation = std::string(static_cast<size_t>(width.asInt()), ' ');
    } else if (width.isString()) {
        indentation = width.asString();
    }
    // Lines end at a line feed that is a Character of its own (CR LF is one Character, not a line feed).
    const std::string& input = call.input->asString();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\n' && !(i > 0 && input[i - 1] == '\r')) {
            lines.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    lines.push_back(input.substr(start));
    std::string result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) result += '\n';
        bool indentLine = i == 0 ? indentFirst && (!lines[i].empty() || blank) : (!lines[i].empty() || blank);
        if (indentLine) result += indentation;
        result += lines[i];
        limits::ensureStringSize(result.size());
    }
    return Value(std::move(result));
}

Value calls::center(const FilterCall& call) {
    if (!call.input) return Value("");
    if (!call.input->isString()) return *call.input;
    static const ParameterList parameters({"width"});
    auto bound = call.bind(parameters);
    const Value& width = boundArgument(bound, "width");
    if (!width.isInt()) throw JinjaError::runtime("center filter requires width parameter");
    const std::string& input = call.input->asString();
    int64_t count = static_cast<int64_t>(fastText::characterCount(input));
    if (width.asInt() <= count) return *call.input;
    uint64_t spare = static_cast<uint64_t>(width.asInt()) - static_cast<uint64_t>(count);
    if (spare > limits::maxStringBytes) limits::ensureStringSize(limits::maxStringBytes + 1);
    limits::ensureStringSize(input.size() + static_cast<size_t>(spare));
    size_t left = static_cast<size_t>(spare / 2);
    size_t right = static_cast<size_t>(spare) - left;
    return Value(std::string(left, ' ') + input + std::string(right, ' '));
}

Value calls::wordwrap(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    static const ParameterList parameters(
        {"width", "break_long_words", "wrapstring", "break_on_hyphens"},
        {{"width", Value(79)}, {"break_long_words", Value(true)}, {"wrapstring", Value::null()},
         {"break_on_hyphens", Value(true)}});
    auto bound = call.bind(parameters);
    const Value& widthValue = boundArgument(bound, "width");
    int64_t width = widthValue.isInt() ? widthValue.asInt() : 79;
    // A width below one cannot hold any piece of a word: chunking would never make progress.
    if (width < 1) throw JinjaError::runtime("wordwrap filter requires a positive width");
    const Value& wrapValue = boundArgument(bound, "wrapstring");
    std::string wrapString = wrapValue.isString() ? wrapValue.asString() : "\n";
    bool breakLongWords = boundArgument(bound, "break_long_words").isTruthy();
    bool breakOnHyphens = boundArgument(bound, "break_on_hyphens").isTruthy();
    size_t limit = static_cast<size_t>(width);

    std::vector<std::string> lines;
    std::string current;
    size_t currentLength = 0;
    auto flushLine = [&] {
        if (current.empty()) return;
        lines.push_back(std::move(current));
        current.clear();
        currentLength = 0;
    };
    auto splitToken = [&](const std::string& word) {
        std::vector<std::string> pieces;
        if (!breakLongWords || fastText::characterCount(word) <= limit) {
            pieces.push_back(word);
            return pieces;
        }
        std::vector<std::string> parts;
        if (breakOnHyphens && word.find('-') != std::string::npos) {
            parts = text::split(word, "-");
            for (size_t i = 0; i + 1 < parts.size(); ++i) parts[i] += '-';
        } else {
            parts.push_back(word);
        }
        for (const auto& part : parts) {
            auto characters = text::characters(part);
            if (characters.size() <= limit) {
                pieces.push_back(part);
                continue;
            }
            for (size_t i = 0; i < characters.size(); i += limit) {
                std::string chunk;
                for (size_t j = i; j < std::min(i + limit, characters.size()); ++j) chunk += characters[j];
                pieces.push_back(std::move(chunk));
            }
        }
        return pieces;
    };

    for (const auto& paragraph : splitAtScalars(call.input->asString(), isNewlineScalar)) {
        current.clear();
        currentLength = 0;
        for (const auto& word : splitAtScalars(paragraph, isSpaceOrTab)) {
            if (word.empty()) continue;
            for (auto& piece : splitToken(word)) {
                size_t pieceLength = fastText::characterCount(piece);
                if (current.empty()) {
                    current = std::move(piece);
                    currentLength = pieceLength;
                } else if (currentLength + 1 + pieceLength <= limit) {
                    current += ' ';
                    current += piece;
                    currentLength += 1 + pieceLength;
                } else {
                    flushLine();
                    current = std::move(piece);
                    currentLength = pieceLength;
                }
            }
        }
        flushLine();
    }
    std::string result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) result += wrapString;
        result += lines[i];
        limits::ensureStringSize(result.size());
    }
    return Value(std::move(result));
}

Value calls::wordcount(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value(0);
    call.bind(noParameters());
    int64_t count = 0;
    bool inWord = false;
    for (std::string_view character : characterViews(call.input->asString())) {
        bool space = isCharacterWhitespace(character);
        if (!space && !inWord) ++count;
        inWord = !space;
    }
    return Value(count);
}

Value calls::truncate(const FilterCall& call) {
    if (!call.input || !call.input->isString()) return Value("");
    static const ParameterList parameters(
        {"length", "killwords", "end", "leeway"},
        {{"length", Value(255)}, {"killwords", Value(false)}, {"end", Value("...")}, {"leeway", Value(5)}});
    auto bound = call.bind(parameters);
    const Value& lengthValue = boundArgument(bound, "length");
    const Value& leewayValue = boundArgument(bound, "leeway");
    const Value& endValue = boundArgument(bound, "end");
    int64_t length = lengthValue.isInt() ? lengthValue.asInt() : 255;
    int64_t leeway = leewayValue.isInt() ? std::max<int64_t>(leewayValue.asInt(), 0) : 5;
    std::string ending = endValue.isString() ? endValue.asString() : "...";
    bool killwords = boundArgument(bound, "killwords").isTruthy();

    const std::string& input = call.input->asString();
    auto characters = characterViews(input);
    int64_t count = static_cast<int64_t>(characters.size());
    int64_t allowed = 0;
    if (__builtin_add_overflow(length, leeway, &allowed)) allowed = INT64_MAX;
    if (count <= allowed) return *call.input;
    if (length < 0) throw JinjaError::runtime("truncate filter requires a non-negative length");
    size_t kept = static_cast<size_t>(length);
    if (!killwords) {
        for (size_t i = kept; i > 0; --i) {
            if (isCharacterWhitespace(characters[i - 1])) {
                kept = i - 1;
                break;
            }
        }
    }
    std::string result;
    for (size_t i = 0; i < kept; ++i) result.append(characters[i]);
    return Value(result + ending);
}

Value calls::format(const FilterCall& call) {
    if (!call.input) return Value("");
    if (call.arguments.empty() || !call.input->isString()) return *call.input;
    call.bind(noParameters());
    auto characters = characterViews(call.input->asString());
    size_t next = 0;  // the next format argument
    std::string result;
    for (size_t i = 0; i < characters.size(); ++i) {
        std::string_view character = characters[i];
        if (character != "%" || next >= call.arguments.size()) {
            result.append(character);
            continue;
        }
        if (i + 1 >= characters.size()) {
            result.append(character);
            break;
        }
        if (characters[i + 1] == "s") {
            result += call.arguments[next++].description();
            limits::ensureStringSize(result.size());
        } else {
            result.append(character);
            result.append(characters[i + 1]);
        }
        ++i;
    }
    return Value(std::move(result));
}

std::optional<std::string_view> parts::string(const FilterCall& call) {
    // Surplus positional values are ignored by the binder; a keyword would fail it.
    if (!call.input || !call.input->isString() || !call.kwargs.empty()) return std::nullopt;
    return std::string_view(call.input->asString());
}

Value calls::string(const FilterCall& call) {
    if (!call.input) return Value("");
    call.bind(noParameters());
    return Value(call.input->description());
}

}  // namespace jinja::Filters
