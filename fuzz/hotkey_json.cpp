// The stored shortcuts: any text decodes to a (possibly empty) table without
// crashing, and a table that decodes encodes and decodes to itself.
#include <QByteArray>

#include <cstdint>
#include <cstdlib>

#include "shell/hotkey_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using nimbo::HotkeyStore;
  const QByteArray json(reinterpret_cast<const char*>(data), int(size));
  const auto table = HotkeyStore::decode(json);
  const auto again = HotkeyStore::decode(HotkeyStore::encode(table));
  if (again.size() != table.size()) std::abort();
  for (const auto& [action, s] : table) {
    auto it = again.find(action);
    if (it == again.end() || it->second.keyCode != s.keyCode || it->second.modifiers != s.modifiers) std::abort();
  }
  return 0;
}
