#pragma once
// Fans states out to any number of subscribers; a newcomer first receives the latest state (or the
// initial one when nothing has been broadcast yet), then every later one, in broadcast order.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <unordered_map>
#include <utility>

#include "Platform/Foundation/UUID.hpp"

namespace hub {

template <class T>
class Broadcaster {
    struct Channel {
        std::mutex mutex;
        std::condition_variable_any ready;
        std::deque<T> pending;  // unbounded: a slow reader never holds up the broadcaster
        bool finished = false;

        void push(const T& state) {
            {
                std::lock_guard lock(mutex);
                pending.push_back(state);
            }
            ready.notify_all();
        }
        void finish() {
            {
                std::lock_guard lock(mutex);
                finished = true;
            }
            ready.notify_all();
        }
    };

    struct Registry {
        std::mutex mutex;
        std::optional<T> latestState;
        std::unordered_map<foundation::UUID, std::shared_ptr<Channel>> continuations;
    };

public:
    // One subscriber's stream of states. Dropping it unsubscribes.
    class Stream {
    public:
        Stream(Stream&&) noexcept = default;
        Stream& operator=(Stream&&) noexcept = default;
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;
        ~Stream() {
            if (auto registry = registry_.lock()) {
                std::lock_guard lock(registry->mutex);
                registry->continuations.erase(id_);
            }
        }

        // The next state, waiting for one. Nothing once `stop` fires or the broadcaster is gone (states
        // broadcast before it went are still delivered).
        std::optional<T> next(std::stop_token stop = {}) {
            std::unique_lock lock(channel_->mutex);
            channel_->ready.wait(lock, stop, [&] { return !channel_->pending.empty() || channel_->finished; });
            if (channel_->pending.empty() || stop.stop_requested()) return std::nullopt;
            T state = std::move(channel_->pending.front());
            channel_->pending.pop_front();
            return state;
        }

    private:
        friend class Broadcaster;
        Stream(std::weak_ptr<Registry> registry, foundation::UUID id, std::shared_ptr<Channel> channel)
            : registry_(std::move(registry)), id_(id), channel_(std::move(channel)) {}

        std::weak_ptr<Registry> registry_;
        foundation::UUID id_;
        std::shared_ptr<Channel> channel_;
    };

    // `initialState` is what a subscriber receives first while nothing has been broadcast (nothing at all
    // when it returns nothing). It is called outside the broadcaster's lock.
    explicit Broadcaster(std::function<std::optional<T>()> initialState)
        : initialState_(std::move(initialState)), registry_(std::make_shared<Registry>()) {}

    ~Broadcaster() {
        std::lock_guard lock(registry_->mutex);
        for (auto& [id, channel] : registry_->continuations) channel->finish();
        registry_->continuations.clear();
    }

    Broadcaster(const Broadcaster&) = delete;
    Broadcaster& operator=(const Broadcaster&) = delete;

    Stream subscribe() {
        std::optional<T> initial = initialState_ ? initialState_() : std::nullopt;
        auto channel = std::make_shared<Channel>();
        foundation::UUID id;
        {
            std::lock_guard lock(registry_->mutex);
            // Replayed under the lock, so no broadcast can slip in ahead of it.
            if (registry_->latestState) channel->push(*registry_->latestState);
            else if (initial) channel->push(*initial);
            registry_->continuations.emplace(id, channel);
        }
        return Stream(registry_, id, std::move(channel));
    }

    void broadcast(const T& state) {
        std::lock_guard lock(registry_->mutex);
        registry_->latestState = state;
        for (auto& [id, channel] : registry_->continuations) channel->push(state);
    }

    std::optional<T> latestState() const {
        std::lock_guard lock(registry_->mutex);
        return registry_->latestState;
    }

    size_t subscriberCount() const {
        std::lock_guard lock(registry_->mutex);
        return registry_->continuations.size();
    }

private:
    std::function<std::optional<T>()> initialState_;
    std::shared_ptr<Registry> registry_;
};

}  // namespace hub
