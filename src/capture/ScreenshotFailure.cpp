#include "capture/ScreenshotFailure.hpp"

namespace Screenshot {

Failure::Failure(Kind kind, std::string description, std::uint32_t windowID)
    : kind_(kind), description_(std::move(description)), windowID_(windowID)
{
}

Failure Failure::capture(std::string message)
{
    return Failure(Kind::capture, std::move(message));
}

Failure Failure::noWindow(std::uint32_t windowID)
{
    return Failure(Kind::noWindow, "no window with id " + std::to_string(windowID) + " is on screen", windowID);
}

Failure Failure::noImage()
{
    return Failure(Kind::noImage, "no image came back from the capture");
}

Failure Failure::black()
{
    return Failure(Kind::black, "the picture is black");
}

Failure Failure::encoding()
{
    return Failure(Kind::encoding, "the picture could not be encoded");
}

}
