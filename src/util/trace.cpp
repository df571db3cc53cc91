#include "util/trace.h"

#include <QElapsedTimer>

#include <cstdlib>

#include "util/log.h"

namespace nimbo::trace {
namespace {

bool enabled() {
  static const bool on = [] {
    const char* v = std::getenv("NIMBO_TRACE_TIMING");
    return v && *v == '1';
  }();
  return on;
}

QElapsedTimer& clock() {
  static QElapsedTimer t;
  return t;
}

}  // namespace

void start() {
  if (enabled()) clock().start();
}

void mark(const QString& what) {
  if (!enabled() || !clock().isValid()) return;
  logLine(QStringLiteral("Nimbo: timing %1 %2").arg(what).arg(clock().nsecsElapsed() / 1e6, 0, 'f', 1));
}

}  // namespace nimbo::trace
