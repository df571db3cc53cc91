#pragma once
#include <QString>

namespace nimbo::trace {

// Timing marks for the benchmarks: with NIMBO_TRACE_TIMING=1 in the
// environment, mark() logs "Nimbo: timing <what> <ms>" measured from the last
// start(). Otherwise both do nothing.
void start();
void mark(const QString& what);

}  // namespace nimbo::trace
