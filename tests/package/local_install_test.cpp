// install-local and uninstall-local on made-up trees in a temporary home.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/local_install.h"

namespace fs = std::filesystem;
using namespace nimbo::local_install;

namespace {

void write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::string read(const fs::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

class LocalInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/nimbo-local-install-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base = tmpl;
    places = {base / "home/.local/share", base / "home/.local/bin", base / "home/.config"};
  }
  void TearDown() override { fs::remove_all(base); }

  // A tree as the archive has it, with `marker` in its launcher and application library.
  fs::path makeTree(const std::string& name, const std::string& marker) {
    const fs::path t = base / name;
    write(t / "bin/nimbo", "launcher " + marker);
    fs::permissions(t / "bin/nimbo", fs::perms(0755));
    write(t / "lib/nimbo/libnimbo_app.so", "app " + marker);
    write(t / "share/applications/com.vantori.screenshot.desktop",
          "[Desktop Entry]\nType=Application\nName=Nimbo\nExec=nimbo\nTryExec=nimbo\nIcon=com.vantori.screenshot\n"
          "Actions=CaptureToClipboard;\n\n[Desktop Action CaptureToClipboard]\nName=Capture to clipboard\n"
          "Exec=nimbo capture-to-clipboard\n");
    write(t / "share/icons/hicolor/48x48/apps/com.vantori.screenshot.png", "png48");
    write(t / "share/icons/hicolor/scalable/apps/com.vantori.screenshot.svg", "<svg/>");
    write(t / "share/icons/hicolor/48x48/apps/someone-else.png", "not ours");
    return t;
  }

  int install(const fs::path& tree, const std::string& version) {
    out.str({});
    err.str({});
    return nimbo::local_install::install(tree, version, places, out, err);
  }
  std::vector<std::string> versionsOnDisk() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(places.versions())) names.push_back(e.path().filename());
    return names;
  }

  fs::path base;
  Places places;
  std::ostringstream out, err;
};

using Names = std::vector<std::string>;

TEST(DesktopEntry, PathsWithSpacesQuotesAndPercentSignsAreQuoted) {
  // Quoted for the command line, then each backslash doubled for the file.
  EXPECT_EQ(desktopExec("/home/Ann Lee/bin/nimbo", ""), "\"/home/Ann Lee/bin/nimbo\"");
  EXPECT_EQ(desktopExec("/home/a$b/nimbo", ""), "\"/home/a\\\\$b/nimbo\"");
  EXPECT_EQ(desktopExec("/home/100%/nimbo", ""), "/home/100%%/nimbo");
  const std::string entry = rewriteDesktopEntry("[Desktop Entry]\nExec=\"old path/nimbo\" capture-and-upload\n",
                                                "/home/Ann Lee/.local/bin/nimbo");
  EXPECT_NE(entry.find("Exec=\"/home/Ann Lee/.local/bin/nimbo\" capture-and-upload\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("TryExec=/home/Ann Lee/.local/bin/nimbo\n"), std::string::npos) << entry;
}

TEST_F(LocalInstall, InstallsTheLayoutTheUpdaterUses) {
  ASSERT_EQ(install(makeTree("nimbo-1.2.0", "one"), "1.2.0"), 0) << err.str();
  const fs::path v = places.versions() / "1.2.0";
  EXPECT_EQ(read(v / "lib/nimbo/libnimbo_app.so"), "app one");
  EXPECT_TRUE(fs::status(v / "bin/nimbo").permissions() == fs::perms(0755));
  EXPECT_EQ(versionsOnDisk(), Names{"1.2.0"});
  EXPECT_EQ(fs::read_symlink(places.current()), "versions/1.2.0");
  EXPECT_EQ(fs::read_symlink(places.binLink()), places.root() / "current/bin/nimbo");

  // Every Exec runs the installed program, and the one TryExec names it.
  const std::string entry = read(places.desktopFile()), link = places.binLink().string();
  EXPECT_NE(entry.find("\nExec=" + link + "\nTryExec=" + link + "\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nExec=" + link + " capture-to-clipboard\n"), std::string::npos);
  EXPECT_EQ(entry.find("TryExec="), entry.rfind("TryExec="));
  EXPECT_EQ(read(places.iconTheme() / "48x48/apps/com.vantori.screenshot.png"), "png48");
  EXPECT_TRUE(fs::exists(places.iconTheme() / "scalable/apps/com.vantori.screenshot.svg"));
  // Only our own icons: another application's stays out of both the version and the theme.
  EXPECT_FALSE(fs::exists(v / "share/icons/hicolor/48x48/apps/someone-else.png"));
  EXPECT_FALSE(fs::exists(places.iconTheme() / "48x48/apps/someone-else.png"));
}

TEST_F(LocalInstall, InstallingAgainReplacesTheVersionWholeRenewsTheLinksAndSwitchesVersions) {
  ASSERT_EQ(install(makeTree("a", "one"), "1.2.0"), 0) << err.str();
  write(places.versions() / "1.2.0/lib/nimbo/stale.so", "from before");
  const fs::path second = makeTree("b", "two");
  fs::remove(second / "share/icons/hicolor/scalable/apps/com.vantori.screenshot.svg");
  ASSERT_EQ(install(second, "1.2.0"), 0) << err.str();
  EXPECT_EQ(read(places.versions() / "1.2.0/lib/nimbo/libnimbo_app.so"), "app two");
  EXPECT_FALSE(fs::exists(places.versions() / "1.2.0/lib/nimbo/stale.so"));
  EXPECT_FALSE(fs::exists(places.iconTheme() / "scalable/apps/com.vantori.screenshot.svg")) << "a dropped icon stays";
  EXPECT_EQ(versionsOnDisk(), Names{"1.2.0"});

  // From the installed copy itself (the source is the destination): nothing lost, the links back.
  fs::remove(places.binLink());
  fs::remove(places.desktopFile());
  ASSERT_EQ(install(places.versions() / "1.2.0", "1.2.0"), 0) << err.str();
  EXPECT_EQ(read(places.binLink()), "launcher two");
  EXPECT_TRUE(fs::exists(places.desktopFile()));
  EXPECT_EQ(read(places.versions() / "1.2.0/lib/nimbo/libnimbo_app.so"), "app two");

  ASSERT_EQ(install(makeTree("c", "three"), "1.3.0"), 0) << err.str();
  EXPECT_EQ(fs::read_symlink(places.current()), "versions/1.3.0");
  EXPECT_EQ(read(places.binLink()), "launcher three");
  EXPECT_EQ(read(places.versions() / "1.2.0/bin/nimbo"), "launcher two");
}

TEST_F(LocalInstall, AFailedCopyChangesNothing) {
  ASSERT_EQ(install(makeTree("a", "one"), "1.2.0"), 0) << err.str();
  const std::string entryBefore = read(places.desktopFile());
  // A path too long for the system once below versions/: the copy fails half-way.
  const fs::path tree = makeTree("b", "two");
  fs::path deep = tree / "lib/nimbo";
  while (deep.string().size() + 201 < 4090) deep /= std::string(200, 'd');
  if (deep.string().size() + 1 < 4090) deep /= std::string(4090 - deep.string().size() - 1, 'e');
  fs::create_directories(deep);
  write(deep / "x", "deep");
  ASSERT_EQ(install(tree, "1.3.0"), 1);
  EXPECT_NE(err.str().find("File name too long"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("Nothing was changed"), std::string::npos) << err.str();
  EXPECT_EQ(fs::read_symlink(places.current()), "versions/1.2.0");
  EXPECT_EQ(read(places.binLink()), "launcher one");
  EXPECT_EQ(read(places.desktopFile()), entryBefore);
  EXPECT_EQ(versionsOnDisk(), Names{"1.2.0"});
  for (const auto& e : fs::directory_iterator(places.desktopFile().parent_path()))
    EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
}

TEST_F(LocalInstall, AFileWhereTheCommandGoesIsLeftAloneAndNothingInstalled) {
  write(places.binLink(), "#!/bin/sh\necho mine\n");
  EXPECT_EQ(install(makeTree("a", "one"), "1.2.0"), 1);
  EXPECT_NE(err.str().find("not a link"), std::string::npos) << err.str();
  EXPECT_EQ(read(places.binLink()), "#!/bin/sh\necho mine\n");
  EXPECT_FALSE(fs::exists(places.current()));
  EXPECT_FALSE(fs::exists(places.versions() / "1.2.0"));
}

TEST_F(LocalInstall, ATreeWithoutTheApplicationLibraryIsRefused) {
  const fs::path tree = makeTree("a", "one");
  fs::remove_all(tree / "lib/nimbo");
  EXPECT_EQ(install(tree, "1.2.0"), 1);
  EXPECT_FALSE(fs::exists(places.root()));
  std::string why;
  EXPECT_TRUE(treeOf(tree / "bin/nimbo", &why).empty());
  EXPECT_NE(why.find("cpack -G TXZ"), std::string::npos) << why;
  // A build folder: the launcher and the library side by side.
  write(base / "build/libnimbo_app.so", "app");
  EXPECT_TRUE(treeOf(base / "build/nimbo", &why).empty());
  EXPECT_EQ(treeOf(makeTree("c", "x") / "bin/nimbo", &why), base / "c");
}

TEST_F(LocalInstall, UninstallKeepsCapturesAndSettings) {
  ASSERT_EQ(install(makeTree("a", "one"), "1.2.0"), 0) << err.str();
  ASSERT_EQ(install(makeTree("b", "two"), "1.3.0"), 0) << err.str();
  write(places.dataHome / "com.vantori.screenshot/history.json", "{}");
  write(places.configHome / "com.vantori.screenshot/settings.ini", "soundOnCapture=false\n");
  // Launch at login points at the installed program's real path.
  write(places.configHome / "autostart/com.vantori.screenshot.desktop",
        "[Desktop Entry]\nExec=\"" + (places.versions() / "1.3.0/bin/nimbo").string() + "\"\n");
  write(places.dataHome / "applications/other.desktop", "[Desktop Entry]\n");
  write(places.iconTheme() / "64x64/apps/other.png", "another application's");

  ASSERT_EQ(uninstall(places, out, err), 0) << err.str();
  EXPECT_FALSE(fs::exists(fs::symlink_status(places.binLink())));
  EXPECT_FALSE(fs::exists(places.root()));
  EXPECT_FALSE(fs::exists(places.desktopFile()));
  EXPECT_FALSE(fs::exists(places.iconTheme() / "48x48")) << "an emptied icon folder stays";
  EXPECT_FALSE(fs::exists(places.configHome / "autostart/com.vantori.screenshot.desktop"));
  EXPECT_TRUE(fs::exists(places.iconTheme() / "64x64/apps/other.png"));
  EXPECT_TRUE(fs::exists(places.dataHome / "applications/other.desktop"));
  EXPECT_EQ(read(places.dataHome / "com.vantori.screenshot/history.json"), "{}");
  EXPECT_EQ(read(places.configHome / "com.vantori.screenshot/settings.ini"), "soundOnCapture=false\n");

  EXPECT_EQ(uninstall(places, out, err), 0) << "a second uninstall";
}

TEST_F(LocalInstall, UninstallLeavesWhatItDidNotMake) {
  fs::create_directories(places.binDir);
  fs::create_symlink("/usr/bin/nimbo", places.binLink());
  write(places.desktopFile(), "[Desktop Entry]\nExec=/opt/nimbo/bin/nimbo\n");
  write(places.configHome / "autostart/com.vantori.screenshot.desktop", "[Desktop Entry]\nExec=\"/usr/bin/nimbo\"\n");
  EXPECT_EQ(uninstall(places, out, err), 0) << err.str();
  EXPECT_EQ(fs::read_symlink(places.binLink()), "/usr/bin/nimbo");
  EXPECT_TRUE(fs::exists(places.desktopFile()));
  EXPECT_TRUE(fs::exists(places.configHome / "autostart/com.vantori.screenshot.desktop"));
  EXPECT_NE(out.str().find("alone"), std::string::npos) << out.str();
}

TEST(Places, FollowTheEnvironment) {
  const std::string home = ::getenv("HOME") ? ::getenv("HOME") : "";
  ::setenv("HOME", "/home/ann", 1);
  ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
  Places p;
  std::string error;
  ASSERT_TRUE(placesFromEnvironment(&p, &error)) << error;
  EXPECT_EQ(p.dataHome, "/home/ann/.local/share");
  EXPECT_EQ(p.binDir, "/home/ann/.local/bin");
  ::unsetenv("HOME");
  EXPECT_FALSE(placesFromEnvironment(&p, &error));
  EXPECT_FALSE(error.empty());
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
