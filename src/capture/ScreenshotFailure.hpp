#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The error of screen capture and screenshots. The screenshot pipeline adds its operations
// to the same namespace.
namespace Screenshot {

class Failure : public std::exception {
public:
    enum class Kind { capture, noWindow, noImage, black, encoding };

    // The capture failed; the message says how.
    static Failure capture(std::string message);
    // No window with this id is on screen.
    static Failure noWindow(std::uint32_t windowID);
    static Failure noImage();
    static Failure black();
    static Failure encoding();

    Kind kind() const { return kind_; }
    // The window id of noWindow; 0 for the other kinds.
    std::uint32_t windowID() const { return windowID_; }
    // The text for people: the message of capture, a fixed sentence for the others.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Failure(Kind kind, std::string description, std::uint32_t windowID = 0);

    Kind kind_;
    std::string description_;
    std::uint32_t windowID_;
};

}
