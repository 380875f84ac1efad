#pragma once

#include "capture/WindowEntry.hpp"
#include "platform/Geometry.hpp"
#include "imaging/Image.hpp"
#include "platform/ScreenCaptureFramework.hpp"

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

struct Platform;

// Full-resolution pictures of a display or a window, the window list, the permission probe
// and the texts of capture errors. Two paths: the screen-capture framework on systems from
// 14.0 on, the older window server before. Nothing is kept between calls; every capture
// asks for the content anew. Captures block the caller for up to two waits of the time-out.
class ScreenCapture {
public:
    // The outcome of asking the framework whether capture is allowed.
    struct Probe {
        enum class Kind { denied, unknown, granted };
        Kind kind = Kind::granted;
        std::string text; // the error's text for denied and unknown

        static Probe granted() { return {Kind::granted, {}}; }
        static Probe denied(std::string text) { return {Kind::denied, std::move(text)}; }
        static Probe unknown(std::string text) { return {Kind::unknown, std::move(text)}; }
    };

    struct WindowCapture {
        Image image;
        Rect frame; // the window's frame in points
    };

    // True when the framework path is taken.
    static bool usesFramework(Platform& platform);
    // "ScreenCaptureKit" on the framework path, "CoreGraphics" on the older one.
    static std::string source(Platform& platform);

    // Whether a picture of the display shows the pointer. The older path's pictures never do.
    enum class Pointer { shown, hidden };

    // The whole display. Throws the bridge's errors and Screenshot::Failure.
    static Image display(Platform& platform, std::uint32_t displayID, Pointer pointer = Pointer::shown);
    // The whole display with the pointer, made over `earlier`, the last such picture (or an
    // empty one), with the rows that differ from it when they were found
    // (ScreenCaptureFramework::captureImageOver). Throws as display().
    static RetakenImage displayOver(Platform& platform, std::uint32_t displayID, Image earlier);
    // One window, off screen too on the framework path. Throws the bridge's errors and
    // Screenshot::Failure (noWindow when the id is not listed).
    static WindowCapture window(Platform& platform, std::uint32_t windowID);
    // Never throws; may block for one wait.
    static Probe probe(Platform& platform);

    // One line for people about any error. Never throws.
    static std::string describe(Platform& platform, std::exception_ptr error);
    // Whether the framework refused for lack of permission. Never throws.
    static bool isDenied(Platform& platform, std::exception_ptr error);

    // The window list in the source's order, nothing filtered out.
    static std::vector<WindowEntry> windows(Platform& platform);

    // Pixels per point for a capture through this filter: the filter's scale when it knows
    // one, else the display's mode width over its width in points, else 1.
    static double pixelScale(Platform& platform, const ContentFilter& filter, std::uint32_t displayID);
    // scale x points, rounded half away from zero, at least 1.
    static std::int64_t pixelSize(double points, double scale);

private:
    friend class SCK;
    static constexpr std::chrono::seconds timeout{10};

    // The window server's list of on-screen windows. Throws Screenshot::Failure::capture when
    // there is no list.
    static std::vector<WindowEntry> legacyWindows(Platform& platform);
};
