#include "Platform/Foundation/Cancellation.hpp"

namespace foundation {
namespace {
thread_local std::stop_token current;
}  // namespace

CancellationScope::CancellationScope(std::stop_token token) : previous_(std::move(current)) { current = std::move(token); }

CancellationScope::~CancellationScope() { current = std::move(previous_); }

std::stop_token currentStopToken() { return current; }

bool isCancelled() { return current.stop_requested(); }

void checkCancellation() {
    if (current.stop_requested()) throw CancellationError();
}

}  // namespace foundation
