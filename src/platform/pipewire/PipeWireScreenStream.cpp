#include "platform/pipewire/PipeWireScreenStream.hpp"

#include "base/PlatformError.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/buffers.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

PlatformError pipeWireError(const std::string& text)
{
    return PlatformError("PipeWire", 0, text);
}

// pw_init once for the process, before the first stream.
void initialisePipeWire()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

} // namespace

struct PipeWireScreenStream::State {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_hook coreListener{};
    // Under the thread loop's lock:
    spa_video_info_raw format{};
    bool negotiated = false;
    pw_buffer* newest = nullptr; // the newest frame with pixels, held back from the stream
    bool ended = false;
    std::string failure;

    void keep(pw_buffer* buffer)
    {
        if (newest)
            pw_stream_queue_buffer(stream, newest);
        newest = buffer;
        pw_thread_loop_signal(loop, false);
    }
};

namespace {

bool hasPixels(const pw_buffer* buffer)
{
    const spa_buffer* spa = buffer->buffer;
    return spa->n_datas > 0 && spa->datas[0].data && spa->datas[0].chunk && spa->datas[0].chunk->size > 0
        && !(spa->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
}

void onProcess(void* data)
{
    auto& state = *static_cast<PipeWireScreenStream::State*>(data);
    // Only the newest frame matters: older ones go straight back. Buffers with no pixels
    // (a cursor's move alone) leave the frame before them standing.
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(state.stream)) {
        if (hasPixels(buffer))
            state.keep(buffer);
        else
            pw_stream_queue_buffer(state.stream, buffer);
    }
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state now, const char* error)
{
    auto& state = *static_cast<PipeWireScreenStream::State*>(data);
    if (now == PW_STREAM_STATE_ERROR || now == PW_STREAM_STATE_UNCONNECTED) {
        state.ended = true;
        state.failure = error ? error : "the screen stream ended";
        pw_thread_loop_signal(state.loop, false);
    }
}

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
{
    auto& state = *static_cast<PipeWireScreenStream::State*>(data);
    if (!param || id != SPA_PARAM_Format)
        return;
    spa_video_info_raw format{};
    if (spa_format_video_raw_parse(param, &format) < 0)
        return;
    if (state.newest) {
        pw_stream_queue_buffer(state.stream, state.newest);
        state.newest = nullptr;
    }
    state.format = format;
    state.negotiated = true;
    // Pixels in memory this process can map (shared memory), not GPU buffers.
    std::uint8_t bytes[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(bytes, sizeof bytes);
    const spa_pod* buffers = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    pw_stream_update_params(state.stream, &buffers, 1);
}

void onCoreError(void* data, std::uint32_t id, int, int result, const char* message)
{
    auto& state = *static_cast<PipeWireScreenStream::State*>(data);
    if (id == PW_ID_CORE && result == -EPIPE) {
        state.ended = true;
        state.failure = std::string("PipeWire went away: ") + (message ? message : "");
        pw_thread_loop_signal(state.loop, false);
    }
}

const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    return events;
}();

const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

// The frame's pixels in the picture's order, blue green red alpha, opaque.
void copyRows(const spa_video_info_raw& format, const std::uint8_t* source, std::size_t stride, Image& image)
{
    const bool swapRedBlue = format.format == SPA_VIDEO_FORMAT_RGBx || format.format == SPA_VIDEO_FORMAT_RGBA;
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* from = source + static_cast<std::size_t>(y) * stride;
        std::uint8_t* to = image.row(y);
        if (!swapRedBlue) {
            std::memcpy(to, from, static_cast<std::size_t>(image.width) * 4);
            for (int x = 0; x < image.width; ++x)
                to[x * 4 + 3] = 0xff;
            continue;
        }
        for (int x = 0; x < image.width; ++x) {
            to[x * 4] = from[x * 4 + 2];
            to[x * 4 + 1] = from[x * 4 + 1];
            to[x * 4 + 2] = from[x * 4];
            to[x * 4 + 3] = 0xff;
        }
    }
}

} // namespace

PipeWireScreenStream::PipeWireScreenStream(int remoteFd, std::uint32_t nodeID) : state_(std::make_unique<State>())
{
    initialisePipeWire();
    State& state = *state_;
    state.loop = pw_thread_loop_new("velmar-screen", nullptr);
    if (!state.loop) {
        ::close(remoteFd);
        throw pipeWireError("PipeWire's thread loop cannot be made");
    }
    state.context = pw_context_new(pw_thread_loop_get_loop(state.loop), nullptr, 0);
    if (!state.context || pw_thread_loop_start(state.loop) < 0) {
        ::close(remoteFd);
        throw pipeWireError("PipeWire cannot be started in this process");
    }
    pw_thread_loop_lock(state.loop);
    // pw_context_connect_fd owns the descriptor from here, whatever it answers.
    state.core = pw_context_connect_fd(state.context, remoteFd, nullptr, 0);
    if (!state.core) {
        pw_thread_loop_unlock(state.loop);
        throw pipeWireError("the screen cast's PipeWire remote refused the connection");
    }
    pw_core_add_listener(state.core, &state.coreListener, &coreEvents, &state);
    state.stream = pw_stream_new(state.core, "velmar-screen",
                                 pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                   PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!state.stream) {
        pw_thread_loop_unlock(state.loop);
        throw pipeWireError("no PipeWire stream can be made");
    }
    pw_stream_add_listener(state.stream, &state.streamListener, &streamEvents, &state);

    std::uint8_t bytes[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(bytes, sizeof bytes);
    spa_rectangle defaultSize = SPA_RECTANGLE(1920, 1080), smallest = SPA_RECTANGLE(1, 1),
                  largest = SPA_RECTANGLE(16384, 16384);
    spa_fraction defaultRate = SPA_FRACTION(30, 1), slowest = SPA_FRACTION(0, 1), fastest = SPA_FRACTION(240, 1);
    const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &slowest, &fastest)));
    const int r = pw_stream_connect(state.stream, PW_DIRECTION_INPUT, nodeID,
                                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                    &format, 1);
    pw_thread_loop_unlock(state.loop);
    if (r < 0)
        throw pipeWireError("the screen stream cannot be connected: " + std::string(std::strerror(-r)));
}

PipeWireScreenStream::~PipeWireScreenStream()
{
    State& state = *state_;
    if (state.loop)
        pw_thread_loop_stop(state.loop);
    if (state.stream)
        pw_stream_destroy(state.stream);
    if (state.core)
        pw_core_disconnect(state.core);
    if (state.context)
        pw_context_destroy(state.context);
    if (state.loop)
        pw_thread_loop_destroy(state.loop);
}

bool PipeWireScreenStream::alive() const
{
    pw_thread_loop_lock(state_->loop);
    const bool ended = state_->ended;
    pw_thread_loop_unlock(state_->loop);
    return !ended;
}

Image PipeWireScreenStream::frame(std::chrono::milliseconds deadline)
{
    State& state = *state_;
    pw_thread_loop_lock(state.loop);
    struct Unlock {
        pw_thread_loop* loop;
        ~Unlock() { pw_thread_loop_unlock(loop); }
    } unlock{state.loop};
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!state.ended && !(state.negotiated && state.newest)) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw pipeWireError("no frame came from the screen stream within "
                                + std::to_string(deadline.count()) + " ms");
        timespec absolute{};
        pw_thread_loop_get_time(state.loop, &absolute, left.count());
        pw_thread_loop_timed_wait_full(state.loop, &absolute);
    }
    if (state.ended)
        throw pipeWireError(state.failure);
    const spa_data& data = state.newest->buffer->datas[0];
    const int width = static_cast<int>(state.format.size.width);
    const int height = static_cast<int>(state.format.size.height);
    const std::size_t stride = data.chunk->stride > 0 ? static_cast<std::size_t>(data.chunk->stride)
                                                      : static_cast<std::size_t>(width) * 4;
    const std::size_t offset = data.chunk->offset % std::max<std::uint32_t>(data.maxsize, 1);
    if (width <= 0 || height <= 0 || offset + stride * static_cast<std::size_t>(height) > data.maxsize)
        throw pipeWireError("the screen stream sent a frame smaller than its size");
    Image image = Image::blank(width, height);
    copyRows(state.format, static_cast<const std::uint8_t*>(data.data) + offset, stride, image);
    return image;
}
