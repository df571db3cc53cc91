#include "platform/linux/x11/x11_screen_stream.h"

#include "platform/linux/freedesktop/desktop_entries.h"
#include "platform/linux/x11/x11_connection.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "platform/linux/x11/x11_grabber.h"
#include "platform/linux/x11/x11_properties.h"
#include "util/log.h"

namespace nimbo {

namespace {

// A shared-memory buffer the server writes grabs into.
struct ShmBuffer {
  xcb_connection_t* c = nullptr;
  int id = -1;
  uint8_t* data = nullptr;
  xcb_shm_seg_t seg = 0;
  size_t size = 0;
  bool make(xcb_connection_t* conn, size_t bytes) {
    release();
    c = conn;
    id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) return false;
    data = static_cast<uint8_t*>(shmat(id, nullptr, 0));
    shmctl(id, IPC_RMID, nullptr);  // gone once both sides detach
    if (data == reinterpret_cast<uint8_t*>(-1)) {
      data = nullptr;
      return false;
    }
    seg = xcb_generate_id(c);
    xcb_void_cookie_t ck = xcb_shm_attach_checked(c, seg, uint32_t(id), 0);
    if (xcb_generic_error_t* e = xcb_request_check(c, ck)) {
      free(e);
      shmdt(data);
      data = nullptr;
      return false;
    }
    size = bytes;
    return true;
  }
  void release() {
    if (!data) return;
    xcb_shm_detach(c, seg);
    xcb_flush(c);
    shmdt(data);
    data = nullptr;
    size = 0;
  }
  ~ShmBuffer() { release(); }
};

// Draws the pointer image (premultiplied ARGB) over a B G R X frame whose
// top-left corner is at `origin` in root coordinates.
void drawCursor(uint8_t* px, int w, int h, int stride, const xcb_xfixes_get_cursor_image_reply_t* cur, int ox,
                int oy) {
  const uint32_t* img = xcb_xfixes_get_cursor_image_cursor_image(cur);
  const int left = cur->x - cur->xhot - ox, top = cur->y - cur->yhot - oy;
  for (int y = 0; y < cur->height; ++y) {
    const int fy = top + y;
    if (fy < 0 || fy >= h) continue;
    auto* row = reinterpret_cast<uint32_t*>(px + size_t(fy) * size_t(stride));
    for (int x = 0; x < cur->width; ++x) {
      const int fx = left + x;
      if (fx < 0 || fx >= w) continue;
      const uint32_t s = img[y * cur->width + x];
      const uint32_t a = s >> 24;
      if (a == 0) continue;
      const uint32_t d = row[fx];
      auto mix = [&](int shift) {
        const uint32_t sc = (s >> shift) & 255, dc = (d >> shift) & 255;
        return std::min<uint32_t>(255, sc + dc * (255 - a) / 255) << shift;
      };
      row[fx] = 0xff000000u | mix(16) | mix(8) | mix(0);
    }
  }
}

class X11Stream : public ScreenStream {
 public:
  X11Stream(StreamRequest r, QRect area) : request_(std::move(r)), area_(area) {}
  ~X11Stream() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    // The segment is detached on the connection, so before it closes.
    shm_.release();
    if (c_) xcb_disconnect(c_);
  }
  int framesIdle() const override { return idle_; }
  int framesMissed() const override { return missed_; }
  void setFrameInterval(double seconds) override { intervalNs_ = int64_t(seconds * 1e9); }
  void setHiddenWindows(std::vector<quint32> ids) override {
    // What a window not shown yet will cover is read now, before it is:
    // the capture thread may not take a frame in between. (XCB connections
    // may be used from several threads.)
    std::map<quint32, Background> taken;
    for (quint32 id : ids) {
      const xcb_window_t top = topLevel(id);
      if (top == XCB_WINDOW_NONE) continue;
      const Placed p = placed(top);
      const QRect r = p.rect.intersected(area_);
      if (p.viewable || r.isEmpty()) continue;
      xcb_get_image_reply_t* img = xcb_get_image_reply(
          c_,
          xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, int16_t(r.x()), int16_t(r.y()), uint16_t(r.width()),
                        uint16_t(r.height()), ~0u),
          nullptr);
      if (!img) continue;
      const size_t bytes = size_t(r.width()) * size_t(r.height()) * 4;
      if (size_t(xcb_get_image_data_length(img)) >= bytes) {
        Background& bg = taken[id];
        bg.rect = r;
        bg.pixels.assign(xcb_get_image_data(img), xcb_get_image_data(img) + bytes);
      }
      free(img);
    }
    std::lock_guard l(hiddenLock_);
    hiddenIDs_ = std::move(ids);
    for (auto& [id, bg] : taken) backgrounds_[id] = std::move(bg);
  }

  Result<bool> open() {
    std::string why;
    const x11::Connection connection = x11::connect(nullptr, &why);
    if (!connection.conn) return platformError(PlatformErrorCode::failed, QString::fromStdString(why));
    c_ = connection.conn;
    root_ = connection.screen->root;
    auto hasExtension = [&](xcb_extension_t* ext) {
      const xcb_query_extension_reply_t* r = xcb_get_extension_data(c_, ext);
      return r && r->present;
    };
    if (!hasExtension(&xcb_shm_id)) return platformError(PlatformErrorCode::failed, QStringLiteral("the X server has no shared-memory extension"));
    if (!hasExtension(&xcb_xfixes_id) || !hasExtension(&xcb_damage_id))
      return platformError(PlatformErrorCode::failed, QStringLiteral("the X server lacks the XFixes or Damage extension"));
    free(xcb_xfixes_query_version_reply(c_, xcb_xfixes_query_version(c_, 4, 0), nullptr));
    free(xcb_damage_query_version_reply(c_, xcb_damage_query_version(c_, 1, 1), nullptr));
    damageEvent_ = xcb_get_extension_data(c_, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    target_ = root_;
    if (request_.windowID) {
      if (!hasExtension(&xcb_composite_id)) return platformError(PlatformErrorCode::failed, QStringLiteral("the X server has no Composite extension"));
      free(xcb_composite_query_version_reply(c_, xcb_composite_query_version(c_, 0, 4), nullptr));
      target_ = *request_.windowID;
      // Redirected, the window keeps its own pixels even under others.
      xcb_composite_redirect_window(c_, target_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      if (!namePixmap()) return platformError(PlatformErrorCode::windowGone, QStringLiteral("the window is gone"));
    }
    if (!request_.windowID && hasExtension(&xcb_composite_id)) {
      // Every top-level window keeps a picture of its own, so what lies under
      // a window of ours can be put back (automatic: the server still shows
      // them as before).
      free(xcb_composite_query_version_reply(c_, xcb_composite_query_version(c_, 0, 4), nullptr));
      xcb_composite_redirect_subwindows(c_, root_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      canUncover_ = true;
    }
    damage_ = xcb_generate_id(c_);
    xcb_damage_create(c_, damage_, target_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    if (!request_.windowID) {
      // Where the display changed between two frames, taken off the damage
      // into this region at each frame.
      parts_ = xcb_generate_id(c_);
      xcb_xfixes_create_region(c_, parts_, 0, nullptr);
    }
    xcb_flush(c_);
    return true;
  }

  // The shared segment's pages are mapped, on the server's side and on
  // ours, at their first touch: at 4K that is 33 MB, and the first picture
  // took a third of a second on a small virtual machine, twenty ticks at
  // 60 fps. One picture is taken and read through before the first tick:
  // while the countdown runs when the stream is readied, else on the
  // capture thread before its clock starts. What it holds is never used.
  void prime() {
    if (primed_) return;
    primed_ = true;
    if (pixmap_ && !namePixmap()) return;  // the loop says why
    if (grab() != Grab::ok) return;
    const size_t bytes = size_t(area_.width()) * size_t(area_.height()) * 4;
    uint8_t seen = 0;
    for (size_t at = 0; at < bytes; at += 4096) seen ^= shm_.data[at];
    touched_ = seen;  // kept, so the reads are not optimised away
  }

  // Frames from now on, on the stream's own thread.
  void begin(std::function<void(const ScreenFrame&)> onFrame) {
    onFrame_ = std::move(onFrame);
    thread_ = std::thread([this] { run(); });
  }

  // A window's area is its pixmap's, named again at every frame.
  bool readiedFor(const StreamRequest& r, QRect area) const {
    return r == request_ && (r.windowID || area == area_);
  }

 private:
  // The window's current pixmap and size; false when the window is gone.
  bool namePixmap() {
    xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, target_), nullptr);
    if (!g) return false;
    const QSize size(g->width, g->height);
    free(g);
    if (pixmap_ && size == area_.size()) return true;
    if (pixmap_) xcb_free_pixmap(c_, pixmap_);
    pixmap_ = xcb_generate_id(c_);
    xcb_void_cookie_t ck = xcb_composite_name_window_pixmap_checked(c_, target_, pixmap_);
    if (xcb_generic_error_t* e = xcb_request_check(c_, ck)) {
      free(e);
      pixmap_ = 0;
      return false;
    }
    area_ = QRect(QPoint(0, 0), size);
    return true;
  }

  enum class Grab { ok, noMemory, failed };
  // The captured area into the shared segment.
  Grab grab() {
    const size_t bytes = size_t(area_.width()) * size_t(area_.height()) * 4;
    if (bytes > shm_.size && !shm_.make(c_, bytes)) return Grab::noMemory;
    const xcb_drawable_t drawable = pixmap_ ? pixmap_ : root_;
    xcb_shm_get_image_reply_t* img = xcb_shm_get_image_reply(
        c_,
        xcb_shm_get_image(c_, drawable, int16_t(area_.x()), int16_t(area_.y()), uint16_t(area_.width()),
                          uint16_t(area_.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm_.seg, 0),
        nullptr);
    if (!img) return Grab::failed;
    free(img);
    return Grab::ok;
  }

  void run() {
    using clock = std::chrono::steady_clock;
    intervalNs_ = int64_t(request_.frameInterval * 1e9);
    prime();
    auto next = clock::now();
    int64_t lastDelivered = 0;
    int lastX = -1, lastY = -1;
    uint32_t lastSerial = 0;
    bool first = true;
    // Where the display changed since the frame before (a window's pixmap
    // says nothing of where it changed). Unknown for the first frame and
    // after a tick whose damage was taken but no frame given.
    bool changesUnknown = true;
    QRegion changed;
    std::vector<QRect> damaged;
    QRect lastCursor;
    while (!stop_) {
      const auto interval = std::chrono::nanoseconds(intervalNs_.load());
      next += interval;
      const auto now = clock::now();
      if (next < now - interval) {  // fell behind: do not race to catch up
        missed_ += int((now - next) / interval);
        next = now;
      }
      std::this_thread::sleep_until(next);
      bool dirty = first;
      while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) {
        if ((ev->response_type & 0x7f) == damageEvent_) dirty = true;
        free(ev);
      }
      if (xcb_connection_has_error(c_)) {
        logLine(QStringLiteral("Nimbo: the X server connection for recording was lost; no more frames"));
        break;
      }
      xcb_xfixes_get_cursor_image_reply_t* cur =
          request_.showsCursor ? xcb_xfixes_get_cursor_image_reply(c_, xcb_xfixes_get_cursor_image(c_), nullptr)
                               : nullptr;
      if (cur && (cur->x != lastX || cur->y != lastY || cur->cursor_serial != lastSerial)) {
        dirty = true;
        lastX = cur->x, lastY = cur->y, lastSerial = cur->cursor_serial;
      }
      const int64_t t = monotonicNs();
      // Nothing changed: an idle frame, except for one a second so a crash
      // never loses more than that.
      if (!dirty && t - lastDelivered < 1000000000LL) {
        ++idle_;
        free(cur);
        continue;
      }
      damaged.clear();
      if (dirty) {
        xcb_damage_subtract(c_, damage_, XCB_NONE, parts_);
        if (parts_ && !fetchRegion(parts_, damaged)) changesUnknown = true;
      }
      if (pixmap_ && !namePixmap()) {
        free(cur);
        if (!goneLogged_) logLine("Nimbo: the recorded window is gone; its last picture stays");
        goneLogged_ = true;
        continue;
      }
      const int64_t pts = monotonicNs();
      const Grab grabbed = grab();
      if (grabbed == Grab::noMemory) {
        free(cur);
        logLine("Nimbo: no shared memory for recording frames");
        break;
      }
      if (grabbed == Grab::failed) {
        free(cur);
        changesUnknown = true;
        continue;
      }
      std::vector<QRect> pasted;
      if (!pixmap_) pasted = uncoverHiddenWindows();
      QRect cursor;
      if (cur) {
        int ox = area_.x(), oy = area_.y();
        if (pixmap_) {
          xcb_translate_coordinates_reply_t* tr =
              xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, target_, root_, 0, 0), nullptr);
          if (tr) ox = tr->dst_x, oy = tr->dst_y;
          free(tr);
        }
        drawCursor(shm_.data, area_.width(), area_.height(), area_.width() * 4, cur, ox, oy);
        cursor = QRect(cur->x - cur->xhot - ox, cur->y - cur->yhot - oy, cur->width, cur->height);
      }
      free(cur);
      first = false;
      lastDelivered = t;
      ScreenFrame frame{shm_.data, area_.width(), area_.height(), area_.width() * 4, pts};
      if (parts_ && !changesUnknown) {
        // What the server drew, our windows' stand-ins, and the pointer
        // where it was and where it is.
        changed = QRegion();
        for (const std::vector<QRect>* rects : {&damaged, &pasted})
          for (const QRect& r : *rects) changed += r.intersected(area_).translated(-area_.topLeft());
        changed += lastCursor;
        changed += cursor;
        changed &= QRect(QPoint(0, 0), area_.size());
        frame.changed = &changed;
      }
      changesUnknown = false;
      lastCursor = cursor;
      onFrame_(frame);
    }
  }

  // A top-level window's rectangle on the root, and whether it is shown.
  struct Placed {
    QRect rect;
    bool viewable = false;
    int depth = 24;
  };
  Placed placed(xcb_window_t w) {
    Placed p;
    xcb_get_window_attributes_reply_t* a = xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr);
    p.viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    free(a);
    xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr);
    if (g) p.rect = QRect(g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width);
    if (g) p.depth = g->depth;
    free(g);
    return p;
  }

  // The root's child that holds `w` (its window manager frame, or itself).
  xcb_window_t topLevel(xcb_window_t w) {
    for (int depth = 0; depth < 8; ++depth) {
      xcb_query_tree_reply_t* t = xcb_query_tree_reply(c_, xcb_query_tree(c_, w), nullptr);
      if (!t) return XCB_WINDOW_NONE;
      const xcb_window_t parent = t->parent;
      free(t);
      if (parent == root_ || parent == XCB_WINDOW_NONE) return w;
      w = parent;
    }
    return XCB_WINDOW_NONE;
  }

  // Copies `r` (root coordinates, inside the captured area) of `drawable`,
  // whose origin is at `origin` on the root, into the frame.
  void paste(xcb_drawable_t drawable, QPoint origin, const QRect& r, bool alpha) {
    xcb_get_image_reply_t* img = xcb_get_image_reply(
        c_,
        xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, int16_t(r.x() - origin.x()), int16_t(r.y() - origin.y()),
                      uint16_t(r.width()), uint16_t(r.height()), ~0u),
        nullptr);
    if (!img) return;
    const uint8_t* src = xcb_get_image_data(img);
    const int len = xcb_get_image_data_length(img);
    const int stride = r.width() * 4;
    if (len >= stride * r.height())
      for (int y = 0; y < r.height(); ++y) {
        uint8_t* dst = shm_.data + size_t(r.y() - area_.y() + y) * size_t(area_.width()) * 4 + size_t(r.x() - area_.x()) * 4;
        const uint8_t* row = src + size_t(y) * size_t(stride);
        if (!alpha) {
          std::memcpy(dst, row, size_t(stride));
          continue;
        }
        // A window with an alpha channel (shadows, rounded corners) goes
        // over what is below it; its pixels are premultiplied.
        for (int x = 0; x < r.width(); ++x) {
          const uint8_t* p = row + x * 4;
          uint8_t* q = dst + x * 4;
          const int keep = 255 - p[3];
          for (int ch = 0; ch < 3; ++ch) q[ch] = uint8_t(std::min(255, p[ch] + (q[ch] * keep + 127) / 255));
        }
      }
    free(img);
  }

  // The rectangles of a region.
  bool fetchRegion(xcb_xfixes_region_t region, std::vector<QRect>& out) {
    xcb_xfixes_fetch_region_reply_t* r =
        xcb_xfixes_fetch_region_reply(c_, xcb_xfixes_fetch_region(c_, region), nullptr);
    if (!r) return false;
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(r);
    for (int i = 0, n = xcb_xfixes_fetch_region_rectangles_length(r); i < n; ++i)
      out.emplace_back(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
    free(r);
    return true;
  }

  // Puts back, where a hidden window of ours is, the windows under it, over
  // what was there before it was shown. Returns where it wrote.
  std::vector<QRect> uncoverHiddenWindows() {
    std::vector<QRect> wrote;
    std::vector<quint32> ids;
    std::map<quint32, Background> known;
    {
      std::lock_guard l(hiddenLock_);
      ids = hiddenIDs_;
      known = backgrounds_;
    }
    for (quint32 id : ids) {
      // Once shown, a window keeps the frame the window manager gave it; it
      // is looked up again only when that frame goes.
      auto cached = tops_.find(id);
      xcb_window_t top = cached != tops_.end() ? cached->second : topLevel(id);
      if (top == XCB_WINDOW_NONE) continue;
      Placed ours = placed(top);
      if (cached != tops_.end() && !ours.viewable) {
        tops_.erase(cached);
        top = topLevel(id);
        if (top == XCB_WINDOW_NONE) continue;
        ours = placed(top);
      }
      if (ours.viewable) tops_[id] = top;
      const QRect r = ours.rect.intersected(area_);
      if (r.isEmpty()) continue;
      Background& bg = known[id];
      if (!ours.viewable) {
        // Not shown yet: this is what it will cover.
        bg.rect = r;
        bg.pixels.resize(size_t(r.width()) * size_t(r.height()) * 4);
        for (int y = 0; y < r.height(); ++y)
          std::memcpy(bg.pixels.data() + size_t(y) * size_t(r.width()) * 4,
                      shm_.data + size_t(r.y() - area_.y() + y) * size_t(area_.width()) * 4 + size_t(r.x() - area_.x()) * 4,
                      size_t(r.width()) * 4);
        std::lock_guard l(hiddenLock_);
        backgrounds_[id] = bg;
        continue;
      }
      wrote.push_back(r);
      // What was there before, where it still fits.
      const QRect before = bg.rect.intersected(r);
      for (int y = 0; y < before.height(); ++y)
        std::memcpy(shm_.data + size_t(before.y() - area_.y() + y) * size_t(area_.width()) * 4 +
                        size_t(before.x() - area_.x()) * 4,
                    bg.pixels.data() + (size_t(before.y() - bg.rect.y() + y) * size_t(bg.rect.width()) +
                                        size_t(before.x() - bg.rect.x())) * 4,
                    size_t(before.width()) * 4);
      if (!canUncover_) continue;
      // Then every window under ours, bottom to top, from its own picture.
      xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr);
      if (!tree) continue;
      const xcb_window_t* children = xcb_query_tree_children(tree);
      int count = 0;
      while (count < xcb_query_tree_children_length(tree) && children[count] != top) ++count;
      // Asked all at once and answered in one round trip: there may be
      // dozens of windows, and this runs for every frame.
      std::vector<xcb_get_window_attributes_cookie_t> attrs(static_cast<size_t>(count));
      std::vector<xcb_get_geometry_cookie_t> geoms(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) {
        attrs[size_t(i)] = xcb_get_window_attributes(c_, children[i]);
        geoms[size_t(i)] = xcb_get_geometry(c_, children[i]);
      }
      std::vector<Placed> under(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) {
        xcb_get_window_attributes_reply_t* a = xcb_get_window_attributes_reply(c_, attrs[size_t(i)], nullptr);
        xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c_, geoms[size_t(i)], nullptr);
        under[size_t(i)].viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        if (g) under[size_t(i)].rect = QRect(g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width);
        if (g) under[size_t(i)].depth = g->depth;
        free(a);
        free(g);
      }
      for (int i = 0; i < count; ++i) {
        const Placed& below = under[size_t(i)];
        const QRect overlap = below.rect.intersected(r);
        if (!below.viewable || overlap.isEmpty()) continue;
        const xcb_pixmap_t pm = xcb_generate_id(c_);
        xcb_void_cookie_t ck = xcb_composite_name_window_pixmap_checked(c_, children[i], pm);
        if (xcb_generic_error_t* e = xcb_request_check(c_, ck)) {
          free(e);
          continue;
        }
        paste(pm, below.rect.topLeft(), overlap, below.depth == 32);
        xcb_free_pixmap(c_, pm);
      }
      free(tree);
    }
    return wrote;
  }

  struct Background {
    QRect rect;
    std::vector<uint8_t> pixels;
  };
  std::map<quint32, Background> backgrounds_;
  std::map<quint32, xcb_window_t> tops_;  // capture thread only
  std::mutex hiddenLock_;
  std::vector<quint32> hiddenIDs_;
  bool canUncover_ = false;

  StreamRequest request_;
  QRect area_;
  std::function<void(const ScreenFrame&)> onFrame_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = 0, target_ = 0;
  xcb_pixmap_t pixmap_ = 0;
  xcb_damage_damage_t damage_ = 0;
  xcb_xfixes_region_t parts_ = XCB_NONE;  // the display's changes (not a window's)
  uint8_t damageEvent_ = 0;
  ShmBuffer shm_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> idle_{0}, missed_{0};
  bool primed_ = false;
  uint8_t touched_ = 0;
  std::atomic<int64_t> intervalNs_{16666667};
  bool goneLogged_ = false;
};

}  // namespace

X11ScreenStreams::X11ScreenStreams(std::shared_ptr<x11::Grabber> grabber) : grabber_(std::move(grabber)) {}

std::optional<QRect> X11ScreenStreams::displayPixels(quint32 displayID) {
  for (const x11::Monitor& m : grabber_->monitors())
    if (m.id == displayID) return QRect(m.x, m.y, m.width, m.height);
  return std::nullopt;
}

std::optional<QSize> X11ScreenStreams::windowPixels(quint32 windowID) {
  xcb_connection_t* c = grabber_->connection();
  xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, windowID), nullptr);
  if (!g) return std::nullopt;
  const QSize s(g->width, g->height);
  free(g);
  return s;
}

namespace {
QByteArray property(xcb_connection_t* c, xcb_window_t w, const char* name, xcb_atom_t type) {
  return QByteArray::fromStdString(x11::propertyBytes(c, w, name, type));
}
using x11::atom;

// _NET_WM_ICON: one or more images, each width, height and ARGB pixels; the
// smallest that is at least 16 x 16 (else the largest).
QImage windowIcon(xcb_connection_t* c, xcb_window_t w) {
  const std::vector<uint32_t> data = x11::cardinals(c, w, "_NET_WM_ICON", XCB_ATOM_CARDINAL);
  size_t best = SIZE_MAX;
  uint32_t bestSide = 0;
  for (size_t at = 0; at + 2 <= data.size();) {
    const uint32_t width = data[at], height = data[at + 1];
    if (width == 0 || height == 0 || width > 1024 || height > 1024 || at + 2 + size_t(width) * height > data.size())
      break;
    const uint32_t side = std::min(width, height);
    const bool better = best == SIZE_MAX || (side >= 16 && (bestSide < 16 || side < bestSide)) ||
                        (bestSide < 16 && side > bestSide);
    if (better) best = at, bestSide = side;
    at += 2 + size_t(width) * height;
  }
  if (best == SIZE_MAX) return {};
  const int width = int(data[best]), height = int(data[best + 1]);
  QImage img(width, height, QImage::Format_ARGB32);
  for (int y = 0; y < height; ++y)
    std::memcpy(img.scanLine(y), data.data() + best + 2 + size_t(y) * width, size_t(width) * 4);
  return img.scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}
}  // namespace

std::vector<ScreenStreamService::WindowInfo> X11ScreenStreams::windows() {
  xcb_connection_t* c = grabber_->connection();
  const QByteArray list = property(c, grabber_->root(), "_NET_CLIENT_LIST_STACKING", XCB_ATOM_WINDOW);
  const auto* ids = reinterpret_cast<const uint32_t*>(list.constData());
  std::vector<WindowInfo> out;
  const uint32_t self = uint32_t(getpid());
  const xcb_atom_t normal = atom(c, "_NET_WM_WINDOW_TYPE_NORMAL"), dialog = atom(c, "_NET_WM_WINDOW_TYPE_DIALOG");
  const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
  const std::vector<uint32_t> current = x11::cardinals(c, grabber_->root(), "_NET_CURRENT_DESKTOP", XCB_ATOM_CARDINAL);
  for (int i = int(list.size() / 4) - 1; i >= 0; --i) {  // the stacking list is bottom to top
    const QByteArray pid = property(c, ids[i], "_NET_WM_PID", XCB_ATOM_CARDINAL);
    if (pid.size() >= 4 && *reinterpret_cast<const uint32_t*>(pid.constData()) == self) continue;
    // Ordinary windows only: no panels, docks, desktops or menus, nothing
    // smaller than 60 × 60.
    const QByteArray types = property(c, ids[i], "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM);
    bool ordinary = types.isEmpty();
    for (int t = 0; t + 4 <= types.size(); t += 4) {
      const uint32_t a = *reinterpret_cast<const uint32_t*>(types.constData() + t);
      ordinary = ordinary || a == normal || a == dialog;
    }
    const std::optional<QSize> size = windowPixels(ids[i]);
    if (!ordinary || !size || size->width() < 60 || size->height() < 60) continue;
    // Shown, and on the desktop in view (or on all of them).
    xcb_get_window_attributes_reply_t* attrs =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, ids[i]), nullptr);
    const bool viewable = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    free(attrs);
    if (!viewable) continue;
    const std::vector<uint32_t> desktop = x11::cardinals(c, ids[i], "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL);
    if (!current.empty() && !desktop.empty() && desktop[0] != 0xFFFFFFFFu && desktop[0] != current[0]) continue;
    WindowInfo w;
    w.id = ids[i];
    xcb_translate_coordinates_reply_t* at =
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, ids[i], grabber_->root(), 0, 0), nullptr);
    if (at) w.frame = QRect(at->dst_x, at->dst_y, size->width(), size->height());
    free(at);
    w.title = QString::fromUtf8(property(c, ids[i], "_NET_WM_NAME", utf8)).trimmed();
    if (w.title.isEmpty()) w.title = QString::fromLatin1(property(c, ids[i], "WM_NAME", XCB_ATOM_STRING)).trimmed();
    // WM_CLASS holds the instance and the class name, each ending in NUL;
    // the application's installed name is preferred.
    const QList<QByteArray> cls = property(c, ids[i], "WM_CLASS", XCB_ATOM_STRING).split('\0');
    w.application = DesktopEntries::nameForWindowClass(QString::fromUtf8(cls.value(0)), QString::fromUtf8(cls.value(1)));
    if (w.application.isEmpty()) w.application = QString::fromUtf8(cls.value(1).isEmpty() ? cls.value(0) : cls.value(1));
    if (w.application.isEmpty()) w.application = QStringLiteral("Unknown");
    w.icon = windowIcon(c, ids[i]);
    out.push_back(w);
  }
  return out;
}

namespace {
// A stream opened and primed during the countdown, its thread not started.
struct X11Readied : ScreenStreamService::Readied {
  std::unique_ptr<X11Stream> stream;
};
}  // namespace

// The root area a request captures (empty for a window: its pixmap's).
Result<QRect> X11ScreenStreams::areaFor(const StreamRequest& request) {
  if (request.windowID) return QRect();
  const std::optional<QRect> display = request.displayID ? displayPixels(*request.displayID) : std::nullopt;
  if (!display) return platformError(PlatformErrorCode::noDisplay, QStringLiteral("no such display"));
  return request.source.isEmpty() ? *display : request.source.translated(display->topLeft()).intersected(*display);
}

std::unique_ptr<ScreenStreamService::Readied> X11ScreenStreams::ready(const StreamRequest& request) {
  const Result<QRect> area = areaFor(request);
  if (!area.ok()) return nullptr;
  auto stream = std::make_unique<X11Stream>(request, area.value());
  if (!stream->open().ok()) return nullptr;
  stream->prime();
  auto readied = std::make_unique<X11Readied>();
  readied->stream = std::move(stream);
  return readied;
}

Result<std::unique_ptr<ScreenStream>> X11ScreenStreams::start(const StreamRequest& request,
                                                              std::function<void(const ScreenFrame&)> onFrame,
                                                              std::unique_ptr<Readied> readied) {
  const Result<QRect> area = areaFor(request);
  if (!area.ok()) return area.error();
  std::unique_ptr<X11Stream> stream;
  // What was readied is used while the display still has the same pixels
  // where it was; a window's size is checked at every frame anyway.
  if (auto* made = dynamic_cast<X11Readied*>(readied.get()); made && made->stream->readiedFor(request, area.value()))
    stream = std::move(made->stream);
  readied.reset();  // one that no longer fits: closing it takes a few milliseconds
  if (!stream) {
    stream = std::make_unique<X11Stream>(request, area.value());
    Result<bool> opened = stream->open();
    if (!opened.ok()) return opened.error();
  }
  stream->begin(std::move(onFrame));
  return std::unique_ptr<ScreenStream>(std::move(stream));
}

}  // namespace nimbo
