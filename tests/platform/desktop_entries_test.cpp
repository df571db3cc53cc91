// Application names for windows, from the installed .desktop entries.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/linux/freedesktop/desktop_entries.h"

namespace nimbo {
namespace {

TEST(DesktopEntriesTest, AWindowClassFindsItsApplicationsName) {
  QTemporaryDir data;
  const QString apps = data.path() + "/applications";
  QDir().mkpath(apps);
  for (const auto& [name, text] : {std::pair{"org.example.Painter.desktop",
                                             "[Desktop Entry]\nType=Application\nName=Painter\nStartupWMClass=paint-main\n"
                                             "[Desktop Action new]\nName=New Picture\n"},
                                   std::pair{"org.example.Notes.desktop", "[Desktop Entry]\nName=Notes\n"},
                                   std::pair{"broken.desktop", "[Desktop Entry]\nExec=true\n"}}) {
    QFile f(apps + "/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(text) > 0);
  }
  const QByteArray home = qgetenv("XDG_DATA_HOME"), dirs = qgetenv("XDG_DATA_DIRS");
  qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
  qputenv("XDG_DATA_DIRS", (data.path() + "/nowhere").toLocal8Bit());

  EXPECT_EQ(DesktopEntries::nameForWindowClass("paint-main", "Paint-main"), "Painter");  // StartupWMClass
  EXPECT_EQ(DesktopEntries::nameForWindowClass("notes", "Notes"), "Notes");  // the file's last part
  EXPECT_EQ(DesktopEntries::nameForWindowClass("xterm", "XTerm"), "");
  EXPECT_EQ(DesktopEntries::nameForWindowClass("", ""), "");
  qputenv("XDG_DATA_HOME", home);
  qputenv("XDG_DATA_DIRS", dirs);
}

}  // namespace
}  // namespace nimbo
