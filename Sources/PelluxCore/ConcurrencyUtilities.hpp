#pragma once
// Locks and the per-window stop flags shared between the engine's threads.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/UUID.hpp"

namespace pellux {

// A non-recursive mutual-exclusion lock, shared by reference (hold it in a shared_ptr).
// The closure given to withLock must not take the same lock again.
class UnfairLock final {
public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // Runs `body` while holding the lock and returns its result; if it throws, the lock is released
    // and the exception passes through unchanged.
    template <class Body>
    decltype(auto) withLock(Body&& body) {
        std::lock_guard guard(lock_);
        return std::forward<Body>(body)();
    }

private:
    std::mutex lock_;
};

namespace detail {

template <class T>
struct IsOptionalValue : std::false_type {};
template <class T>
struct IsOptionalValue<std::optional<T>> : std::true_type {};
template <class T>
struct IsVectorValue : std::false_type {};
template <class T, class A>
struct IsVectorValue<std::vector<T, A>> : std::true_type {};

// The encoded form of a bare value: its own encode(JSONWriter&) when it has one, else the JSON scalar,
// array or null the platform encoder writes for it.
template <class T>
void encodeBareValue(foundation::JSONWriter& writer, const T& value) {
    if constexpr (requires { value.encode(writer); }) {
        value.encode(writer);
    } else if constexpr (IsOptionalValue<T>::value) {
        if (value) {
            encodeBareValue(writer, *value);
        } else {
            writer.null();
        }
    } else if constexpr (IsVectorValue<T>::value) {
        writer.beginArray();
        for (const auto& element : value) encodeBareValue(writer, element);
        writer.endArray();
    } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, double> || std::is_same_v<T, float> ||
                         std::is_same_v<T, std::string>) {
        writer.value(value);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        writer.value(static_cast<int64_t>(value));
    } else if constexpr (std::is_integral_v<T>) {
        writer.value(static_cast<uint64_t>(value));
    } else {
        static_assert(sizeof(T) == 0, "the wrapped type has no encode(JSONWriter&)");
    }
}

// The inverse: T::decode(JSONValue) when the type has one, else the matching scalar, array or null.
template <class T>
T decodeBareValue(const foundation::JSONValue& json) {
    if constexpr (requires { { T::decode(json) } -> std::convertible_to<T>; }) {
        return T::decode(json);
    } else if constexpr (IsOptionalValue<T>::value) {
        if (!json.exists() || json.isNull()) return std::nullopt;
        return decodeBareValue<typename T::value_type>(json);
    } else if constexpr (IsVectorValue<T>::value) {
        if (!json.isArray()) throw foundation::JSONError("Expected to decode Array but found another value.");
        T result;
        for (const auto& element : json.items()) result.push_back(decodeBareValue<typename T::value_type>(element));
        return result;
    } else if constexpr (std::is_same_v<T, bool>) {
        return json.asBool();
    } else if constexpr (std::is_same_v<T, std::string>) {
        return json.asString();
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(json.asDouble());
    } else if constexpr (std::is_integral_v<T>) {
        const int64_t number = json.asInt64();
        if (!std::in_range<T>(number)) throw foundation::JSONError("Number does not fit in the expected type.");
        return static_cast<T>(number);
    } else {
        static_assert(sizeof(T) == 0, "the wrapped type has no static decode(JSONValue)");
    }
}

}  // namespace detail

// One value behind its own lock. Each read, each write and each modify() is atomic: modify runs the
// whole change under the lock, so concurrent in-place changes never lose an update. The closure given
// to modify must not touch the same wrapper. A copy shares the lock object but holds its own value.
template <class T>
class PropertyLock {
public:
    PropertyLock(T wrappedValue = T()) : lock_(std::make_shared<UnfairLock>()), value_(std::move(wrappedValue)) {}

    PropertyLock(const PropertyLock& other) : lock_(other.lock_), value_(other.wrappedValue()) {}
    PropertyLock(PropertyLock&& other) : lock_(other.lock_), value_(other.take()) {}
    // Assignment replaces the value only; this wrapper keeps its own lock. The other value is copied
    // out under its lock before this one is taken, so two locks are never held at once.
    PropertyLock& operator=(const PropertyLock& other) {
        if (this != &other) setWrappedValue(other.wrappedValue());
        return *this;
    }
    PropertyLock& operator=(PropertyLock&& other) {
        if (this != &other) setWrappedValue(other.take());
        return *this;
    }

    T wrappedValue() const {
        return lock_->withLock([&] { return value_; });
    }
    void setWrappedValue(T newValue) {
        lock_->withLock([&] { value_ = std::move(newValue); });
    }
    // Changes the value in place while holding the lock; returns what `change` returns.
    template <class Change>
    decltype(auto) modify(Change&& change) {
        return lock_->withLock([&]() -> decltype(auto) { return std::forward<Change>(change)(value_); });
    }

    // Exactly the bare value's encoding, written while the lock is held.
    void encode(foundation::JSONWriter& writer) const {
        lock_->withLock([&] { detail::encodeBareValue(writer, value_); });
    }
    // A new wrapper with a fresh lock around the bare value's decoding; decoding errors pass through.
    static PropertyLock decode(const foundation::JSONValue& json) { return PropertyLock(detail::decodeBareValue<T>(json)); }

    // The lock object, for tests and for callers that check sharing.
    const std::shared_ptr<UnfairLock>& lock() const { return lock_; }

private:
    T take() {
        return lock_->withLock([&] { return std::move(value_); });
    }

    std::shared_ptr<UnfairLock> lock_;
    T value_;
};

// One stop flag per decoding window, keyed by the window's identifier. Its operations run one at a
// time; it is shared between the decoding task and the progress-callback task (hold it in a shared_ptr).
class EarlyStopActor {
public:
    EarlyStopActor() = default;
    EarlyStopActor(const EarlyStopActor&) = delete;
    EarlyStopActor& operator=(const EarlyStopActor&) = delete;

    // Stores the flag for `id`, replacing an earlier one.
    void set(bool value, const foundation::UUID& id);
    // The flag for `id`, or false when it has none.
    bool get(const foundation::UUID& id);
    // Removes and returns the flag for `id`; nothing when it had none.
    std::optional<bool> remove(const foundation::UUID& id);

private:
    std::mutex mutex_;
    std::unordered_map<foundation::UUID, bool> shouldStop_;
};

struct ConcurrencyUtilities {
    // The number of processors currently online, asked of the system on every call.
    static int64_t activeProcessorCount();
};

}  // namespace pellux
