#pragma once
#include <mutex>

#include "platform/platform.h"

struct ca_context;
class QTimer;

namespace nimbo {

// Event sounds from the freedesktop sound theme through libcanberra. The
// sound server connection (a thread, shared memory, the decoded sound) is
// opened by the first sound and let go once no sound has played for
// `idleMs`, so an idle tray app holds none of it.
class CanberraSound : public SoundPlayer {
 public:
  explicit CanberraSound(int idleMs = 10000);
  ~CanberraSound() override;
  void play(const QString& eventId) override;

 private:
  void closeIfIdle();

  std::mutex mutex_;
  ca_context* ctx_ = nullptr;
  bool failed_ = false;
  QTimer* idle_;  // on the thread that made this player
};

}  // namespace nimbo
