// The recorder's remembered region, stored as text: any text reads as a
// rectangle without crashing, and a rectangle written reads back the same.
#include <QRectF>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "recording/recorder_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
  const QRectF r = nimbo::rectFromString(text);
  if (!std::isfinite(r.x()) || !std::isfinite(r.y()) || !std::isfinite(r.width()) || !std::isfinite(r.height()))
    return 0;  // what the app does with such a region is the recorder's check
  const QRectF back = nimbo::rectFromString(nimbo::rectToString(r));
  if (back != r) std::abort();
  return 0;
}
