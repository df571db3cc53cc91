#include "app/one_shot.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/png_writer.h"
#include "platform/linux/x11/x11_grabber.h"

namespace nimbo {
namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "nimbo screenshot: %s\n", message.c_str());
  return 1;
}

bool parseRegion(const char* s, int* x, int* y, int* w, int* h) {
  char tail = 0;
  return std::sscanf(s, "%d,%d,%d,%d%c", x, y, w, h, &tail) == 4 && *w > 0 && *h > 0;
}

}  // namespace

int runOneShot(int argc, char** argv) {
  const char* screen = nullptr;
  const char* region = nullptr;
  const char* output = nullptr;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&](const char* what) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)what;
      return argv[++i];
    };
    if (a == "--screen") screen = next("--screen");
    else if (a == "--region") region = next("--region");
    else if (a == "-o" || a == "--output") output = next("-o");
    else return fail("unknown argument '" + a + "' (see nimbo --help)");
  }
  if (!output) return fail("missing -o FILE.png");
  if (screen && region) return fail("--screen and --region cannot be combined");

  std::string error;
  auto grabber = x11::Grabber::open(nullptr, &error);
  if (!grabber) return fail(error + " (is DISPLAY set?)");

  int x = 0, y = 0, w = grabber->rootWidth(), h = grabber->rootHeight();
  if (screen) {
    bool found = false;
    std::string names;
    for (const x11::Monitor& m : grabber->monitors()) {
      names += (names.empty() ? "" : ", ") + m.name;
      if (m.name == screen) {
        x = m.x, y = m.y, w = m.width, h = m.height;
        found = true;
      }
    }
    if (!found) return fail(std::string("no screen named '") + screen + "' (screens: " + names + ")");
  } else if (region) {
    if (!parseRegion(region, &x, &y, &w, &h)) return fail("--region wants X,Y,W,H with W and H above 0");
    // Clip to the root window like every other grab of the screen.
    const int x1 = std::min(x + w, grabber->rootWidth()), y1 = std::min(y + h, grabber->rootHeight());
    x = std::max(x, 0), y = std::max(y, 0);
    w = x1 - x, h = y1 - y;
    if (w <= 0 || h <= 0) return fail("the region lies outside the screen");
  }

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
    grabbed = grabber->fill(*frame, x, y, row, rows, &error);
    rowsReady.store(grabbed ? row + rows : h, std::memory_order_release);
    rowsReady.notify_all();
  }
  encoder.join();
  grabber->end(*frame);
  if (!grabbed) return fail(error);
  if (png.empty()) return fail("PNG encoding failed");

  FILE* f = std::strcmp(output, "-") == 0 ? stdout : std::fopen(output, "wb");
  if (!f) return fail(std::string("cannot write ") + output + ": " + std::strerror(errno));
  const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  const bool closed = f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0;
  if (!ok || !closed) return fail(std::string("cannot write ") + output + ": " + std::strerror(errno));
  return 0;
}

}  // namespace nimbo
