#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>

namespace nimbo {
namespace {
std::unique_ptr<Platform> g_platform;
}

Platform& platform() {
  // Reaching the registry before start-up filled it is a programming error.
  if (!g_platform) std::abort();
  return *g_platform;
}

std::unique_ptr<Platform> installPlatform(std::unique_ptr<Platform> p) {
  std::swap(g_platform, p);
  return p;
}

void mergeRowSpans(std::vector<std::pair<int, int>>& rows, int height) {
  for (auto& r : rows) r = {std::clamp(r.first, 0, height), std::clamp(r.second, 0, height)};
  std::sort(rows.begin(), rows.end());
  size_t kept = 0;
  for (const auto& r : rows) {
    if (r.second <= r.first) continue;
    if (kept && r.first <= rows[kept - 1].second)
      rows[kept - 1].second = std::max(rows[kept - 1].second, r.second);
    else
      rows[kept++] = r;
  }
  rows.resize(kept);
}

}  // namespace nimbo
