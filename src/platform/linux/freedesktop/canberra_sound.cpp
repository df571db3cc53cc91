#include "platform/linux/freedesktop/canberra_sound.h"

#include <canberra.h>

#include <QTimer>

namespace nimbo {

CanberraSound::CanberraSound(int idleMs) : idle_(new QTimer) {
  idle_->setSingleShot(true);
  idle_->setInterval(idleMs);
  QObject::connect(idle_, &QTimer::timeout, [this] { closeIfIdle(); });
}

CanberraSound::~CanberraSound() {
  delete idle_;
  if (ctx_) ca_context_destroy(ctx_);
}

void CanberraSound::play(const QString& eventId) {
  {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    if (!ctx_) {
      if (ca_context_create(&ctx_) != CA_SUCCESS) {
        failed_ = true;
        ctx_ = nullptr;
        return;
      }
      // PipeWire and PulseAudio both speak the pulse protocol; without either,
      // falling back to raw ALSA only fills the log with device errors.
      ca_context_set_driver(ctx_, "pulse");
      ca_context_change_props(ctx_, CA_PROP_APPLICATION_NAME, "Nimbo", CA_PROP_APPLICATION_ID,
                              "com.vantori.screenshot", nullptr);
    }
    // A missing theme or sound server is not the user's problem: stay quiet.
    ca_context_play(ctx_, 0, CA_PROP_EVENT_ID, eventId.toUtf8().constData(),
                    CA_PROP_EVENT_DESCRIPTION, "Screenshot taken", nullptr);
  }
  // Counted again from this sound, on the timer's own thread.
  QMetaObject::invokeMethod(idle_, qOverload<>(&QTimer::start), Qt::QueuedConnection);
}

void CanberraSound::closeIfIdle() {
  std::lock_guard lock(mutex_);
  // Event sounds last a second or two; any still playing is cut short.
  if (ctx_) ca_context_destroy(ctx_);
  ctx_ = nullptr;
}

}  // namespace nimbo
