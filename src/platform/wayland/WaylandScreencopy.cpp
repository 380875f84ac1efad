#include "platform/wayland/WaylandScreencopy.hpp"

#include "imaging/PictureCache.hpp"

#include "platform/wayland/WaylandFramePacing.hpp"
#include "platform/wayland/WaylandPicture.hpp"

#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// When the last picture of an output answers for the next one
// ------------------------------------------------------------
// Between two pictures the output is watched: a copy_with_damage into the output's buffer is
// left pending. wlroots completes it at the first commit of the output that changes a pixel
// since the last such copy of ours completed on that output, and makes the copy inside that
// commit, before it handles any other request. Its "ready" is therefore queued before the
// answer to any round trip the compositor reads after that commit.
//
// The rule: a picture is answered from the last one only when the pending copy is still
// pending after a round trip that began after the request arrived (WaylandConnection::run
// makes it) and the compositor cannot be holding a window's change that it has not yet
// composed (WaylandFramePacing: for about two refresh intervals after a commit of the output
// it may; then the picture waits for the pending copy until that time has passed). Otherwise
// the picture is a frame the compositor composed after the request arrived:
//   - pending copy completed before the request: its buffer is the output as of then, but the
//     output may have changed again since. A new copy_with_damage is armed together with a
//     plain copy of one pixel (the fence); the fence completes at the output's next commit, and
//     the new copy completes at that same commit if anything changed since the old one did.
//   - pending copy completes while the picture waits for the compositor's held changes: that
//     commit came after the request, so it is current.
//
// Why it is sound: the compositor composes every pixel of the output itself (a software
// cursor, no buffer of a window scanned out directly: a pending copy keeps wlroots from doing
// that, and a copy showing the pointer makes it draw the pointer), and it reports as damage
// every area it composed anew. So an output whose pending copy has not completed shows what
// the last completed copy showed. The damage wlroots tracks is per client and output, not per
// pending copy: only one copy per output is ever left pending (the pointer shown or hidden as
// last asked for; the other kind starts over with a plain copy).
//
// What it does not cover: a commit of the output made for another client that asks for
// frames without drawing (another screen copier, say) also holds windows' changes for an
// interval, and such a commit is not reported to us. A change can then show up to one
// refresh interval late, as it would in a plain copy taken a moment earlier.
//
// The first picture of an output, a changed mode, transform or scale, a copy that failed and
// a new connection all start over with a plain copy, which waits for the output's next frame.

namespace {

// A plain copy waits for the output's next frame; an idle output renders one on demand.
constexpr std::chrono::seconds copyDeadline{5};

using Clock = std::chrono::steady_clock;

} // namespace

// One frame asked of the compositor and what it said about it.
struct WaylandScreencopy::Frame {
    zwlr_screencopy_frame_v1* proxy = nullptr;
    std::optional<SharedBufferLayout> shm;
    bool described = false; // every buffer kind announced
    bool yInverted = false;
    bool ready = false;
    bool failed = false;

    Frame() = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame()
    {
        if (proxy)
            zwlr_screencopy_frame_v1_destroy(proxy);
    }

    bool settled() const { return ready || failed; }
};

namespace {

using Frame = WaylandScreencopy::Frame;

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

// A frame of the whole output, or of the one logical pixel at its top-left corner.
enum class Area { output, corner };

std::unique_ptr<Frame> requestFrame(WaylandSession& session, wl_output* output, bool withCursor, Area area)
{
    auto frame = std::make_unique<Frame>();
    frame->proxy = area == Area::output
        ? zwlr_screencopy_manager_v1_capture_output(session.screencopy(), withCursor ? 1 : 0, output)
        : zwlr_screencopy_manager_v1_capture_output_region(session.screencopy(), withCursor ? 1 : 0, output, 0, 0, 1,
                                                            1);
    zwlr_screencopy_frame_v1_add_listener(frame->proxy, &frameListener, frame.get());
    return frame;
}

// Waits until the compositor has described the buffers it can copy each frame into.
void awaitDescriptions(WaylandSession& session, const std::vector<Frame*>& frames)
{
    // Before version 3 every kind comes at once, and one round trip has them all.
    const bool announcesAll = zwlr_screencopy_frame_v1_get_version(frames.front()->proxy) >= 3;
    if (!announcesAll) {
        session.roundtrip();
        return;
    }
    session.dispatchUntil(
        [&] { return std::all_of(frames.begin(), frames.end(), [](Frame* f) { return f->described || f->failed; }); },
        copyDeadline);
}

// The shared-memory buffer the compositor offers for the frame, if this can read it.
SharedBufferLayout offeredLayout(const Frame& frame, const std::string& name)
{
    if (frame.failed)
        throw waylandError("the compositor could not copy output " + name);
    if (!frame.shm)
        throw waylandError("the compositor offers no shared-memory copy of output " + name);
    const SharedBufferLayout wanted = *frame.shm;
    if (!readableFormat(wanted.format) || wanted.width <= 0 || wanted.height <= 0 || wanted.stride < wanted.width * 4)
        throw waylandError("the compositor copies output " + name + " only in a pixel format this cannot read ("
                           + std::to_string(wanted.format) + ")");
    return wanted;
}

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

namespace {

using Buffer = WaylandScreencopy::Buffer;

// The slot's buffer when it fits the layout, else a new one in its place.
Buffer& bufferFor(std::unique_ptr<Buffer>& slot, WaylandSession& session, const SharedBufferLayout& wanted)
{
    if (slot && slot->fits(wanted))
        return *slot;
    slot.reset();
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
    buffer->buffer
        = wl_shm_pool_create_buffer(buffer->pool, 0, wanted.width, wanted.height, wanted.stride, wanted.format);
    slot = std::move(buffer);
    return *slot;
}

// The frame copied into the buffer, written over `picture` (in its own memory when it is of
// the size already).
void readPicture(const Buffer& buffer, const Frame& frame, int transform, const std::string& name, Image& picture)
{
    SharedBufferLayout copied = buffer.layout;
    copied.yInverted = frame.yInverted;
    if (!pictureFromBuffer(buffer.data, buffer.size, copied, transform, picture))
        throw waylandError("the copy of output " + name + " could not be read");
}

// Whether pictures of the two descriptions of an output come out alike.
bool sameScanout(const WaylandOutput& a, const WaylandOutput& b)
{
    return a.modeWidth == b.modeWidth && a.modeHeight == b.modeHeight && a.transform == b.transform
        && a.scale == b.scale;
}

} // namespace

// An output watched between pictures: its last picture, the buffer a copy is pending into,
// and when the compositor may still hold changes it has not composed.
struct WaylandScreencopy::Watch {
    WaylandOutput output; // as described when the watch began
    bool withCursor = false;
    WaylandFramePacing pacing;
    std::unique_ptr<Buffer> buffer;
    std::unique_ptr<Frame> pending; // copy_with_damage into buffer; none when arming failed
    // The output's last picture, never read from the buffer while a copy is pending into it.
    // Only the watch holds it: answers are copies of it (capture) or written over the
    // caller's earlier picture (captureOver), so a new copy is read into it in place.
    Image picture;

    Watch(const WaylandOutput& described, bool cursor)
        : output(described), withCursor(cursor), pacing(described.refresh)
    {
    }
};

WaylandScreencopy::WaylandScreencopy() = default;
WaylandScreencopy::~WaylandScreencopy() = default;

void WaylandScreencopy::forget()
{
    watches_.clear();
    fenceBuffer_.reset();
    buffer_.reset();
}

void WaylandScreencopy::release(WaylandSession& session)
{
    forget();
    // The compositor frees the buffers and stops drawing the pointer for our copies now,
    // not at the next request.
    wl_display_flush(session.display());
}

void WaylandScreencopy::stopWatching(std::uint32_t outputID)
{
    std::erase_if(watches_, [outputID](const auto& watch) { return watch->output.id == outputID; });
}

Image WaylandScreencopy::capture(WaylandSession& session, std::uint32_t outputID, bool withCursor, Reuse reuse)
{
    Image fresh;
    const Image& picture = current(session, outputID, withCursor, reuse, fresh);
    if (&picture == &fresh)
        return fresh;
    return picture;
}

std::vector<std::uint8_t> WaylandScreencopy::captureOver(WaylandSession& session, std::uint32_t outputID,
                                                         bool withCursor, Reuse reuse, Image& earlier,
                                                         std::size_t threads)
{
    Image fresh;
    const Image& picture = current(session, outputID, withCursor, reuse, fresh);
    // Nothing below asks the compositor: `earlier` is written only once the picture is made,
    // so a picture that fails (or is made again on a new connection) has left it as lent.
    if (&picture == &fresh && (fresh.width != earlier.width || fresh.height != earlier.height)) {
        earlier = std::move(fresh);
        return {};
    }
    return copyRowsThatDiffer(picture, earlier, threads);
}

const Image& WaylandScreencopy::current(WaylandSession& session, std::uint32_t outputID, bool withCursor, Reuse reuse,
                                        Image& fresh)
{
    if (!session.screencopy() || !session.shm())
        throw waylandError("the compositor offers no screen copy (wlr-screencopy)");
    // Outputs that went away take their buffers with them.
    std::erase_if(watches_, [&](const auto& watch) { return !session.output(watch->output.id); });
    wl_output* output = session.output(outputID);
    const WaylandLayout layout = session.layout();
    const WaylandOutput* described = layout.find(outputID);
    if (!output || !described)
        throw waylandError("output " + std::to_string(outputID) + " is not connected");

    // copy_with_damage came with version 2.
    if (reuse == Reuse::no || zwlr_screencopy_manager_v1_get_version(session.screencopy()) < 2) {
        stopWatching(outputID);
        fresh = copyOnce(session, outputID, withCursor);
        return fresh;
    }
    auto found = std::find_if(watches_.begin(), watches_.end(),
                              [&](const auto& watch) { return watch->output.id == outputID; });
    Watch* watch = found == watches_.end() ? nullptr : found->get();
    if (watch && (watch->withCursor != withCursor || !sameScanout(watch->output, *described) || !watch->pending
                  || watch->pending->failed)) {
        stopWatching(outputID);
        watch = nullptr;
    }
    if (watch) {
        try {
            return answer(session, *watch);
        } catch (const WaylandConnectionLost&) {
            throw;
        } catch (const WaylandNoAnswer&) {
            throw;
        } catch (const std::exception&) {
            // A copy that failed on the way (the output changed as it was copied, say) starts
            // over with a plain copy below.
        }
        stopWatching(outputID);
    }
    return startWatch(session, *described, withCursor);
}

Image WaylandScreencopy::copyOnce(WaylandSession& session, std::uint32_t outputID, bool withCursor)
{
    const WaylandLayout layout = session.layout();
    const WaylandOutput& described = *layout.find(outputID);
    auto frame = requestFrame(session, session.output(outputID), withCursor, Area::output);
    awaitDescriptions(session, {frame.get()});
    Buffer& buffer = bufferFor(buffer_, session, offeredLayout(*frame, described.name));
    zwlr_screencopy_frame_v1_copy(frame->proxy, buffer.buffer);
    session.dispatchUntil([&] { return frame->settled(); }, copyDeadline);
    if (frame->failed)
        throw waylandError("the compositor could not copy output " + described.name);
    Image picture;
    readPicture(buffer, *frame, described.transform, described.name, picture);
    return picture;
}

const Image& WaylandScreencopy::startWatch(WaylandSession& session, const WaylandOutput& described, bool withCursor)
{
    // The first picture is a plain copy: a copy_with_damage would wait for a change, and the
    // compositor may remember that nothing changed since an earlier watch of ours.
    auto watch = std::make_unique<Watch>(described, withCursor);
    auto frame = requestFrame(session, session.output(described.id), withCursor, Area::output);
    awaitDescriptions(session, {frame.get()});
    Buffer& buffer = bufferFor(watch->buffer, session, offeredLayout(*frame, described.name));
    zwlr_screencopy_frame_v1_copy(frame->proxy, buffer.buffer);
    session.dispatchUntil([&] { return frame->settled(); }, copyDeadline);
    if (frame->failed)
        throw waylandError("the compositor could not copy output " + described.name);
    watch->pacing.committed(Clock::now());
    readPicture(buffer, *frame, described.transform, described.name, watch->picture);
    frame.reset();
    // The plain copy's buffer is not needed while a watch holds one of its own.
    buffer_.reset();
    arm(session, *watch);
    watches_.push_back(std::move(watch));
    return watches_.back()->picture;
}

void WaylandScreencopy::arm(WaylandSession& session, Watch& watch)
{
    auto frame = requestFrame(session, session.output(watch.output.id), watch.withCursor, Area::output);
    awaitDescriptions(session, {frame.get()});
    if (frame->failed || !frame->shm || !watch.buffer->fits(*frame->shm))
        return; // unarmed: the next picture starts over
    zwlr_screencopy_frame_v1_copy_with_damage(frame->proxy, watch.buffer->buffer);
    wl_display_flush(session.display());
    watch.pending = std::move(frame);
    watch.pacing.asked(Clock::now());
}

bool WaylandScreencopy::fence(WaylandSession& session, Watch& watch)
{
    const std::string& name = watch.output.name;
    auto next = requestFrame(session, session.output(watch.output.id), watch.withCursor, Area::output);
    auto fence = requestFrame(session, session.output(watch.output.id), false, Area::corner);
    awaitDescriptions(session, {next.get(), fence.get()});
    if (next->failed || !next->shm || !watch.buffer->fits(*next->shm))
        return false;
    Buffer& corner = bufferFor(fenceBuffer_, session, offeredLayout(*fence, name));
    zwlr_screencopy_frame_v1_copy_with_damage(next->proxy, watch.buffer->buffer);
    zwlr_screencopy_frame_v1_copy(fence->proxy, corner.buffer);
    session.dispatchUntil([&] { return fence->settled(); }, copyDeadline);
    // Both copies settle within the same commit; a round trip reads whatever of it the
    // fence's events did not bring along.
    session.roundtrip();
    if (fence->failed || next->failed)
        return false;
    watch.pacing.committed(Clock::now());
    if (next->ready) {
        readPicture(*watch.buffer, *next, watch.output.transform, name, watch.picture);
        next.reset();
        arm(session, watch);
    } else {
        watch.pending = std::move(next);
    }
    return true;
}

const Image& WaylandScreencopy::answer(WaylandSession& session, Watch& watch)
{
    Frame* pending = watch.pending.get();
    const std::string& name = watch.output.name;
    if (pending->ready) {
        // Completed before the request: the output as it was then, and perhaps changed since.
        readPicture(*watch.buffer, *pending, watch.output.transform, name, watch.picture);
        watch.pending.reset();
        if (!fence(session, watch))
            throw waylandError("the compositor could not copy output " + name);
        return watch.picture;
    }
    if (Clock::now() < watch.pacing.holdsUntil()) {
        // The compositor may still be composing a change made before the request.
        if (!session.dispatchUntil([&] { return pending->settled(); }, watch.pacing.holdsUntil()))
            session.roundtrip();
        if (pending->failed)
            throw waylandError("the compositor could not copy output " + name);
        if (pending->ready) {
            // Composed after the request arrived: current.
            watch.pacing.committed(Clock::now());
            readPicture(*watch.buffer, *pending, watch.output.transform, name, watch.picture);
            watch.pending.reset();
            arm(session, watch);
        }
    }
    return watch.picture;
}
