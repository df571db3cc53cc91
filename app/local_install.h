#pragma once
// `nimbo install-local` and `nimbo uninstall-local`: Nimbo for one user,
// without root, next to the files of a relocatable tree (the archive made by
// `cpack -G TXZ`, unpacked anywhere).
//
// With DATA = $XDG_DATA_HOME, else ~/.local/share:
//   DATA/nimbo/versions/VERSION/   one version's whole tree: bin/, lib/nimbo/, share/…
//   DATA/nimbo/current             relative link to versions/VERSION; a switch of
//                                  versions replaces this one link with rename(2)
//   ~/.local/bin/nimbo             link to DATA/nimbo/current/bin/nimbo
//   DATA/applications/com.vantori.screenshot.desktop   Exec= and TryExec= at that link
//   DATA/icons/hicolor/SIZE/apps/com.vantori.screenshot.{png,svg}
// The updater installs into the same places, so this layout does not change.
//
// Plain C++ and the standard library only: the launcher links no Qt.
#include <filesystem>
#include <iosfwd>
#include <string>

namespace nimbo::local_install {

// Where a user-local install goes.
struct Places {
  std::filesystem::path dataHome;  // DATA
  std::filesystem::path binDir;    // ~/.local/bin
  std::filesystem::path configHome;  // $XDG_CONFIG_HOME or ~/.config (the autostart entry)

  std::filesystem::path root() const { return dataHome / "nimbo"; }
  std::filesystem::path versions() const { return root() / "versions"; }
  std::filesystem::path current() const { return root() / "current"; }
  std::filesystem::path binLink() const { return binDir / "nimbo"; }
  std::filesystem::path desktopFile() const;
  std::filesystem::path iconTheme() const { return dataHome / "icons" / "hicolor"; }
};

// From HOME, XDG_DATA_HOME and XDG_CONFIG_HOME (relative values are ignored,
// as XDG says). False, with the reason, when HOME is unset or not absolute.
bool placesFromEnvironment(Places* places, std::string* error);

// The tree a launcher at `launcherPath` (its real path) belongs to: the
// folder above its bin/. Empty, with the reason, when that is no installed
// tree (no lib/nimbo/libnimbo_app.so beside it, as in a build folder).
std::filesystem::path treeOf(const std::filesystem::path& launcherPath, std::string* error);

// Copies `tree` into versions/VERSION (through a staging folder renamed into
// place), makes it the current version and adds the command link, the menu
// entry and the icons. Reports to `out` and `err`; 0 on success, else 1 with
// the current version, link and menu entry as they were.
int install(const std::filesystem::path& tree, const std::string& version, const Places& places,
            std::ostream& out, std::ostream& err);

// Removes what install() made: the command link, the menu entry, the icons,
// versions/ and current. Captures, history and settings stay.
int uninstall(const Places& places, std::ostream& out, std::ostream& err);

// The Exec= value that runs `program` with `args` (quoted as the Desktop
// Entry format wants when the path needs it).
std::string desktopExec(const std::filesystem::path& program, const std::string& args);

// `desktop` (a .desktop file's text) with every Exec= running `program`
// instead of its own command, and TryExec= naming it.
std::string rewriteDesktopEntry(const std::string& desktop, const std::filesystem::path& program);

}  // namespace nimbo::local_install
