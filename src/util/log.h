#pragma once
#include <QString>

namespace nimbo {

// One line per event, to standard error and to the system log. Callers pass
// the whole line, prefix included ("Nimbo: …", "Screenshot: …").
void logLine(const QString& line);

// Tests capture what was logged instead of scraping stderr.
using LogSink = void (*)(const QString& line);
void setLogSink(LogSink sink);

}  // namespace nimbo
