// history.json as the app reads it at start: whatever the file holds, the
// decoder answers without crashing, and what it accepts survives a save and
// a reload unchanged.
#include <QByteArray>

#include <cstdint>
#include <cstdlib>

#include "capture/capture_item.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray json(reinterpret_cast<const char*>(data), int(size));
  const std::optional<std::vector<nimbo::CaptureItem>> items = nimbo::decodeHistory(json);
  if (!items) return 0;
  const std::optional<std::vector<nimbo::CaptureItem>> again = nimbo::decodeHistory(nimbo::encodeHistory(*items));
  if (!again || again->size() != items->size()) std::abort();
  for (size_t i = 0; i < items->size(); ++i)
    if ((*again)[i].id != (*items)[i].id || (*again)[i].toJson() != (*items)[i].toJson()) std::abort();
  return 0;
}
