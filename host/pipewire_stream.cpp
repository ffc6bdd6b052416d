#include "host/pipewire_stream.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <turbojpeg.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "host/stream_picture.h"

namespace {

constexpr int kFirstFrameMs = 10000;
// One buffer is held for the picture; the compositor drops a frame when it finds no free
// one, so it keeps at least two more.
constexpr int kMinBuffers = 3;
constexpr int kBuffers = 6;

size_t cursorMetaSize(int side) { return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t(side) * side * 4; }

}  // namespace

struct PipeWireStream::Parts {
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* video = nullptr;
    spa_hook coreListener{};
    spa_hook videoListener{};
    pw_registry* registry = nullptr;  // tells when the compositor's node goes
    spa_hook registryListener{};
    uint32_t node = PW_ID_ANY;
    spa_video_info_raw format{};
    int news = -1;        // an eventfd, written when the picture changed or the stream failed
    std::string failure;  // why the stream stopped
    std::atomic<bool> damageMeta{false};  // the stream says where frames changed (else the tiles are compared)
    StreamPicture picture;
    pw_buffer* held = nullptr;  // the picture's latest frame, read where it is

    ~Parts();
    void tell()
    {
        uint64_t one = 1;
        (void)!write(news, &one, sizeof one);
    }
    bool take(spa_buffer* buffer);
    void formatChanged(const spa_pod* param);
};

PipeWireStream::Parts::~Parts()
{
    if (thread)
        pw_thread_loop_stop(thread);
    if (video)
        pw_stream_destroy(video);
    if (registry)
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    if (core)
        pw_core_disconnect(core);
    if (context)
        pw_context_destroy(context);
    if (thread)
        pw_thread_loop_destroy(thread);
    if (news >= 0)
        close(news);
}

// Whether the buffer held a frame, which the picture then reads until the next.
bool PipeWireStream::Parts::take(spa_buffer* buffer)
{
    if (spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_Cursor)) {
        StreamPointer pointer;
        readStreamCursor(meta->data, meta->size, pointer);
        picture.pointer(pointer);
    }
    if (buffer->n_datas < 1)
        return false;
    const spa_data& data = buffer->datas[0];
    // A buffer of the pointer alone carries no picture.
    if (!data.data || !data.chunk || data.chunk->size == 0 || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return false;
    int width = int(format.size.width), height = int(format.size.height), stride = data.chunk->stride;
    if (width <= 0 || height <= 0 || stride < width * 4 ||
        uint64_t(data.chunk->offset) + uint64_t(stride) * (height - 1) + uint64_t(width) * 4 > data.maxsize)
        return false;
    std::vector<PixelRect> damage;
    if (spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage)) {
        damage = readStreamDamage(meta->data, meta->size, width, height);
        damageMeta = true;
    }
    picture.hold(static_cast<const uint8_t*>(data.data) + data.chunk->offset, width, height, stride, damage);
    return true;
}

void PipeWireStream::Parts::formatChanged(const spa_pod* param)
{
    if (!param || spa_format_video_raw_parse(param, &format) < 0)
        return;
    // Shared memory only: without a GPU there is nothing to map a DMA-BUF with.
    uint8_t space[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof space);
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(kBuffers, kMinBuffers, 16), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(int(sizeof(spa_meta_region) * 16), int(sizeof(spa_meta_region)),
                                     int(sizeof(spa_meta_region) * 16)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(int(cursorMetaSize(64)), int(cursorMetaSize(1)), int(cursorMetaSize(384))))),
    };
    pw_stream_update_params(video, params, 3);
}

namespace {

PipeWireStream::Parts* partsOf(void* data) { return static_cast<PipeWireStream::Parts*>(data); }

const pw_stream_events kVideoEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state old, pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && old != state)) {
            partsOf(data)->failure = std::string("the screen stream ended: ") + (error ? error : "unconnected");
            partsOf(data)->tell();
        }
    };
    events.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format)
            partsOf(data)->formatChanged(param);
    };
    // Buffers go when they are renegotiated or the stream stops: a held frame is copied first.
    events.remove_buffer = [](void* data, pw_buffer* buffer) {
        if (buffer == partsOf(data)->held) {
            partsOf(data)->picture.release();
            partsOf(data)->held = nullptr;
        }
    };
    events.process = [](void* data) {
        // Every buffer in turn, for its damage and pointer; each holds the whole picture, so
        // the latest frame is kept instead of copied, and the one before goes back.
        PipeWireStream::Parts* parts = partsOf(data);
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(parts->video)) {
            if (!parts->take(buffer->buffer)) {
                pw_stream_queue_buffer(parts->video, buffer);
                continue;
            }
            if (parts->held)
                pw_stream_queue_buffer(parts->video, parts->held);
            parts->held = buffer;
        }
        if (parts->picture.changed())
            parts->tell();
    };
    return events;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = [](void* data, uint32_t id, int, int, const char* message) {
        if (id == PW_ID_CORE) {
            partsOf(data)->failure = std::string("PipeWire: ") + message;
            partsOf(data)->tell();
        }
    };
    return events;
}();

// A compositor that dies leaves the stream waiting for frames that never come; its node's
// removal is what says so.
const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = [](void* data, uint32_t id) {
        if (id == partsOf(data)->node) {
            partsOf(data)->failure = "the screen stream's PipeWire node went away (the compositor stopped sharing)";
            partsOf(data)->tell();
        }
    };
    return events;
}();

}  // namespace

PipeWireStream::PipeWireStream() : parts_(new Parts) {}

PipeWireStream::~PipeWireStream() = default;

bool PipeWireStream::start(uint32_t node, int remote, std::string& error, const std::function<void()>& nudge)
{
    Parts& p = *parts_;
    pw_init(nullptr, nullptr);
    p.news = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    p.thread = pw_thread_loop_new("tavimo-pipewire", nullptr);
    p.context = p.thread ? pw_context_new(pw_thread_loop_get_loop(p.thread), nullptr, 0) : nullptr;
    if (remote >= 0) {
        p.core = p.context ? pw_context_connect_fd(p.context, remote, nullptr, 0) : nullptr;
        if (!p.core && !p.context)
            close(remote);
    } else {
        p.core = p.context ? pw_context_connect(p.context, nullptr, 0) : nullptr;
    }
    if (!p.core) {
        error = remote >= 0 ? "cannot use the PipeWire connection the portal opened"
                            : "cannot reach PipeWire in this session (is the pipewire service running?)";
        return false;
    }
    pw_core_add_listener(p.core, &p.coreListener, &kCoreEvents, &p);
    p.node = node;
    p.registry = pw_core_get_registry(p.core, PW_VERSION_REGISTRY, 0);
    if (p.registry)
        pw_registry_add_listener(p.registry, &p.registryListener, &kRegistryEvents, &p);
    p.video = pw_stream_new(p.core, "tavimo-host",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                              PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    pw_stream_add_listener(p.video, &p.videoListener, &kVideoEvents, &p);
    uint8_t space[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof space);
    const spa_pod* formats = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA)));
    if (pw_stream_connect(p.video, PW_DIRECTION_INPUT, node,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &formats,
                          1) < 0) {
        error = "cannot connect to the screen stream's PipeWire node";
        return false;
    }
    if (p.news < 0 || pw_thread_loop_start(p.thread) < 0) {
        error = "cannot start PipeWire's thread";
        return false;
    }
    auto now = std::chrono::steady_clock::now();
    auto until = now + std::chrono::milliseconds(kFirstFrameMs), nudgeAt = now + std::chrono::seconds(1);
    for (pollfd wait = {p.news, POLLIN, 0}; std::chrono::steady_clock::now() < until; poll(&wait, 1, 100)) {
        pw_thread_loop_lock(p.thread);
        bool done = p.picture.hasFrame() || !p.failure.empty();
        error = p.picture.hasFrame() ? "" : p.failure;
        pw_thread_loop_unlock(p.thread);
        if (done)
            return error.empty();
        if (nudge && std::chrono::steady_clock::now() >= nudgeAt) {
            nudge();
            nudgeAt = until;
        }
    }
    error = "no frame from the screen stream within 10 s";
    return false;
}

int PipeWireStream::changeFd() const { return parts_->news; }

void PipeWireStream::consume()
{
    uint64_t count;
    while (read(parts_->news, &count, sizeof count) > 0) {
    }
}

bool PipeWireStream::changed()
{
    Parts& p = *parts_;
    pw_thread_loop_lock(p.thread);
    bool changed = p.picture.changed() || !p.failure.empty();
    pw_thread_loop_unlock(p.thread);
    return changed;
}

bool PipeWireStream::take(ScreenPicture& out, std::string& error)
{
    Parts& p = *parts_;
    pw_thread_loop_lock(p.thread);
    if (!p.failure.empty())
        error = p.failure;
    else
        p.picture.take(out);
    pw_thread_loop_unlock(p.thread);
    out.pixelFormat = TJPF_BGRX;
    return error.empty();
}

bool PipeWireStream::failed() const
{
    pw_thread_loop_lock(parts_->thread);
    bool failed = !parts_->failure.empty();
    pw_thread_loop_unlock(parts_->thread);
    return failed;
}

std::string PipeWireStream::captureMethod() const
{
    return parts_->damageMeta ? "pipewire+damage" : "pipewire+tiles";
}
