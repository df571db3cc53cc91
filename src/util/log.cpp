#include "util/log.h"

#include <syslog.h>

#include <atomic>
#include <mutex>
#include <cstdio>

namespace nimbo {
namespace {
std::atomic<LogSink> g_sink{nullptr};
std::once_flag g_openlog;
}  // namespace

void setLogSink(LogSink sink) { g_sink.store(sink); }

void logLine(const QString& line) {
  const QByteArray utf8 = line.toUtf8();
  std::fprintf(stderr, "%s\n", utf8.constData());
  std::fflush(stderr);
  std::call_once(g_openlog, [] { openlog("nimbo", LOG_PID, LOG_USER); });
  syslog(LOG_INFO, "%s", utf8.constData());
  if (LogSink sink = g_sink.load()) sink(line);
}

}  // namespace nimbo
