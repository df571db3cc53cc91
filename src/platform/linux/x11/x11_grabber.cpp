#include "platform/linux/x11/x11_grabber.h"

#include "platform/linux/x11/x11_connection.h"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace nimbo::x11 {

namespace {
#ifdef MADV_POPULATE_READ
constexpr int kPopulateRead = MADV_POPULATE_READ;
#else
constexpr int kPopulateRead = 22;  // Linux 5.14; older kernels refuse it, which costs nothing
#endif
}  // namespace

Frame::Frame(uint8_t* data, int width, int height, int stride, int shmId)
    : data_(data), width_(width), height_(height), stride_(stride), shmId_(shmId) {}

Frame::~Frame() {
  if (shmId_ >= 0) shmdt(data_);
  else std::free(data_);
}

std::unique_ptr<Grabber> Grabber::open(const char* display, std::string* error) {
  const Connection c = connect(display, error);
  if (!c.conn) return nullptr;
  xcb_connection_t* conn = c.conn;
  std::unique_ptr<Grabber> g(new Grabber);
  g->conn_ = conn;
  g->root_ = c.screen->root;
  g->screenNumber_ = c.screenNumber;
  g->rootWidth_ = c.screen->width_in_pixels;
  g->rootHeight_ = c.screen->height_in_pixels;
  g->depth_ = c.screen->root_depth;

  xcb_shm_query_version_reply_t* shm =
      xcb_shm_query_version_reply(conn, xcb_shm_query_version(conn), nullptr);
  g->shm_ = shm != nullptr;
  std::free(shm);
  // Only the 24/32-bit layouts that every current server uses are handled.
  if (g->depth_ != 24 && g->depth_ != 32) {
    if (error) *error = "unsupported X screen depth " + std::to_string(g->depth_);
    return nullptr;
  }
  return g;
}

Grabber::~Grabber() {
  if (conn_) xcb_disconnect(conn_);
}

std::vector<Monitor> Grabber::monitors() {
  std::vector<Monitor> out;
  xcb_randr_get_monitors_reply_t* reply =
      xcb_randr_get_monitors_reply(conn_, xcb_randr_get_monitors(conn_, root_, 1), nullptr);
  if (reply) {
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem;
         xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t* m = it.data;
      Monitor mon;
      mon.x = m->x;
      mon.y = m->y;
      mon.width = m->width;
      mon.height = m->height;
      mon.primary = m->primary;
      const int n = xcb_randr_monitor_info_outputs_length(m);
      mon.id = n > 0 ? xcb_randr_monitor_info_outputs(m)[0] : m->name;
      xcb_get_atom_name_reply_t* name =
          xcb_get_atom_name_reply(conn_, xcb_get_atom_name(conn_, m->name), nullptr);
      if (name) {
        mon.name.assign(xcb_get_atom_name_name(name), xcb_get_atom_name_name_length(name));
        std::free(name);
      }
      out.push_back(std::move(mon));
    }
    std::free(reply);
  }
  if (out.empty()) {
    // A server without RandR 1.5 still has its root window.
    Monitor whole;
    whole.id = root_;
    whole.name = "screen";
    whole.width = rootWidth_;
    whole.height = rootHeight_;
    whole.primary = true;
    out.push_back(whole);
  }
  return out;
}

std::unique_ptr<Frame> Grabber::grab(int x, int y, int w, int h, std::string* error) {
  std::unique_ptr<Frame> frame = begin(w, h, error);
  if (!frame) return nullptr;
  const bool ok = fill(*frame, x, y, 0, h, error);
  end(*frame);
  return ok ? std::move(frame) : nullptr;
}

std::unique_ptr<Frame> Grabber::begin(int w, int h, std::string* error) {
  if (w <= 0 || h <= 0) {
    if (error) *error = "empty grab rectangle";
    return nullptr;
  }
  const size_t stride = size_t(w) * 4;
  const size_t size = stride * size_t(h);
  auto heap = [&]() -> std::unique_ptr<Frame> {
    auto* data = static_cast<uint8_t*>(std::malloc(size));
    if (!data) {
      if (error) *error = "out of memory";
      return nullptr;
    }
    return std::make_unique<Frame>(data, w, h, int(stride), -1);
  };
  if (!shm_) return heap();
  const int shmId = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmId < 0) return heap();
  auto* data = static_cast<uint8_t*>(shmat(shmId, nullptr, 0));
  // Marked for removal at once: it disappears when both sides detach, even if
  // this process dies mid-grab.
  shmctl(shmId, IPC_RMID, nullptr);
  if (data == reinterpret_cast<uint8_t*>(-1)) return heap();
  auto frame = std::make_unique<Frame>(data, w, h, int(stride), shmId);
  const xcb_shm_seg_t seg = xcb_generate_id(conn_);
  xcb_void_cookie_t attach = xcb_shm_attach_checked(conn_, seg, shmId, 0);
  if (xcb_generic_error_t* e = xcb_request_check(conn_, attach)) {
    // A remote display cannot share memory with us.
    std::free(e);
    return heap();
  }
  frame->seg_ = seg;
  return frame;
}

bool Grabber::fill(Frame& f, int x, int y, int firstRow, int rows, std::string* error) {
  if (f.shmId_ < 0) {
    auto part = grabWithoutShm(x, y + firstRow, f.width(), rows, error);
    if (!part) return false;
    std::memcpy(f.data() + size_t(firstRow) * f.stride(), part->data(), size_t(rows) * f.stride());
    return true;
  }
  xcb_generic_error_t* err = nullptr;
  xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(
      conn_,
      xcb_shm_get_image(conn_, root_, int16_t(x), int16_t(y + firstRow), uint16_t(f.width()),
                        uint16_t(rows), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, f.seg_,
                        uint32_t(size_t(firstRow) * f.stride())),
      &err);
  if (!reply) {
    if (error) *error = "the X server refused the grab (error " +
                        std::to_string(err ? err->error_code : 0) + ")";
    std::free(err);
    return false;
  }
  std::free(reply);
  // Map the rows the server just wrote into this process's page tables in
  // one call, from the thread that waits on the server anyway: otherwise the
  // encoder's threads take a fault for every page they read.
  const uintptr_t from = reinterpret_cast<uintptr_t>(f.data() + size_t(firstRow) * f.stride()) & ~uintptr_t(4095);
  const uintptr_t to = reinterpret_cast<uintptr_t>(f.data() + size_t(firstRow + rows) * f.stride());
  madvise(reinterpret_cast<void*>(from), to - from, kPopulateRead);
  return true;
}

void Grabber::end(Frame& f) {
  if (!f.seg_) return;
  xcb_shm_detach(conn_, f.seg_);
  xcb_flush(conn_);
  f.seg_ = 0;
}

std::unique_ptr<Frame> Grabber::grabWithoutShm(int x, int y, int w, int h, std::string* error) {
  xcb_generic_error_t* err = nullptr;
  xcb_get_image_reply_t* reply = xcb_get_image_reply(
      conn_,
      xcb_get_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, int16_t(x), int16_t(y),
                    uint16_t(w), uint16_t(h), ~0u),
      &err);
  if (!reply) {
    if (error) *error = "the X server refused the grab";
    std::free(err);
    return nullptr;
  }
  const size_t stride = size_t(w) * 4;
  auto* data = static_cast<uint8_t*>(std::malloc(stride * size_t(h)));
  const int len = xcb_get_image_data_length(reply);
  std::memcpy(data, xcb_get_image_data(reply), std::min<size_t>(size_t(len), stride * size_t(h)));
  std::free(reply);
  return std::make_unique<Frame>(data, w, h, int(stride), -1);
}

}  // namespace nimbo::x11
