#include "platform/linux/wayland/pipewire_stream.h"

#include <QImage>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/media_types.h"
#include "util/log.h"

namespace nimbo {

QRect cropInFrame(const QRect& crop, QSize displaySize, QSize frameSize) {
  const QRect all(QPoint(0, 0), frameSize);
  if (crop.isEmpty() || displaySize.isEmpty()) return all;
  const double fx = double(frameSize.width()) / displaySize.width();
  const double fy = double(frameSize.height()) / displaySize.height();
  const int x0 = int(std::lround(crop.x() * fx)), y0 = int(std::lround(crop.y() * fy));
  const int x1 = int(std::lround((crop.x() + crop.width()) * fx));
  const int y1 = int(std::lround((crop.y() + crop.height()) * fy));
  return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1)).intersected(all);
}

QRegion copyChangedTiles(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int width,
                         int height) {
  constexpr int kTile = 16;
  constexpr size_t tileBytes = kTile * 4;
  if (width < 1 || height < 1) return {};
  const size_t rowBytes = size_t(width) * 4;
  const int tiles = (width + kTile - 1) / kTile;
  std::vector<uint8_t> differs(size_t(tiles), 0);
  std::vector<QRect> rects;
  for (int top = 0; top < height; top += kTile) {
    const int rows = std::min(kTile, height - top);
    std::fill(differs.begin(), differs.end(), uint8_t(0));
    for (int y = top; y < top + rows; ++y) {
      const uint8_t* s = src + size_t(y) * srcStride;
      uint8_t* d = dst + size_t(y) * dstStride;
      if (std::memcmp(s, d, rowBytes) == 0) continue;
      const int whole = width / kTile;  // compared and copied at a constant size, inline
      for (int t = 0; t < whole; ++t) {
        const size_t at = size_t(t) * tileBytes;
        if (std::memcmp(s + at, d + at, tileBytes) == 0) continue;
        std::memcpy(d + at, s + at, tileBytes);
        differs[size_t(t)] = 1;
      }
      if (const size_t at = size_t(whole) * tileBytes; at < rowBytes && std::memcmp(s + at, d + at, rowBytes - at)) {
        std::memcpy(d + at, s + at, rowBytes - at);
        differs[size_t(whole)] = 1;
      }
    }
    // Runs of differing tiles, left to right: one band of the region.
    for (int t = 0; t < tiles;) {
      if (!differs[size_t(t)]) {
        ++t;
        continue;
      }
      const int first = t;
      while (t < tiles && differs[size_t(t)]) ++t;
      rects.emplace_back(first * kTile, top, std::min(width, t * kTile) - first * kTile, rows);
    }
  }
  QRegion changed;
  if (!rects.empty()) changed.setRects(rects.data(), int(rects.size()));
  return changed;
}

struct PipeWireStream::Impl {
  PipeWireStreamOptions options;
  std::function<void(const ScreenFrame&)> onFrame;
  QSize outSize;

  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  spa_source* repeat = nullptr;

  spa_video_info_raw format{};
  std::vector<uint8_t> last;  // the newest frame, B G R X at outSize
  // Where `last` differs from the frame delivered before; unknown after a
  // picture that was scaled or the first.
  QRegion pending;
  bool pendingKnown = false;
  int64_t lastCameNs = 0;     // when it came
  int64_t lastDeliveredNs = 0;
  int64_t startedNs = 0;
  std::atomic<int> delivered{0};
  std::atomic<int64_t> intervalNs{16666667};  // frames closer together are skipped
  std::atomic<bool> failed{false};
  std::string error;

  ~Impl() {
    if (loop) pw_thread_loop_stop(loop);
    if (stream) pw_stream_destroy(stream);
    if (core) pw_core_disconnect(core);
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
    if (options.fd >= 0) ::close(options.fd);
  }

  void deliver(int64_t pts) {
    ScreenFrame f;
    f.pixels = last.data();
    f.width = outSize.width();
    f.height = outSize.height();
    f.stride = outSize.width() * 4;
    f.ptsNs = pts;
    f.changed = pendingKnown ? &pending : nullptr;
    lastDeliveredNs = pts;
    delivered.fetch_add(1, std::memory_order_relaxed);
    onFrame(f);
    pending = QRegion();
    pendingKnown = true;
  }

  // A picture in the negotiated format to B G R X at the output size.
  void convert(const uint8_t* src, int width, int height, int stride) {
    const bool rgbOrder = format.format == SPA_VIDEO_FORMAT_RGBx || format.format == SPA_VIDEO_FORMAT_RGBA;
    const QSize frameSize(width, height);
    const QRect part = cropInFrame(options.crop, options.displaySize, frameSize);
    QImage view(src, width, height, stride, QImage::Format_RGB32);
    const size_t bytes = size_t(outSize.width()) * outSize.height() * 4;
    if (last.size() != bytes) {
      last.assign(bytes, 0);
      pendingKnown = false;
    }
    if (part.size() == outSize && !rgbOrder) {
      // The compositor sends a whole picture however little changed (for a
      // region, when anything on the monitor did): compared with the one
      // before, the recording learns where it changed, or that it did not.
      pending += copyChangedTiles(src + size_t(part.y()) * stride + size_t(part.x()) * 4, size_t(stride),
                                  last.data(), size_t(outSize.width()) * 4, outSize.width(), outSize.height());
      return;
    }
    // The source is not the size it was expected to be (the user shared
    // another monitor, or it changed): scaled to the recording's size.
    pendingKnown = false;
    QImage picture = view.copy(part);
    if (rgbOrder) picture = std::move(picture).rgbSwapped();
    if (picture.size() != outSize) picture = picture.scaled(outSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    for (int y = 0; y < outSize.height(); ++y)
      std::memcpy(last.data() + size_t(y) * outSize.width() * 4, picture.constScanLine(y), size_t(outSize.width()) * 4);
  }

  static void onProcess(void* data) {
    auto* self = static_cast<Impl*>(data);
    // Only the newest buffer matters; older ones go back at once.
    pw_buffer* b = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(self->stream)) {
      if (b) pw_stream_queue_buffer(self->stream, b);
      b = next;
    }
    if (!b) return;
    spa_buffer* buf = b->buffer;
    const spa_data& d = buf->datas[0];
    const int width = int(self->format.size.width), height = int(self->format.size.height);
    const int64_t now = monotonicNs();
    // Empty chunks carry only a cursor move or nothing new.
    const bool hasPicture = d.data && d.chunk && d.chunk->size > 0 && !(d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) &&
                            width > 0 && height > 0;
    // A held stream keeps every picture, so begin() has the newest.
    const bool due = !self->onFrame || now - self->lastDeliveredNs >= self->intervalNs.load() * 9 / 10;
    if (hasPicture && due) {
      const int stride = d.chunk->stride > 0 ? d.chunk->stride : width * 4;
      if (int64_t(stride) * height <= int64_t(d.maxsize)) {
        self->convert(static_cast<const uint8_t*>(d.data) + d.chunk->offset, width, height, stride);
        self->lastCameNs = now;
        // A picture the same as the one delivered before is not delivered
        // again: the tick counts as one where nothing changed.
        if (self->onFrame && (!self->pendingKnown || !self->pending.isEmpty())) self->deliver(now);
      }
    }
    pw_stream_queue_buffer(self->stream, b);
  }

  static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
      return;
    spa_format_video_raw_parse(param, &self->format);
    logLine(QStringLiteral("Recorder: screen cast stream %1x%2, format %3, at most %4/%5 frames a second")
                .arg(self->format.size.width)
                .arg(self->format.size.height)
                .arg(self->format.format)
                .arg(self->format.max_framerate.num)
                .arg(self->format.max_framerate.denom));
    // Buffers we can read directly: shared memory, not GPU buffers.
    uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(self->stream, params, 2);
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* self = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      self->failed = true;
      logLine(QStringLiteral("Recorder: the screen cast stream failed: %1").arg(QString::fromUtf8(error ? error : "")));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
      logLine(QStringLiteral("Recorder: the screen cast stream ended"));
    }
    pw_thread_loop_signal(self->loop, false);
  }

  // While nothing changes the compositor sends nothing; the recording still
  // gets the picture about once a second.
  static void onRepeat(void* data, uint64_t) {
    auto* self = static_cast<Impl*>(data);
    const int64_t now = monotonicNs();
    if (self->onFrame && !self->last.empty() && now - self->lastDeliveredNs >= 900'000'000) self->deliver(now);
  }

  // The repeat timer's next firing after `firstNs`, then every second.
  void scheduleRepeat(int64_t firstNs) {
    timespec value{time_t(firstNs / 1000000000), long(firstNs % 1000000000)}, interval{1, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), repeat, &value, &interval, false);
  }
};

PipeWireStream::PipeWireStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PipeWireStream::~PipeWireStream() {
  if (impl_->loop) {
    pw_thread_loop_lock(impl_->loop);
    if (impl_->stream) pw_stream_disconnect(impl_->stream);
    pw_thread_loop_unlock(impl_->loop);
  }
}

void PipeWireStream::setFrameInterval(double seconds) { impl_->intervalNs = int64_t(seconds * 1e9); }

void PipeWireStream::begin(std::function<void(const ScreenFrame&)> onFrame) {
  pw_thread_loop_lock(impl_->loop);
  impl_->onFrame = std::move(onFrame);
  impl_->startedNs = monotonicNs();
  impl_->lastDeliveredNs = 0;
  impl_->delivered = 0;
  impl_->pendingKnown = false;  // the first frame is a whole picture
  // A picture that came just now is what the screen shows: it goes out at
  // once, from the loop's own thread (the caller may not be ready for
  // frames until this returns). An older one may predate a change the
  // compositor has yet to send (our countdown leaving the screen): the next
  // picture it sends goes out, or this one after a second. A window sends
  // nothing while it stands still, and nothing of ours is in its picture:
  // the newest is what it shows however old.
  const bool fresh = !impl_->last.empty() &&
                     (!impl_->options.showsOurWindows ||
                      impl_->startedNs - impl_->lastCameNs <= int64_t(ScreenStreamService::kFreshMs) * 1000000);
  impl_->scheduleRepeat(fresh ? 1 : 1000000000);
  pw_thread_loop_unlock(impl_->loop);
}

int PipeWireStream::framesIdle() const {
  // Ticks of the configured rate that brought nothing new.
  const double elapsed = double(monotonicNs() - impl_->startedNs) / 1e9;
  const int ticks = int(elapsed * 1e9 / double(impl_->intervalNs.load()));
  return std::max(0, ticks - impl_->delivered.load());
}

Result<std::unique_ptr<PipeWireStream>> PipeWireStream::start(const PipeWireStreamOptions& options,
                                                              std::function<void(const ScreenFrame&)> onFrame) {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->intervalNs = int64_t(options.minInterval * 1e9);
  impl->onFrame = std::move(onFrame);
  const QRect crop = options.crop.isEmpty() ? QRect(QPoint(0, 0), options.displaySize) : options.crop;
  impl->outSize = crop.size();
  impl->startedNs = monotonicNs();
  if (options.fd < 0 || impl->outSize.isEmpty())
    return platformError(PlatformErrorCode::failed, QStringLiteral("nothing to stream"));

  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &Impl::onStateChanged;
    e.param_changed = &Impl::onParamChanged;
    e.process = &Impl::onProcess;
    return e;
  }();

  impl->loop = pw_thread_loop_new("nimbo-screencast", nullptr);
  if (!impl->loop) return platformError(PlatformErrorCode::failed, QStringLiteral("no PipeWire loop"));
  impl->context = pw_context_new(pw_thread_loop_get_loop(impl->loop), nullptr, 0);
  if (!impl->context) return platformError(PlatformErrorCode::failed, QStringLiteral("no PipeWire context"));
  if (pw_thread_loop_start(impl->loop) < 0)
    return platformError(PlatformErrorCode::failed, QStringLiteral("the PipeWire loop did not start"));

  pw_thread_loop_lock(impl->loop);
  auto unlockWith = [&](const QString& why) -> Result<std::unique_ptr<PipeWireStream>> {
    pw_thread_loop_unlock(impl->loop);
    return platformError(PlatformErrorCode::failed, why);
  };
  impl->core = pw_context_connect_fd(impl->context, options.fd, nullptr, 0);
  impl->options.fd = -1;  // the core owns it now, connected or not
  if (!impl->core) return unlockWith(QStringLiteral("cannot connect to PipeWire through the portal"));
  impl->stream = pw_stream_new(impl->core, "Nimbo recording",
                               pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!impl->stream) return unlockWith(QStringLiteral("cannot make a PipeWire stream"));
  pw_stream_add_listener(impl->stream, &impl->streamListener, &events, impl.get());

  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_rectangle defSize = SPA_RECTANGLE(uint32_t(options.displaySize.width()), uint32_t(options.displaySize.height()));
  spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384);
  const uint32_t fps = uint32_t(std::lround(1.0 / options.minInterval));
  spa_fraction defRate = SPA_FRACTION(fps, 1), minRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(240, 1);
  // The most frames a second we take, a tenth over our rate since repaints
  // jitter around it (16 and 17 ms apart at 60 a second). GNOME and KDE
  // render no frames for the cast closer together than the limit allows
  // (GNOME caps it at the monitor's refresh rate), so a window recorded at
  // 30 a second is not rendered for the cast at every repaint.
  spa_fraction mostRate = SPA_FRACTION(fps * 11, 10), leastMost = SPA_FRACTION(1, 1);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate), SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&mostRate, &leastMost, &mostRate)));
  const int rc = pw_stream_connect(impl->stream, PW_DIRECTION_INPUT, options.node,
                                   pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  if (rc < 0) return unlockWith(QStringLiteral("cannot connect to the screen cast: %1").arg(QString::fromUtf8(spa_strerror(rc))));

  impl->repeat = pw_loop_add_timer(pw_thread_loop_get_loop(impl->loop), &Impl::onRepeat, impl.get());
  impl->scheduleRepeat(1000000000);
  pw_thread_loop_unlock(impl->loop);
  return std::unique_ptr<PipeWireStream>(new PipeWireStream(std::move(impl)));
}

}  // namespace nimbo
