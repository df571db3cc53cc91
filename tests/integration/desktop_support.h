#pragma once
// What the desktop tests share: waiting with the event loop running, running
// a tool, and driving or finding windows through xdotool.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTest>

#include <functional>

namespace nimbo::desktoptest {

inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QTest::qWait(25);
  }
  return true;
}

struct ProcResult {
  int exitCode = -1;
  QByteArray out, err;
};

inline ProcResult run(const QString& program, const QStringList& args, const QProcessEnvironment& env = {},
                      const QByteArray& input = {}) {
  QProcess p;
  if (!env.isEmpty()) p.setProcessEnvironment(env);
  p.start(program, args);
  if (!input.isEmpty()) {
    p.write(input);
    p.closeWriteChannel();
  }
  waitFor([&] { return p.state() == QProcess::NotRunning; }, 30000);
  if (p.state() != QProcess::NotRunning) p.kill(), p.waitForFinished();
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
          p.readAllStandardError()};
}

inline void xdotool(const QStringList& args) {
  ASSERT_EQ(run("xdotool", args).exitCode, 0) << args.join(' ').toStdString();
}

// The newest visible window whose title matches, or empty.
inline QString visibleWindow(const QString& titlePattern) {
  const QByteArray out = run("xdotool", {"search", "--onlyvisible", "--name", titlePattern}).out.trimmed();
  return out.isEmpty() ? QString() : QString::fromLatin1(out.split('\n').last());
}

}  // namespace nimbo::desktoptest
