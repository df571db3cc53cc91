#include "platform/platform.h"

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

}  // namespace nimbo
