#include "util/paths.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

namespace {

// A folder of ours that nobody else can enter: made 0700 when missing,
// tightened when too open; a link, a non-folder or another user's folder is
// refused.
bool ownPrivateDir(const QString& path) {
  const QByteArray p = QFile::encodeName(path);
  if (::mkdir(p.constData(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
  if ((st.st_mode & 0777) != 0700 && ::chmod(p.constData(), 0700) != 0) return false;
  return true;
}

}  // namespace

QString privateTempDir() {
  const QString runtime = envDir("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) {
    struct stat st {};
    const QByteArray r = QFile::encodeName(runtime);
    // A runtime folder is only for us when it is ours and 0700.
    if (::stat(r.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 077) == 0 && ownPrivateDir(runtime + '/' + kAppId))
      return runtime + '/' + kAppId;
  }
  QString cache = envDir("XDG_CACHE_HOME");
  if (cache.isEmpty()) cache = home() + "/.cache";
  QDir().mkpath(cache);
  if (!ownPrivateDir(cache + '/' + kAppId)) return {};
  return ownPrivateDir(cache + '/' + kAppId + "/tmp") ? cache + '/' + kAppId + "/tmp" : QString();
}

QString tempDir() {
  QString t = envDir("TMPDIR");
  return t.isEmpty() ? QStringLiteral("/tmp") : t;
}


}  // namespace nimbo::paths
