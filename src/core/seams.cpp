#include "core/seams.h"

#include <cstdlib>

namespace nimbo {
namespace {
std::unique_ptr<Seams> g_seams;
}

Seams& seams() {
  // Reaching the seams before start-up wired them is a programming error.
  if (!g_seams) std::abort();
  return *g_seams;
}

std::unique_ptr<Seams> installSeams(std::unique_ptr<Seams> s) {
  std::swap(g_seams, s);
  return s;
}

}  // namespace nimbo
