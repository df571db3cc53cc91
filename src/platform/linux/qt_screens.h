#pragma once
#include <functional>

#include "platform/platform.h"

namespace nimbo {

// Screens as Qt sees them, converted once to the y-up global point space.
class QtScreens : public Screens {
 public:
  using DisplayIdLookup = std::function<std::optional<quint32>(const QString& screenName)>;
  explicit QtScreens(DisplayIdLookup lookup) : lookup_(std::move(lookup)) {}
  std::vector<ScreenInfo> list() override;
  std::optional<ScreenInfo> main() override;
  QPointF cursorPosition() override;

 private:
  DisplayIdLookup lookup_;
};

class QtClipboard : public Clipboard {
 public:
  void setMimeData(QMimeData* data) override;
};

}  // namespace nimbo
