#pragma once

#include <chrono>

// How long a wlroots compositor may hold a window's new content before it is on the output.
// Pure logic, no compositor.
//
// A window's commit does not change the output at once: the compositor composes it at the
// output's next frame. After a commit of the output, its next frame comes a refresh interval
// later at the latest (a headless output runs a timer of that length, a real one waits for
// the vertical blank); with nothing pending in between it comes at once. So for one refresh
// interval after each commit of the output, a window's change may sit uncomposed, and a
// copy that only asks whether the output changed would not see it yet. Each commit is given
// a second interval more for the compositor to compose the frame and copy it to us.
class WaylandFramePacing {
public:
    using Clock = std::chrono::steady_clock;

    // 60 Hz when the compositor names no refresh rate.
    explicit WaylandFramePacing(int refreshMilliHertz);

    // The output committed a frame, seen at `at` (a copy of it completed then).
    void committed(Clock::time_point at);
    // A copy was asked for at `at`: the compositor commits the output at its next frame for
    // it, changed or not, and that commit is not reported when nothing changed.
    void asked(Clock::time_point at);
    // Until when the compositor may hold a window's change that is not yet in a frame of the
    // output; a copy still pending before then proves nothing.
    Clock::time_point holdsUntil() const { return holdsUntil_; }

    Clock::duration interval() const { return interval_; }
    // The time given to compose a frame and copy it, after its frame has come.
    Clock::duration allowance() const;

private:
    Clock::duration interval_;
    Clock::time_point lastCommit_{};
    Clock::time_point holdsUntil_{};
};
