#include "util/emergency.h"

#include <map>

namespace nimbo::Emergency {
namespace {
std::map<int, std::function<void()>>& hooks() {
  static std::map<int, std::function<void()>> h;
  return h;
}
int g_next = 1;
bool g_ran = false;
}  // namespace

int add(std::function<void()> hook) {
  hooks().emplace(g_next, std::move(hook));
  return g_next++;
}

void remove(int handle) { hooks().erase(handle); }

void runAll() {
  if (g_ran) return;
  g_ran = true;
  // Taken out first: a hook may remove itself or others.
  auto pending = std::move(hooks());
  hooks().clear();
  for (auto it = pending.rbegin(); it != pending.rend(); ++it)
    if (it->second) it->second();
}

}  // namespace nimbo::Emergency
