#pragma once

#include "base/PlatformError.hpp"
#include "platform/Clock.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <semaphore>
#include <variant>

// The one-result box shared by a caller that waits and a completion that fills it. Both hold
// it (and its semaphore) through shared pointers, so a completion that comes after the
// caller gave up still writes into a live box and frees it when it is done.
template<typename T>
class Handoff {
public:
    // Empty until the completion runs; then a value or an error.
    std::optional<std::variant<T, std::exception_ptr>> result;
};

// Starts an asynchronous platform query and blocks until its completion has delivered or
// the deadline of `timeout` has passed on the clock.
//
// `start` is called once with the completion to hand to the platform. The completion takes
// (value or nothing, error or nothing): a value wins over an error given with it; with
// neither, `missing` is the error. Returns the value or throws the delivered error as it
// came. When the deadline passes first, or the completion signalled without a result,
// `timedOut()` is thrown and the box is not read.
//
// The completion writes `result` before it signals and the caller reads it only after the
// signal, so the semaphore orders the two and no lock is needed.
template<typename T, typename Start, typename TimedOut>
T awaitHandoff(Clock& clock, Clock::Duration timeout, Start&& start, std::exception_ptr missing, TimedOut&& timedOut)
{
    auto handoff = std::make_shared<Handoff<T>>();
    auto semaphore = std::make_shared<std::counting_semaphore<>>(0);

    start([handoff, semaphore, missing](std::optional<T> value, std::optional<PlatformError> error) {
        if (value)
            handoff->result.emplace(std::in_place_index<0>, std::move(*value));
        else if (error)
            handoff->result.emplace(std::in_place_index<1>, std::make_exception_ptr(std::move(*error)));
        else
            handoff->result.emplace(std::in_place_index<1>, missing);
        semaphore->release();
    });

    const auto deadline = clock.now() + timeout;
    if (!clock.waitUntil(*semaphore, deadline) || !handoff->result)
        throw timedOut();
    if (handoff->result->index() == 1)
        std::rethrow_exception(std::get<1>(*handoff->result));
    return std::move(std::get<0>(*handoff->result));
}
