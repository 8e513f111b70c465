#include "Jinja/Globals.hpp"

#include <array>
#include <memory>
#include <mutex>

#include "Jinja/Error.hpp"
#include "Jinja/Utilities.hpp"
#include "Platform/Foundation/Date.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja::Globals {

namespace {

// The state behind one cycler call, shared by its next and reset functions.
class Cycler {
public:
    explicit Cycler(std::vector<Value> items) : items_(std::move(items)) {}

    Value current() {
        std::lock_guard lock(mutex_);
        return items_.empty() ? Value::null() : items_[currentIndex_];
    }
    Value next() {
        std::lock_guard lock(mutex_);
        if (items_.empty()) return Value::null();
        Value item = items_[currentIndex_];
        currentIndex_ = (currentIndex_ + 1) % items_.size();
        return item;
    }
    void reset() {
        std::lock_guard lock(mutex_);
        currentIndex_ = 0;
    }

private:
    const std::vector<Value> items_;
    std::mutex mutex_;
    size_t currentIndex_ = 0;
};

// The state behind one joiner call.
class Joiner {
public:
    explicit Joiner(std::string separator) : separator_(std::move(separator)) {}

    std::string call() {
        std::lock_guard lock(mutex_);
        if (first_) {
            first_ = false;
            return "";
        }
        return separator_;
    }

private:
    const std::string separator_;
    std::mutex mutex_;
    bool first_ = true;
};

constexpr std::array<const char*, 62> lipsumWords = {
    "lorem",     "ipsum",     "dolor",      "sit",        "amet",      "consectetur",   "adipiscing", "elit",
    "sed",       "do",        "eiusmod",    "tempor",     "incididunt", "ut",           "labore",     "et",
    "dolore",    "magna",     "aliqua",     "enim",       "ad",        "minim",         "veniam",     "quis",
    "nostrud",   "exercitation", "ullamco", "laboris",    "nisi",      "aliquip",       "ex",         "ea",
    "commodo",   "consequat", "duis",       "aute",       "irure",     "in",            "reprehenderit", "voluptate",
    "velit",     "esse",      "cillum",     "fugiat",     "nulla",     "pariatur",      "excepteur",  "sint",
    "occaecat",  "cupidatat", "non",        "proident",   "sunt",      "culpa",         "qui",        "officia",
    "deserunt",  "mollit",    "anim",       "id",         "est",       "laborum",
};
// The longest word plus its separating space, for bounding the text before it is built.
constexpr int64_t lipsumMaxWordBytes = 14;

}  // namespace

Value raiseException(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    static const ParameterList parameters({"message"}, {{"message", Value::null()}});
    auto bound = parameters.bind(args, kwargs);
    const Value& message = boundArgument(bound, "message");
    if (message.isString()) throw TemplateException(message.asString());
    throw TemplateException(std::nullopt);
}

Value range(const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) {
    int64_t start = 0;
    int64_t stop = 0;
    int64_t step = 1;
    switch (args.size()) {
        case 1:
            if (!args[0].isInt()) throw JinjaError::runtime("range() stop argument must be an integer");
            stop = args[0].asInt();
            break;
        case 2:
            if (!args[0].isInt() || !args[1].isInt()) throw JinjaError::runtime("range() arguments must be integers");
            start = args[0].asInt();
            stop = args[1].asInt();
            break;
        case 3:
            if (!args[0].isInt() || !args[1].isInt() || !args[2].isInt()) {
                throw JinjaError::runtime("range() arguments must be integers");
            }
            start = args[0].asInt();
            stop = args[1].asInt();
            step = args[2].asInt();
            if (step == 0) throw JinjaError::runtime("range() step argument must not be zero");
            break;
        default: throw JinjaError::runtime("range() takes 1 to 3 arguments");
    }
    // The count and the items are worked out in unsigned 64-bit arithmetic, which cannot overflow here:
    // the span between start and stop always fits, and every item lies between them.
    uint64_t count = 0;
    uint64_t magnitude = step > 0 ? static_cast<uint64_t>(step) : static_cast<uint64_t>(-(step + 1)) + 1;
    if (step > 0 && start < stop) count = (static_cast<uint64_t>(stop) - static_cast<uint64_t>(start) - 1) / magnitude + 1;
    if (step < 0 && start > stop) count = (static_cast<uint64_t>(start) - static_cast<uint64_t>(stop) - 1) / magnitude + 1;
    if (count > limits::maxArrayCount) limits::ensureArraySize(limits::maxArrayCount + 1);
    ValueArray items;
    items.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        items.emplace_back(static_cast<int64_t>(static_cast<uint64_t>(start) + i * static_cast<uint64_t>(step)));
    }
    return Value(std::move(items));
}

Value lipsum(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    static const ParameterList parameters(
        {"n", "html", "min", "max"},
        {{"n", Value(5)}, {"html", Value(true)}, {"min", Value(20)}, {"max", Value(100)}});
    auto bound = parameters.bind(args, kwargs);
    const Value& nValue = boundArgument(bound, "n");
    const Value& htmlValue = boundArgument(bound, "html");
    const Value& minValue = boundArgument(bound, "min");
    const Value& maxValue = boundArgument(bound, "max");
    if (!nValue.isInt() || !htmlValue.isBoolean() || !minValue.isInt() || !maxValue.isInt()) {
        throw JinjaError::runtime("Invalid arguments for lipsum()");
    }
    int64_t n = nValue.asInt();
    bool html = htmlValue.asBool();
    int64_t minWords = minValue.asInt();
    int64_t maxWords = maxValue.asInt();
    if (n <= 0) {
        if (n < 0) throw JinjaError::runtime("Invalid arguments for lipsum()");
        return Value("");
    }
    // An empty or negative range of word counts has no paragraph to draw.
    if (minWords < 0 || maxWords < minWords) throw JinjaError::runtime("Invalid arguments for lipsum()");
    // Bound the worst case before building anything.
    double worstCase = static_cast<double>(n) * (static_cast<double>(maxWords) * lipsumMaxWordBytes + 10);
    if (worstCase > static_cast<double>(limits::maxStringBytes)) limits::ensureStringSize(limits::maxStringBytes + 1);

    std::string result;
    for (int64_t p = 0; p < n; ++p) {
        if (p > 0) result += html ? "\n" : "\n\n";
        int64_t count = RandomSource::uniformInRange(minWords, maxWords);
        std::string paragraph;
        for (int64_t w = 0; w < count; ++w) {
            if (w > 0) paragraph += ' ';
            paragraph += lipsumWords[RandomSource::uniform(lipsumWords.size())];
        }
        if (!paragraph.empty()) {
            auto characters = foundation::text::characters(paragraph);
            paragraph = foundation::text::uppercased(characters.front()) + paragraph.substr(characters.front().size());
        }
        paragraph += '.';
        if (html) paragraph = "<p>" + paragraph + "</p>";
        result += paragraph;
    }
    return Value(std::move(result));
}

Value dict(const std::vector<Value>&, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    ValueObject object;
    for (const auto& [key, value] : kwargs) object.set(key, value);
    return Value(std::move(object));
}

Value namespace_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return dict(args, kwargs, env);
}

Value cycler(const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) {
    if (args.empty()) throw JinjaError::runtime("cycler() requires at least one argument");
    auto state = std::make_shared<Cycler>(args);
    ValueObject object;
    object.set("current", state->current());
    object.set("next", Value::function([state](const std::vector<Value>&, const KeywordArguments&,
                                               const EnvironmentPtr&) { return state->next(); }));
    object.set("reset", Value::function([state](const std::vector<Value>&, const KeywordArguments&,
                                                const EnvironmentPtr&) {
                   state->reset();
                   return Value::null();
               }));
    return Value(std::move(object));
}

Value joiner(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr&) {
    static const ParameterList parameters({"sep"}, {{"sep", Value(", ")}});
    auto bound = parameters.bind(args, kwargs);
    const Value& separator = boundArgument(bound, "sep");
    if (!separator.isString()) throw JinjaError::runtime("joiner separator must be a string");
    auto state = std::make_shared<Joiner>(separator.asString());
    return Value::function([state](const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) {
        return Value(state->call());
    });
}

Value strftimeNow(const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) {
    if (args.size() != 1) throw JinjaError::runtime("strftime_now takes exactly 1 argument");
    if (!args[0].isString()) throw JinjaError::runtime("strftime_now format argument must be a string");
    return Value(formatStrftime(foundation::SystemClock().now(), args[0].asString()));
}

const foundation::OrderedDictionary<Value>& builtIn() {
    static const foundation::OrderedDictionary<Value> table = {
        {"raise_exception", Value::function(raiseException)},
        {"range", Value::function(range)},
        {"lipsum", Value::function(lipsum)},
        {"dict", Value::function(dict)},
        {"cycler", Value::function(cycler)},
        {"joiner", Value::function(joiner)},
        {"namespace", Value::function(namespace_)},
        {"strftime_now", Value::function(strftimeNow)},
    };
    return table;
}

}  // namespace jinja::Globals
