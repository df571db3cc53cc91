#include "platform/linux/freedesktop/desktop_entries.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QStringList>
#include <QTextStream>

namespace nimbo::DesktopEntries {
namespace {

struct Entry {
  QString file;  // the file's name without ".desktop", lower case
  QString wmClass, name;
};

QStringList applicationDirs() {
  QStringList dirs;
  const QString home = qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share");
  dirs << home;
  const QString system = qEnvironmentVariable("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
  dirs << system.split(':', Qt::SkipEmptyParts);
  for (QString& d : dirs) d += "/applications";
  return dirs;
}

// Only the [Desktop Entry] group's Name and StartupWMClass.
Entry read(const QString& path) {
  Entry e;
  e.file = QFileInfo(path).completeBaseName().toLower();
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return e;
  QTextStream in(&f);
  bool inMain = false;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.startsWith('[')) {
      inMain = line == QLatin1String("[Desktop Entry]");
      continue;
    }
    if (!inMain) continue;
    if (line.startsWith(QLatin1String("Name="))) e.name = line.mid(5).trimmed();
    else if (line.startsWith(QLatin1String("StartupWMClass="))) e.wmClass = line.mid(15).trimmed();
  }
  return e;
}

const std::vector<Entry>& entries() {
  // Read once per run: the window picker asks for every window.
  static const std::vector<Entry> all = [] {
    std::vector<Entry> out;
    for (const QString& dir : applicationDirs())
      for (const QFileInfo& fi : QDir(dir).entryInfoList({"*.desktop"}, QDir::Files))
        if (Entry e = read(fi.absoluteFilePath()); !e.name.isEmpty()) out.push_back(e);
    return out;
  }();
  return all;
}

}  // namespace

QString nameForWindowClass(const QString& instance, const QString& windowClass) {
  for (const Entry& e : entries())
    if (!e.wmClass.isEmpty() && (e.wmClass.compare(windowClass, Qt::CaseInsensitive) == 0 ||
                                 e.wmClass.compare(instance, Qt::CaseInsensitive) == 0))
      return e.name;
  // Entries are often named after the class: org.gnome.Nautilus, firefox-esr…
  for (const Entry& e : entries()) {
    if (windowClass.isEmpty() && instance.isEmpty()) break;
    if (e.file == windowClass.toLower() || e.file == instance.toLower() ||
        e.file.endsWith('.' + windowClass.toLower()))
      return e.name;
  }
  return {};
}

}  // namespace nimbo::DesktopEntries
