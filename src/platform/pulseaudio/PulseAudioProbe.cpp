#include "platform/pulseaudio/PulseAudioProbe.hpp"

#include <pulse/context.h>
#include <pulse/mainloop.h>

#include <memory>

bool pulseAudioAnswers(std::chrono::milliseconds deadline)
{
    struct LoopFree {
        void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
    };
    struct ContextFree {
        void operator()(pa_context* context) const
        {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
    };
    std::unique_ptr<pa_mainloop, LoopFree> loop(pa_mainloop_new());
    if (!loop)
        return false;
    std::unique_ptr<pa_context, ContextFree> context(pa_context_new(pa_mainloop_get_api(loop.get()), "Velmar Computer Use"));
    if (!context)
        return false;
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        switch (pa_context_get_state(context.get())) {
        case PA_CONTEXT_READY:
            return true;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            return false;
        default:
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // One bounded turn of the loop: wait for the socket at most until the deadline.
        if (pa_mainloop_prepare(loop.get(), static_cast<int>(left.count())) < 0 || pa_mainloop_poll(loop.get()) < 0
            || pa_mainloop_dispatch(loop.get()) < 0)
            return false;
    }
}
