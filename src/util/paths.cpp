#include "util/paths.h"

#include <QDir>
#include <QString>

#include <cstdlib>

namespace nimbo::paths {
namespace {

QString envDir(const char* name) {
  const char* v = std::getenv(name);
  // XDG says relative values are invalid and must be ignored.
  if (v && *v == '/') return QDir::cleanPath(QString::fromLocal8Bit(v));
  return {};
}

QString home() {
  QString h = envDir("HOME");
  return h.isEmpty() ? QDir::homePath() : h;
}

}  // namespace

QString appSupportDir() {
  QString base = envDir("XDG_DATA_HOME");
  if (base.isEmpty()) {
    const QString h = home();
    if (h.isEmpty() || h == "/") return tempDir() + '/' + kAppId;
    base = h + "/.local/share";
  }
  return base + '/' + kAppId;
}

QString configHome() {
  QString base = envDir("XDG_CONFIG_HOME");
  return base.isEmpty() ? home() + "/.config" : base;
}

QString configDir() { return configHome() + '/' + kAppId; }

QString tempDir() {
  QString t = envDir("TMPDIR");
  return t.isEmpty() ? QStringLiteral("/tmp") : t;
}


}  // namespace nimbo::paths
