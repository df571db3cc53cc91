#pragma once
#include <mutex>

#include "platform/platform.h"

struct ca_context;

namespace nimbo {

// Event sounds from the freedesktop sound theme through libcanberra.
class CanberraSound : public SoundPlayer {
 public:
  ~CanberraSound() override;
  void play(const QString& eventId) override;

 private:
  std::mutex mutex_;
  ca_context* ctx_ = nullptr;
  bool failed_ = false;
};

}  // namespace nimbo
