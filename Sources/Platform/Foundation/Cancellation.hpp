#pragma once
// Cancellation of the job running on the current thread. A job that may be cancelled runs inside a
// CancellationScope holding its stop token; code below it checks at the points where it may stop.
#include <stop_token>
#include <string>

#include "Platform/Foundation/Error.hpp"

namespace foundation {

// A cancelled job stops by throwing foundation::CancellationError (Error.hpp).

// Makes `token` the current thread's stop token until the scope ends, then restores the previous one.
class CancellationScope {
public:
    explicit CancellationScope(std::stop_token token);
    ~CancellationScope();
    CancellationScope(const CancellationScope&) = delete;
    CancellationScope& operator=(const CancellationScope&) = delete;

private:
    std::stop_token previous_;
};

// The current thread's stop token; one that can never stop outside any scope.
std::stop_token currentStopToken();
bool isCancelled();
// Throws CancellationError when the current job was asked to stop.
void checkCancellation();

}  // namespace foundation
