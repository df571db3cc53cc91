#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/one_shot.h"

namespace nimbo::one_shot {
namespace {

bool parseRegion(const char* s, Area* a) {
  char tail = 0;
  return std::sscanf(s, "%d,%d,%d,%d%c", &a->x, &a->y, &a->width, &a->height, &tail) == 4 && a->width > 0 &&
         a->height > 0;
}

}  // namespace

int fail(const std::string& message) {
  std::fprintf(stderr, "nimbo screenshot: %s\n", message.c_str());
  return 1;
}

std::string parse(int argc, char** argv, Request* r) {
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--screen") r->screen = value, ++i;
    else if (a == "--region") r->region = value, ++i;
    else if (a == "-o" || a == "--output") r->output = value, ++i;
    else return "unknown argument '" + a + "' (see nimbo --help)";
  }
  if (!r->output) return "missing -o FILE.png";
  if (r->screen && r->region) return "--screen and --region cannot be combined";
  if (r->region) {
    Area probe;
    if (!parseRegion(r->region, &probe)) return "--region wants X,Y,W,H with W and H above 0";
  }
  return {};
}

std::string resolve(const Request& r, int width, int height, const std::vector<Monitor>& monitors, Area* area) {
  *area = Area{0, 0, width, height};
  if (r.screen) {
    std::string names;
    for (const Monitor& m : monitors) {
      names += (names.empty() ? "" : ", ") + m.name;
      if (m.name == r.screen) {
        *area = m.area;
        return {};
      }
    }
    return std::string("no screen named '") + r.screen + "' (screens: " + names + ")";
  }
  if (r.region) {
    Area a;
    if (!parseRegion(r.region, &a)) return "--region wants X,Y,W,H with W and H above 0";
    // Clipped to the picture like every other grab of the screen.
    const int x1 = std::min(a.x + a.width, width), y1 = std::min(a.y + a.height, height);
    a.x = std::max(a.x, 0), a.y = std::max(a.y, 0);
    a.width = x1 - a.x, a.height = y1 - a.y;
    if (a.width <= 0 || a.height <= 0) return "the region lies outside the screen";
    *area = a;
  }
  return {};
}

int write(const char* output, const std::vector<uint8_t>& png) {
  if (png.empty()) return fail("PNG encoding failed");
  FILE* f = std::strcmp(output, "-") == 0 ? stdout : std::fopen(output, "wb");
  if (!f) return fail(std::string("cannot write ") + output + ": " + std::strerror(errno));
  const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  const bool closed = f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0;
  if (!ok || !closed) return fail(std::string("cannot write ") + output + ": " + std::strerror(errno));
  return 0;
}

}  // namespace nimbo::one_shot
