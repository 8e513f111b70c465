#include "Jinja/Environment.hpp"

#include "Jinja/Globals.hpp"
#include "Jinja/PropertyMembers.hpp"

namespace jinja {

// ---------------------------------------------------------------------------------------------
// Scope variables

namespace {
// Scopes up to this size are scanned; larger ones keep an index.
constexpr size_t scanLimit = 8;
}  // namespace

ScopeVariables::ScopeVariables(std::initializer_list<Element> elements) {
    for (const auto& [name, value] : elements) set(name, value);
}

ScopeVariables::ScopeVariables(const foundation::OrderedDictionary<Value>& entries) {
    // Room for a few variables a template sets besides, so that setting them does not move every entry.
    reserve(entries.size() + 8);
    // The names are unique already: each is appended without a search.
    for (const auto& [name, value] : entries) {
        uint32_t hash = hashName(name);
        if (value.isFunction()) {
            functionBits_ |= uint64_t{1} << (hash & 63);
            ++functionBindings;
        }
        elements_.emplace_back(name, value);
        hashes_.push_back(hash);
    }
    rebuildIndex();
}

void ScopeVariables::rebuildIndex() {
    slots_.clear();
    if (elements_.size() <= scanLimit) return;
    size_t capacity = 32;
    while (capacity < elements_.size() * 2) capacity *= 2;
    slots_.assign(capacity, 0);
    size_t mask = capacity - 1;
    for (size_t i = 0; i < hashes_.size(); ++i) {
        size_t slot = hashes_[i] & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = static_cast<uint32_t>(i + 1);
    }
}

void ScopeVariables::set(std::string_view name, Value value) { store(name, hashName(name), std::move(value)); }

template <class V>
void ScopeVariables::store(std::string_view name, uint32_t hash, V&& value) {
    if (value.isFunction()) {
        functionBits_ |= uint64_t{1} << (hash & 63);
        ++functionBindings;
    }
    size_t i = indexOf(name, hash);
    if (i < elements_.size()) {
        elements_[i].second = std::forward<V>(value);
        return;
    }
    elements_.emplace_back(std::string(name), std::forward<V>(value));
    hashes_.push_back(hash);
    if (slots_.empty() ? elements_.size() > scanLimit : elements_.size() * 2 > slots_.size()) {
        rebuildIndex();
    } else if (!slots_.empty()) {
        size_t mask = slots_.size() - 1;
        size_t slot = hash & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = static_cast<uint32_t>(elements_.size());
    }
}

bool ScopeVariables::insertNew(std::string_view name, Value value) {
    uint32_t hash = hashName(name);
    if (indexOf(name, hash) < elements_.size()) return false;
    store(name, hash, std::move(value));
    return true;
}

bool ScopeVariables::erase(std::string_view name) {
    size_t i = indexOf(name, hashName(name));
    if (i == elements_.size()) return false;
    elements_.erase(elements_.begin() + static_cast<std::ptrdiff_t>(i));
    hashes_.erase(hashes_.begin() + static_cast<std::ptrdiff_t>(i));
    rebuildIndex();
    return true;
}

void ScopeVariables::clear() {
    elements_.clear();
    hashes_.clear();
    slots_.clear();
    functionBits_ = 0;
}

std::vector<std::string> ScopeVariables::keys() const {
    std::vector<std::string> result;
    result.reserve(elements_.size());
    for (const auto& element : elements_) result.push_back(element.first);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Scopes

namespace {
constexpr std::string_view loopName = "loop";
}  // namespace

namespace {
// The built-in globals: a root scope does not hold them but answers a name none of its variables has
// from this table, so that making a root scope copies none. Each thread has its own function values,
// so that renders on several threads never contend for their reference counts.
struct GlobalEntry {
    std::string name;
    uint32_t hash;
    Value value;
};
using GlobalTable = std::vector<GlobalEntry>;

const GlobalTable& threadGlobals() {
    thread_local const GlobalTable table = [] {
        GlobalTable built;
        for (const auto& [name, value] : Globals::builtIn())
            built.push_back({name, ScopeVariables::hashName(name), Value(value.asFunction())});
        return built;
    }();
    return table;
}

// Bit (hash % 64) of every global's name: most names are known not to be a global without the table.
uint64_t globalHashBits() {
    static const uint64_t bits = [] {
        uint64_t built = 0;
        for (const auto& [name, value] : Globals::builtIn()) built |= uint64_t{1} << (ScopeVariables::hashName(name) & 63);
        return built;
    }();
    return bits;
}

const Value* globalNamed(std::string_view name, uint32_t hash) {
    if (!((globalHashBits() >> (hash & 63)) & 1)) return nullptr;
    for (const auto& entry : threadGlobals())
        if (entry.hash == hash && fastText::sameBytes(entry.name, name)) return &entry.value;
    return nullptr;
}
}  // namespace

Environment::Environment(EnvironmentPtr parent, Variables initial)
    : variables(std::move(initial)), parent_(std::move(parent)) {
    if (!parent_ && !variables.empty()) {
        // The globals replace initial entries of their names.
        std::vector<std::string> hidden;
        for (const auto& [name, value] : std::as_const(variables))
            if (globalNamed(name, ScopeVariables::hashName(name))) hidden.push_back(name);
        for (const auto& name : hidden) variables.erase(name);
    }
}

EnvironmentPtr Environment::make(EnvironmentPtr parent, Variables initial) {
    return std::make_shared<Environment>(std::move(parent), std::move(initial));
}

namespace {
// Spare loop scopes of this thread: making and freeing a scope costs more than clearing one.
constexpr size_t maxSpareScopes = 16;
thread_local std::vector<EnvironmentPtr> spareScopes;
}  // namespace

EnvironmentPtr Environment::makeLoopScope(EnvironmentPtr parent) {
    auto& spares = spareScopes;
    if (spares.empty()) return make(std::move(parent));
    EnvironmentPtr scope = std::move(spares.back());
    spares.pop_back();
    scope->parent_ = std::move(parent);
    return scope;
}

void Environment::giveBackLoopScope(EnvironmentPtr&& scope) {
    EnvironmentPtr taken = std::move(scope);
    auto& spares = spareScopes;
    if (!taken || taken.use_count() != 1 || taken->lent_ || spares.size() >= maxSpareScopes) return;
    // Everything it held goes now, so that a spare keeps nothing of the render alive.
    taken->variables.clear();
    taken->parent_.reset();
    taken->loop_ = {};
    taken->loopBound_ = false;
    taken->items_ = Value();
    taken->item_ = nullptr;
    taken->itemKey_ = nullptr;
    taken->lstripBlocks = false;
    taken->trimBlocks = false;
    spares.push_back(std::move(taken));
}

void Environment::lendToFunction(const Value& function) const {
    using Body = Value (*)(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&);
    if (const Body* body = function.asFunction().target<Body>()) {
        for (Body builtIn : {Globals::raiseException, Globals::range, Globals::lipsum, Globals::dict, Globals::cycler,
                             Globals::joiner, Globals::namespace_, Globals::strftimeNow})
            if (*body == builtIn) return;
    }
    ++functionBindings;  // it may also give any scope it reaches a function
    for (const Environment* scope = this; scope && !scope->lent_; scope = scope->parent_.get()) scope->lent_ = true;
}

Environment::Binding Environment::resolveInChain(std::string_view name, uint32_t hash) const {
    // resolve has looked at this scope's loop position and item.
    if (const Value* value = variables.find(name, hash)) return {value, nullptr};
    bool isLoop = hash == loopHash && fastText::sameBytes(name, loopName);
    for (const Environment* scope = parent_.get(); scope; scope = scope->parent_.get()) {
        // "loop" is bound after the loop variable, so it wins when the loop variable is called that too.
        if (isLoop && scope->loopBound_) return {nullptr, &scope->loop_};
        if (scope->item_ && scope->itemHash_ == hash && fastText::sameBytes(scope->itemName_, name)) return {scope->item_, nullptr};
        if (const Value* value = scope->variables.find(name, hash)) return {value, nullptr};
    }
    // Every chain ends in a root scope, which answers with the globals.
    return {globalNamed(name, hash), nullptr};
}

const Value* Environment::function(std::string_view name, uint32_t hash) const {
    bool possible = false;
    for (const Environment* scope = this; scope && !possible; scope = scope->parent_.get())
        possible = scope->variables.mayHoldFunction(hash) || (scope->item_ && scope->item_->isFunction());
    if (!possible && !globalNamed(name, hash)) return nullptr;
    Binding binding = resolve(name, hash);
    return binding.value && binding.value->isFunction() ? binding.value : nullptr;
}

Value Environment::lookup(std::string_view name) const {
    Binding binding = resolve(name);
    if (binding.value) return *binding.value;
    if (binding.loop) return binding.loop->object();
    return Value::undefined();
}

void Environment::set(std::string_view name, Value value) { set(name, ScopeVariables::hashName(name), std::move(value)); }

void Environment::set(std::string_view name, uint32_t hash, const Value& value) {
    if (hash == loopHash && fastText::sameBytes(name, loopName)) loopBound_ = false;
    if (isItem(name, hash)) item_ = nullptr;
    variables.set(name, hash, value);
}

void Environment::set(std::string_view name, uint32_t hash, Value&& value) {
    if (hash == loopHash && fastText::sameBytes(name, loopName)) loopBound_ = false;
    if (isItem(name, hash)) item_ = nullptr;
    variables.set(name, hash, std::move(value));
}

void Environment::setText(std::string_view name, uint32_t hash, std::string_view text) {
    if (hash == loopHash && fastText::sameBytes(name, loopName)) loopBound_ = false;
    if (isItem(name, hash)) {
        // The text may be a part of the loop item the name stood for; that item stays in items_.
        item_ = nullptr;
    }
    variables.setText(name, hash, text);
}

bool Environment::holds(std::string_view name) const {
    return (loopBound_ && name == loopName) || (item_ && name == itemName_) || variables.contains(name);
}

void Environment::setInChain(const std::string& name, Value value) {
    Environment* scope = this;
    while (!scope->holds(name) && scope->parent_) scope = scope->parent_.get();
    scope->set(name, std::move(value));
}

void Environment::bindLoop(int64_t index, int64_t length) {
    loop_ = {index, length};
    loopBound_ = true;
}

namespace {
constexpr std::string_view loopMembers[] = {"index", "index0", "first", "last", "length", "revindex", "revindex0", "cycle"};
}  // namespace

int Environment::LoopPosition::memberNamed(std::string_view name) {
    for (int i = 0; i < 8; ++i)
        if (loopMembers[i] == name) return i;
    return -1;
}

Value Environment::LoopPosition::object() const {
    ValueObject loop;
    for (int i = 0; i < 8; ++i) loop.set(std::string(loopMembers[i]), member(i));
    return Value(std::move(loop));
}

Value Environment::LoopPosition::member(std::string_view name) const {
    int position = memberNamed(name);
    if (position >= 0) return member(position);
    // The object methods (items, get, keys, values); any other name is a missing key.
    return PropertyMembers::evaluate(object(), name);
}

Value Environment::LoopPosition::cycle() const {
    int64_t at = index;
    return Value(BuiltinFunction([at](const std::vector<Value>& args, const KeywordArguments&, const EnvironmentPtr&) -> Value {
        if (args.empty()) return Value(std::string());
        return args[static_cast<size_t>(at) % args.size()];
    }));
}

}  // namespace jinja
