#include "platform/wayland/WaylandScreencopy.hpp"

#include "platform/wayland/WaylandPicture.hpp"

#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The copy waits for the output's next frame; an idle output renders one on demand.
constexpr std::chrono::seconds copyDeadline{5};

struct Frame {
    std::optional<SharedBufferLayout> shm;
    bool described = false; // every buffer kind announced
    bool yInverted = false;
    bool ready = false;
    bool failed = false;
};

Frame& frameOf(void* data)
{
    return *static_cast<Frame*>(data);
}

const zwlr_screencopy_frame_v1_listener frameListener = {
    .buffer = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                 std::uint32_t height, std::uint32_t stride) {
        frameOf(data).shm = SharedBufferLayout{format, static_cast<int>(width), static_cast<int>(height),
                                               static_cast<int>(stride), false};
    },
    .flags = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
        frameOf(data).yInverted = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    },
    .ready = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
        frameOf(data).ready = true;
    },
    .failed = [](void* data, zwlr_screencopy_frame_v1*) { frameOf(data).failed = true; },
    .damage = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    .buffer_done = [](void* data, zwlr_screencopy_frame_v1*) { frameOf(data).described = true; },
};

struct FrameHandle {
    zwlr_screencopy_frame_v1* frame;
    ~FrameHandle() { zwlr_screencopy_frame_v1_destroy(frame); }
};

} // namespace

// A shared-memory buffer the compositor copies into, with the pool it came from.
struct WaylandScreencopy::Buffer {
    SharedBufferLayout layout;
    std::size_t size = 0;
    int fd = -1;
    std::uint8_t* data = nullptr;
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffer = nullptr;

    ~Buffer()
    {
        if (buffer)
            wl_buffer_destroy(buffer);
        if (pool)
            wl_shm_pool_destroy(pool);
        if (data)
            munmap(data, size);
        if (fd >= 0)
            ::close(fd);
    }

    bool fits(const SharedBufferLayout& wanted) const
    {
        return layout.format == wanted.format && layout.width == wanted.width && layout.height == wanted.height
            && layout.stride == wanted.stride;
    }
};

WaylandScreencopy::WaylandScreencopy() = default;
WaylandScreencopy::~WaylandScreencopy() = default;

void WaylandScreencopy::forget()
{
    buffer_.reset();
}

Image WaylandScreencopy::capture(WaylandSession& session, std::uint32_t outputID, bool withCursor)
{
    if (!session.screencopy() || !session.shm())
        throw waylandError("the compositor offers no screen copy (wlr-screencopy)");
    wl_output* output = session.output(outputID);
    const WaylandLayout layout = session.layout();
    const WaylandOutput* described = layout.find(outputID);
    if (!output || !described)
        throw waylandError("output " + std::to_string(outputID) + " is not connected");
    const int transform = described->transform;

    Frame frame;
    FrameHandle handle{zwlr_screencopy_manager_v1_capture_output(session.screencopy(), withCursor ? 1 : 0, output)};
    zwlr_screencopy_frame_v1_add_listener(handle.frame, &frameListener, &frame);
    const bool announcesAll = zwlr_screencopy_frame_v1_get_version(handle.frame) >= 3;
    // Before version 3 every kind comes at once, and one round trip has them all.
    if (announcesAll)
        session.dispatchUntil([&] { return frame.described || frame.failed; }, copyDeadline);
    else
        session.roundtrip();
    if (frame.failed)
        throw waylandError("the compositor could not copy output " + described->name);
    if (!frame.shm)
        throw waylandError("the compositor offers no shared-memory copy of output " + described->name);
    const SharedBufferLayout wanted = *frame.shm;
    if (!readableFormat(wanted.format) || wanted.width <= 0 || wanted.height <= 0 || wanted.stride < wanted.width * 4)
        throw waylandError("the compositor copies output " + described->name + " only in a pixel format this cannot read ("
                           + std::to_string(wanted.format) + ")");

    if (!buffer_ || !buffer_->fits(wanted)) {
        buffer_.reset();
        auto buffer = std::make_unique<Buffer>();
        buffer->layout = wanted;
        buffer->size = static_cast<std::size_t>(wanted.stride) * static_cast<std::size_t>(wanted.height);
        buffer->fd = memfd_create("velmar-screencopy", MFD_CLOEXEC);
        if (buffer->fd < 0 || ftruncate(buffer->fd, static_cast<off_t>(buffer->size)) != 0)
            throw PlatformError("Wayland", errno, std::string("no shared memory for a picture: ") + std::strerror(errno));
        void* data = mmap(nullptr, buffer->size, PROT_READ | PROT_WRITE, MAP_SHARED, buffer->fd, 0);
        if (data == MAP_FAILED)
            throw PlatformError("Wayland", errno, std::string("no shared memory for a picture: ") + std::strerror(errno));
        buffer->data = static_cast<std::uint8_t*>(data);
        buffer->pool = wl_shm_create_pool(session.shm(), buffer->fd, static_cast<std::int32_t>(buffer->size));
        buffer->buffer = wl_shm_pool_create_buffer(buffer->pool, 0, wanted.width, wanted.height, wanted.stride,
                                                   wanted.format);
        buffer_ = std::move(buffer);
    }
    // A plain copy, not copy_with_damage: that one waits until the output changes, which on a
    // screen that did not change is for ever, and a plain copy reports no damage. What changed
    // is found by comparing the picture with the last one (PictureCache).
    zwlr_screencopy_frame_v1_copy(handle.frame, buffer_->buffer);
    session.dispatchUntil([&] { return frame.ready || frame.failed; }, copyDeadline);
    if (frame.failed)
        throw waylandError("the compositor could not copy output " + described->name);
    SharedBufferLayout copied = wanted;
    copied.yInverted = frame.yInverted;
    auto picture = pictureFromBuffer(buffer_->data, buffer_->size, copied, transform);
    if (!picture)
        throw waylandError("the copy of output " + described->name + " could not be read");
    return std::move(*picture);
}
