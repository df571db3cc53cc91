#include "platform/linux/x11/x11_screen_capture.h"

#include "platform/linux/freedesktop/desktop_services.h"

#include <xcb/xcb.h>

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/linux/x11/x11_grabber.h"
#include "platform/linux/x11/x11_properties.h"

namespace nimbo {
namespace {

using x11::atom;
using x11::cardinals;

}  // namespace

X11ScreenCapture::X11ScreenCapture(std::shared_ptr<x11::Grabber> grabber)
    : grabber_(std::move(grabber)) {}

// X11 has no per-application grant: every client may read the screen.
bool X11ScreenCapture::preflightAccess() { return true; }

Result<ShareableContent> X11ScreenCapture::shareableContent() {
  ShareableContent content;
  for (const x11::Monitor& m : grabber_->monitors())
    content.displays.push_back({m.id, QRect(m.x, m.y, m.width, m.height)});
  for (uint32_t w : cardinals(grabber_->connection(), grabber_->root(),
                              "_NET_CLIENT_LIST_STACKING", XCB_ATOM_WINDOW))
    content.windows.push_back({w});
  return content;
}

Result<QImage> X11ScreenCapture::captureDisplay(const CapturableDisplay& display, QSize pixelSize,
                                                const std::vector<quint32>& excludedWindows) {
  // Without a compositor a root grab holds what is on screen, so windows to
  // leave out cannot be taken away here; screenshots never ask for it.
  Q_UNUSED(excludedWindows);
  const QRect r = display.pixelRect;
  std::string error;
  std::unique_ptr<x11::Frame> frame = grabber_->grab(r.x(), r.y(), r.width(), r.height(), &error);
  if (!frame) return Error{QString::fromStdString(error)};
  x11::Frame* f = frame.release();
  // The image borrows the grab's memory and frees it with the last copy.
  QImage image(f->data(), f->width(), f->height(), f->stride(), QImage::Format_RGB32,
               [](void* p) { delete static_cast<x11::Frame*>(p); }, f);
  if (pixelSize.isValid() && pixelSize != image.size())
    return image.scaled(pixelSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  return image;
}

std::optional<quint32> X11ScreenCapture::displayIdForName(const QString& name) {
  const std::string n = name.toStdString();
  for (const x11::Monitor& m : grabber_->monitors())
    if (m.name == n) return m.id;
  return std::nullopt;
}

X11Workspace::X11Workspace(std::shared_ptr<x11::Grabber> connection) : x_(std::move(connection)) {}

std::optional<quint64> X11Workspace::frontmostWindow() {
  const auto v = cardinals(x_->connection(), x_->root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW);
  if (v.empty() || v[0] == 0) return std::nullopt;
  return v[0];
}

bool X11Workspace::isOwnWindow(quint64 window) {
  const auto pid = cardinals(x_->connection(), xcb_window_t(window), "_NET_WM_PID", XCB_ATOM_CARDINAL);
  return !pid.empty() && pid[0] == uint32_t(getpid());
}

bool X11Workspace::windowExists(quint64 window) {
  xcb_connection_t* c = x_->connection();
  xcb_get_window_attributes_reply_t* r =
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, xcb_window_t(window)), nullptr);
  const bool exists = r != nullptr;
  std::free(r);
  return exists;
}

bool X11Workspace::compositingActive() {
  // A compositing manager owns the _NET_WM_CM_Sn selection of its screen.
  xcb_connection_t* c = x_->connection();
  const std::string name = "_NET_WM_CM_S" + std::to_string(x_->screenNumber());
  const xcb_atom_t selection = x11::atom(c, name.c_str());
  if (selection == XCB_ATOM_NONE) return false;
  xcb_get_selection_owner_reply_t* r =
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
  const bool owned = r && r->owner != XCB_WINDOW_NONE;
  std::free(r);
  return owned;
}

void X11Workspace::activate(quint64 window) {
  // Source 2: a pager/tool asks on the user's behalf, which window managers
  // honour without focus-stealing checks.
  sendToWindowManager(window, "_NET_ACTIVE_WINDOW", {2, XCB_CURRENT_TIME, 0, 0, 0});
}

void X11Workspace::setTaskbarPresence(quint64 window, bool shown) {
  // Remove (0) or add (1) the skip-taskbar state; source 1: an application.
  sendToWindowManager(window, "_NET_WM_STATE",
                      {shown ? 0u : 1u, atom(x_->connection(), "_NET_WM_STATE_SKIP_TASKBAR"), 0, 1, 0});
}

void X11Workspace::sendToWindowManager(quint64 window, const char* type, std::array<uint32_t, 5> data) {
  // EWMH requests are client messages to the root window; the window
  // manager acts on them.
  xcb_connection_t* c = x_->connection();
  xcb_client_message_event_t ev{};
  ev.response_type = XCB_CLIENT_MESSAGE;
  ev.format = 32;
  ev.window = xcb_window_t(window);
  ev.type = atom(c, type);
  for (size_t i = 0; i < data.size(); ++i) ev.data.data32[i] = data[i];
  xcb_send_event(c, 0, x_->root(),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&ev));
  xcb_flush(c);
}

}  // namespace nimbo
