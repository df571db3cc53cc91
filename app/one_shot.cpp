#include "app/one_shot.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "capture/png_writer.h"
#include "platform/linux/x11/x11_grabber.h"

namespace nimbo {

int runOneShot(int argc, char** argv) {
  using namespace one_shot;
  Request request;
  if (std::string e = parse(argc, argv, &request); !e.empty()) return fail(e);

  std::string error;
  auto grabber = x11::Grabber::open(nullptr, &error);
  if (!grabber) return fail(error + " (is DISPLAY set?)");
  std::vector<Monitor> monitors;
  for (const x11::Monitor& m : grabber->monitors()) monitors.push_back({m.name, {m.x, m.y, m.width, m.height}});
  Area a;
  if (std::string e = resolve(request, grabber->rootWidth(), grabber->rootHeight(), monitors, &a); !e.empty())
    return fail(e);
  const int w = a.width, h = a.height;

  auto frame = grabber->begin(w, h, &error);
  if (!frame) return fail(error);
  // The encoder starts on the first rows while the server copies the rest.
  std::atomic<int> rowsReady{0};
  std::vector<uint8_t> png;
  std::thread encoder([&] {
    png = png::encode(frame->data(), w, h, frame->stride(), /*opaque=*/true, png::Options{}, &rowsReady);
  });
  const int band = std::max(16, h / 16);
  bool grabbed = true;
  for (int row = 0; row < h && grabbed; row += band) {
    const int rows = std::min(band, h - row);
    grabbed = grabber->fill(*frame, a.x, a.y, row, rows, &error);
    rowsReady.store(grabbed ? row + rows : h, std::memory_order_release);
    rowsReady.notify_all();
  }
  encoder.join();
  grabber->end(*frame);
  if (!grabbed) return fail(error);
  return write(request.output, png);
}

}  // namespace nimbo
