#pragma once

#include "base/PlatformError.hpp"
#include "base/SerialQueue.hpp"

#include <exception>
#include <optional>
#include <utility>

// Runs `work` on `worker` and hands what it gives, or what it threw (as a PlatformError of
// `domain`), to `completion`: how the frameworks' queries are answered on a worker thread,
// never on the caller's. `then` runs on the worker once the completion has returned.
template <typename Work, typename Completion, typename Then>
void answerOnWorker(SerialQueue& worker, const char* domain, Work work, Completion completion, Then then)
{
    worker.async([domain, work = std::move(work), completion = std::move(completion),
                  then = std::move(then)]() mutable {
        std::optional<decltype(work())> value;
        std::optional<PlatformError> failure;
        try {
            value = work();
        } catch (const std::exception& error) {
            failure = PlatformError::from(error, domain);
        }
        completion(std::move(value), std::move(failure));
        then();
    });
}

template <typename Work, typename Completion>
void answerOnWorker(SerialQueue& worker, const char* domain, Work work, Completion completion)
{
    answerOnWorker(worker, domain, std::move(work), std::move(completion), [] {});
}
