#pragma once
// A stream of values produced on one thread and consumed on another, with an unbounded buffer, that
// ends normally or with an error. The producer holds the continuation; the consumer holds the stream
// and pulls with next(). The stream terminates once: when the producer finishes it, when the
// consumer cancels it, or when the consumer drops it; the termination handler then runs once, on
// the thread that caused the termination.
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace lexiphonic {

template <class T>
class AsyncThrowingStream {
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<T> buffered;
        bool finished = false;  // no more values will come
        bool terminated = false;
        std::exception_ptr error;
        std::function<void()> onTermination;

        // Marks the end and returns the handler to run outside the lock (empty when already ended).
        std::function<void()> terminate(std::exception_ptr failure) {
            std::function<void()> handler;
            {
                std::lock_guard guard(lock);
                if (terminated) return {};
                terminated = true;
                finished = true;
                if (failure && !error) error = failure;
                handler = std::move(onTermination);
                onTermination = nullptr;
            }
            changed.notify_all();
            return handler;
        }
    };

public:
    class Continuation {
    public:
        Continuation() = default;
        // Buffers a value; false when the stream has already terminated.
        bool yield(T value) const {
            if (!state_) return false;
            {
                std::lock_guard guard(state_->lock);
                if (state_->finished) return false;
                state_->buffered.push_back(std::move(value));
            }
            state_->changed.notify_one();
            return true;
        }
        // Ends the stream; the consumer receives what is buffered, then the end (or the error).
        void finish(std::exception_ptr error = nullptr) const {
            if (!state_) return;
            if (auto handler = state_->terminate(error)) handler();
        }
        // Runs once when the stream terminates; immediately when it already has.
        void setOnTermination(std::function<void()> handler) const {
            if (!state_) return;
            {
                std::lock_guard guard(state_->lock);
                if (!state_->terminated) {
                    state_->onTermination = std::move(handler);
                    return;
                }
            }
            if (handler) handler();
        }

    private:
        friend class AsyncThrowingStream;
        explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    static std::pair<AsyncThrowingStream, Continuation> makeStream() {
        auto state = std::make_shared<State>();
        return {AsyncThrowingStream(state), Continuation(state)};
    }

    AsyncThrowingStream(AsyncThrowingStream&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    AsyncThrowingStream& operator=(AsyncThrowingStream&& other) noexcept {
        if (this != &other) {
            cancel();
            state_ = std::exchange(other.state_, nullptr);
        }
        return *this;
    }
    AsyncThrowingStream(const AsyncThrowingStream&) = delete;
    AsyncThrowingStream& operator=(const AsyncThrowingStream&) = delete;
    ~AsyncThrowingStream() { cancel(); }

    // The next value, waiting for it; nothing once the stream has ended and its buffer is drained;
    // rethrows the stream's error in place of the end.
    std::optional<T> next() {
        if (!state_) return std::nullopt;
        std::unique_lock guard(state_->lock);
        state_->changed.wait(guard, [&] { return !state_->buffered.empty() || state_->finished; });
        if (!state_->buffered.empty()) {
            T value = std::move(state_->buffered.front());
            state_->buffered.pop_front();
            return value;
        }
        if (state_->error) std::rethrow_exception(std::exchange(state_->error, nullptr));
        return std::nullopt;
    }

    // The consumer stops listening: the stream terminates.
    void cancel() {
        if (!state_) return;
        if (auto handler = state_->terminate(nullptr)) handler();
    }

private:
    explicit AsyncThrowingStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace lexiphonic
