#include "app/local_install.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <system_error>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace nimbo::local_install {
namespace {

constexpr char kAppId[] = "com.vantori.screenshot";

// The parts of a tree that belong to Nimbo. A tree is usually the unpacked
// archive, but may be a system prefix such as /usr, so nothing else is taken.
struct Piece {
  const char* path;
  bool required;
};
constexpr Piece kPieces[] = {
    {"bin/nimbo", true},
    {"bin/nimbo-share-server", false},
    {"lib/nimbo", true},
    {"share/applications/com.vantori.screenshot.desktop", false},
    {"share/metainfo/com.vantori.screenshot.metainfo.xml", false},
    {"share/man/man1/nimbo.1.gz", false},
    {"share/bash-completion/completions/nimbo", false},
    {"share/doc/nimbo", false},
    {"share/nimbo", false},
};

std::string errnoText(int e) { return std::error_code(e, std::generic_category()).message(); }

std::string pid() { return std::to_string(::getpid()); }

bool isOurIcon(const fs::path& p) {
  return p.stem() == kAppId && (p.extension() == ".png" || p.extension() == ".svg");
}

// The icons a tree (or the user's icon theme) holds for us, as paths below
// the hicolor folder: "48x48/apps/com.vantori.screenshot.png".
std::vector<fs::path> iconsIn(const fs::path& hicolor) {
  std::vector<fs::path> icons;
  std::error_code ec;
  for (fs::directory_iterator size(hicolor, ec), end; !ec && size != end; size.increment(ec)) {
    std::error_code ec2;
    for (fs::directory_iterator icon(size->path() / "apps", ec2); !ec2 && icon != end; icon.increment(ec2))
      if (isOurIcon(icon->path())) icons.push_back(size->path().filename() / "apps" / icon->path().filename());
  }
  return icons;
}

// A copy that says which file it failed on, and why.
bool copyEntry(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(from, ec);
  if (fs::is_symlink(st)) {
    fs::copy_symlink(from, to, ec);
  } else if (fs::is_directory(st)) {
    fs::create_directory(to, from, ec);
    if (ec) {
      *error = "cannot create " + to.string() + ": " + ec.message();
      return false;
    }
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
      if (!copyEntry(it->path(), to / it->path().filename(), error)) return false;
  } else if (fs::is_regular_file(st)) {
    fs::copy_file(from, to, ec);
  }  // sockets, pipes and devices are nothing of ours
  if (ec) {
    *error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
    return false;
  }
  return true;
}

// Copies one piece, following a link at its own name (bin/nimbo may be one
// in a system prefix) but keeping the links inside a folder.
bool copyPiece(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (ec) {
    *error = "cannot create " + to.parent_path().string() + ": " + ec.message();
    return false;
  }
  if (fs::is_directory(from, ec)) {
    const fs::path real = fs::canonical(from, ec);
    return copyEntry(ec ? from : real, to, error);
  }
  fs::copy_file(from, to, ec);
  if (ec) *error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
  return !ec;
}

// Staging folders, set-aside copies and new links or files ("…-PID") left
// in `dir` by an install that was killed: removed once that process is gone.
void removeAbandoned(const fs::path& dir, std::initializer_list<const char*> prefixes) {
  std::error_code ec;
  std::vector<fs::path> gone;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (std::none_of(prefixes.begin(), prefixes.end(), [&](const char* p) { return name.rfind(p, 0) == 0; }))
      continue;
    const long owner = std::strtol(name.substr(name.rfind('-') + 1).c_str(), nullptr, 10);
    if (owner <= 0) continue;
    if (owner == ::getpid() || (::kill(pid_t(owner), 0) != 0 && errno == ESRCH)) gone.push_back(it->path());
  }
  for (const fs::path& p : gone) fs::remove_all(p, ec);
}

// Moves the staged tree to `target`. A version already there is swapped out
// in one step where the file system can (renameat2 RENAME_EXCHANGE), so the
// folder `current` points at is never missing.
bool putInPlace(const fs::path& staged, const fs::path& target, std::string* error) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(target, ec))) {
    if (::rename(staged.c_str(), target.c_str()) == 0) return true;
    *error = "cannot move " + staged.string() + " to " + target.string() + ": " + errnoText(errno);
    return false;
  }
  if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    fs::remove_all(staged, ec);  // now the replaced copy
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    *error = "cannot replace " + target.string() + ": " + errnoText(errno);
    return false;
  }
  const fs::path aside = target.parent_path() / (".replaced-" + target.filename().string() + "-" + pid());
  if (::rename(target.c_str(), aside.c_str()) != 0) {
    *error = "cannot move " + target.string() + " aside: " + errnoText(errno);
    return false;
  }
  if (::rename(staged.c_str(), target.c_str()) != 0) {
    *error = "cannot move " + staged.string() + " to " + target.string() + ": " + errnoText(errno);
    ::rename(aside.c_str(), target.c_str());
    return false;
  }
  fs::remove_all(aside, ec);
  return true;
}

// A link at `at` to `to`, made beside it and renamed over it: whoever looks
// sees the old link or the new one.
bool replaceLink(const fs::path& at, const fs::path& to, std::string* error) {
  const fs::path tmp = at.parent_path() / ("." + at.filename().string() + ".new-" + pid());
  ::unlink(tmp.c_str());
  if (::symlink(to.c_str(), tmp.c_str()) != 0) {
    *error = "cannot make the link " + tmp.string() + ": " + errnoText(errno);
    return false;
  }
  if (::rename(tmp.c_str(), at.c_str()) != 0) {
    *error = "cannot replace " + at.string() + ": " + errnoText(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool readFile(const fs::path& p, std::string* text) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return !in.bad();
}

bool writeFile(const fs::path& p, const std::string& text, std::string* error) {
  errno = 0;
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::error_code ec;
    fs::remove(p, ec);
    *error = "cannot write " + p.string() + (errno ? ": " + errnoText(errno) : std::string());
    return false;
  }
  fs::permissions(p, fs::perms(0644), fs::perm_options::replace);
  return true;
}

// A value of type string in a desktop entry.
std::string escapeString(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

// Runs a cache tool when it is installed; its success is not ours to need.
void runIfPresent(const char* tool, std::vector<std::string> args) {
  const char* path = std::getenv("PATH");
  bool found = false;
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; !found && std::getline(dirs, dir, ':');)
    found = !dir.empty() && ::access((dir + '/' + tool).c_str(), X_OK) == 0;
  if (!found) return;
  args.insert(args.begin(), tool);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  pid_t child = 0;
  if (::posix_spawnp(&child, tool, &fa, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&fa);
}

void refreshCaches(const Places& places) {
  std::error_code ec;
  if (fs::is_directory(places.desktopFile().parent_path(), ec))
    runIfPresent("update-desktop-database", {"-q", places.desktopFile().parent_path().string()});
  if (fs::is_directory(places.iconTheme(), ec))
    runIfPresent("gtk-update-icon-cache", {"-q", "-t", "-f", places.iconTheme().string()});
}

std::string withoutTrailingSlashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string absoluteEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && *v == '/' ? withoutTrailingSlashes(v) : std::string();
}

bool samePlace(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// Where `nimbo` typed in a shell would come from, and whether `dir` is
// searched at all.
void lookAtPath(const fs::path& dir, bool* searched, fs::path* firstNimbo) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string d; std::getline(dirs, d, ':');) {
    if (d.empty()) continue;
    if (samePlace(d, dir)) *searched = true;
    if (firstNimbo->empty() && ::access((d + "/nimbo").c_str(), X_OK) == 0) *firstNimbo = fs::path(d) / "nimbo";
  }
}

// Whether a desktop entry at `p` runs something of this install.
bool entryRunsOurs(const fs::path& p, const Places& places) {
  std::string text;
  if (!readFile(p, &text)) return false;
  return text.find(escapeString(places.binLink().string())) != std::string::npos ||
         text.find(escapeString((places.root() / "").string())) != std::string::npos;
}

bool pathIsBelow(const fs::path& p, const fs::path& dir) {
  const std::string d = (dir / "").string();
  return p.string().rfind(d, 0) == 0;
}

}  // namespace

fs::path Places::desktopFile() const { return dataHome / "applications" / (std::string(kAppId) + ".desktop"); }

bool placesFromEnvironment(Places* places, std::string* error) {
  const std::string home = absoluteEnv("HOME");
  if (home.empty() || home == "/") {
    *error = "HOME is not set to your home folder";
    return false;
  }
  const std::string data = absoluteEnv("XDG_DATA_HOME");
  const std::string config = absoluteEnv("XDG_CONFIG_HOME");
  places->dataHome = data.empty() ? fs::path(home) / ".local" / "share" : fs::path(data);
  places->configHome = config.empty() ? fs::path(home) / ".config" : fs::path(config);
  places->binDir = fs::path(home) / ".local" / "bin";
  return true;
}

fs::path treeOf(const fs::path& launcherPath, std::string* error) {
  const fs::path bin = launcherPath.parent_path();
  const fs::path tree = bin.parent_path();
  std::error_code ec;
  if (bin.filename() == "bin" && fs::is_regular_file(tree / "lib" / "nimbo" / "libnimbo_app.so", ec)) return tree;
  *error = launcherPath.string() +
           " is not part of an installed tree (bin/nimbo with lib/nimbo/libnimbo_app.so beside it);\n"
           "it looks like a build folder. Make the relocatable archive first (cpack -G TXZ in the\n"
           "build folder), unpack it anywhere and run its bin/nimbo install-local.";
  return {};
}

std::string desktopExec(const fs::path& program, const std::string& args) {
  const std::string p = program.string();
  std::string exec;
  if (p.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) {
    exec = p;
  } else {
    exec = "\"";
    for (char c : p) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
      exec += c;
    }
    exec += '"';
  }
  std::string out;
  for (char c : exec) out += c == '%' ? std::string("%%") : std::string(1, c);
  return escapeString(out) + args;
}

std::string rewriteDesktopEntry(const std::string& desktop, const fs::path& program) {
  std::istringstream in(desktop);
  std::string out, group;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.front() == '[') group = line;
    if (line.rfind("TryExec=", 0) == 0) continue;
    if (line.rfind("Exec=", 0) == 0) {
      // The command's first word is the program; a quoted one may hold spaces.
      const std::string value = line.substr(5);
      size_t end = 0;
      if (!value.empty() && value.front() == '"') {
        end = 1;
        while (end < value.size() && value[end] != '"') end += value[end] == '\\' ? 2 : 1;
        end = std::min(end + 1, value.size());
      } else {
        end = std::min(value.find(' '), value.size());
      }
      out += "Exec=" + desktopExec(program, value.substr(end)) + '\n';
      if (group == "[Desktop Entry]") out += "TryExec=" + escapeString(program.string()) + '\n';
      continue;
    }
    out += line + '\n';
  }
  return out;
}

int install(const fs::path& tree, const std::string& version, const Places& places, std::ostream& out,
            std::ostream& err) {
  std::error_code ec;
  if (version.empty() || version == "." || version == ".." || version.find('/') != std::string::npos) {
    err << "nimbo: this build's version (\"" << version << "\") cannot name a folder\n";
    return 1;
  }
  for (const Piece& piece : kPieces) {
    if (piece.required && !fs::exists(tree / piece.path, ec)) {
      err << "nimbo: " << (tree / piece.path).string() << " is missing; nothing was installed\n";
      return 1;
    }
  }
  const fs::path target = places.versions() / version;

  // Nothing the user sees changes until everything new is in place beside it.
  auto blocked = [&](const fs::path& p, const char* what) {
    const fs::file_status st = fs::symlink_status(p, ec);
    if (!fs::exists(st) || fs::is_symlink(st)) return false;
    err << "nimbo: " << p.string() << " is " << what << ", not a link; move it away and try again.\n"
        << "Nothing was installed.\n";
    return true;
  };
  if (blocked(places.current(), "a file or folder") || blocked(places.binLink(), "a file")) return 1;

  std::vector<fs::path> leftovers;  // removed when done, whatever happens
  struct Cleanup {
    std::vector<fs::path>& paths;
    ~Cleanup() {
      std::error_code ec;
      for (const fs::path& p : paths) fs::remove_all(p, ec);
    }
  } cleanup{leftovers};
  std::string error;
  auto fail = [&](const std::string& why) {
    err << "nimbo: " << why << "\nNothing was changed: the installed version, the nimbo command and the menu"
        << " entry are as they were.\n";
    return 1;
  };

  for (const fs::path& dir : {places.versions(), places.binDir, places.desktopFile().parent_path()}) {
    fs::create_directories(dir, ec);
    if (ec) return fail("cannot create " + dir.string() + ": " + ec.message());
  }
  removeAbandoned(places.versions(), {".installing-", ".replaced-"});
  removeAbandoned(places.root(), {".current.new-"});
  removeAbandoned(places.binDir, {".nimbo.new-"});
  removeAbandoned(places.desktopFile().parent_path(), {".com.vantori.screenshot."});

  // Installing the tree we run from (the installed copy itself) only renews
  // the links and the menu entry.
  const bool sameTree = fs::exists(target, ec) && fs::equivalent(tree, target, ec);
  fs::path staged = target;
  if (!sameTree) {
    staged = places.versions() / (".installing-" + version + "-" + pid());
    leftovers.push_back(staged);
    fs::remove_all(staged, ec);
    if (!fs::create_directory(staged, ec)) return fail("cannot create " + staged.string() + ": " + ec.message());
    for (const Piece& piece : kPieces) {
      if (!piece.required && !fs::exists(tree / piece.path, ec)) continue;
      if (!copyPiece(tree / piece.path, staged / piece.path, &error)) return fail(error);
    }
    for (const fs::path& icon : iconsIn(tree / "share/icons/hicolor")) {
      if (!copyPiece(tree / "share/icons/hicolor" / icon, staged / "share/icons/hicolor" / icon, &error))
        return fail(error);
    }
  }

  // The menu entry and the icons, under temporary names next to their own.
  const std::string suffix = ".new-" + pid();
  std::vector<std::pair<fs::path, fs::path>> moves;  // temporary → final
  std::string desktop;
  const bool hasEntry = readFile(staged / "share/applications" / places.desktopFile().filename(), &desktop);
  if (hasEntry) {
    const fs::path tmp = places.desktopFile().parent_path() / ("." + places.desktopFile().filename().string() + suffix);
    leftovers.push_back(tmp);
    if (!writeFile(tmp, rewriteDesktopEntry(desktop, places.binLink()), &error)) return fail(error);
    moves.emplace_back(tmp, places.desktopFile());
  }
  const std::vector<fs::path> icons = iconsIn(staged / "share/icons/hicolor");
  for (const fs::path& icon : icons) {
    const fs::path final = places.iconTheme() / icon;
    const fs::path tmp = final.parent_path() / ("." + final.filename().string() + suffix);
    leftovers.push_back(tmp);
    if (!copyPiece(staged / "share/icons/hicolor" / icon, tmp, &error)) return fail(error);
    moves.emplace_back(tmp, final);
  }

  // The switch: the version folder, then `current`, each in one rename.
  if (!sameTree && !putInPlace(staged, target, &error)) return fail(error);
  if (!replaceLink(places.current(), fs::path("versions") / version, &error)) return fail(error);
  out << "Installed Nimbo " << version << " in " << target.string() << "\n"
      << "  current version  " << places.current().string() << " -> versions/" << version << "\n";

  // What points at it. The version is switched already: a failure from here
  // on is reported, and installing again finishes the job.
  int status = 0;
  auto report = [&](const std::string& why) {
    err << "nimbo: " << why << "\n";
    status = 1;
  };
  if (replaceLink(places.binLink(), places.current() / "bin" / "nimbo", &error))
    out << "  command          " << places.binLink().string() << " -> " << (places.current() / "bin/nimbo").string()
        << "\n";
  else
    report(error);
  for (const auto& [tmp, final] : moves) {
    if (::rename(tmp.c_str(), final.c_str()) != 0)
      report("cannot move " + tmp.string() + " to " + final.string() + ": " + errnoText(errno));
  }
  // Sizes an earlier version had and this one has not.
  for (const fs::path& icon : iconsIn(places.iconTheme()))
    if (std::find(icons.begin(), icons.end(), icon) == icons.end()) fs::remove(places.iconTheme() / icon, ec);
  if (hasEntry) out << "  menu entry       " << places.desktopFile().string() << "\n";
  if (!icons.empty()) out << "  icons            " << icons.size() << " in " << places.iconTheme().string() << "\n";
  refreshCaches(places);

  bool searched = false;
  fs::path first;
  lookAtPath(places.binDir, &searched, &first);
  if (!searched) {
    out << "\n" << places.binDir.string() << " is not on your PATH, so the shell will not find `nimbo`.\n"
        << "Add it (Debian's ~/.profile does so at your next login when the folder exists), e.g.:\n"
        << "  echo 'export PATH=\"$HOME/.local/bin:$PATH\"' >> ~/.profile\n";
  } else if (!first.empty() && !samePlace(first, places.binLink())) {
    out << "\nNote: " << first.string() << " comes first on your PATH; `nimbo` runs that one.\n";
  }
  return status;
}

int uninstall(const Places& places, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  int status = 0;
  bool removedAny = false;
  auto removed = [&](const fs::path& p, const std::string& what) {
    out << "Removed " << (what.empty() ? "" : what + ": ") << p.string() << "\n";
    removedAny = true;
  };
  auto failed = [&](const fs::path& p, const std::error_code& e) {
    err << "nimbo: cannot remove " << p.string() << ": " << e.message() << "\n";
    status = 1;
  };

  // The command first, so nothing starts what is being taken away.
  const fs::file_status link = fs::symlink_status(places.binLink(), ec);
  if (fs::is_symlink(link)) {
    const fs::path to = fs::read_symlink(places.binLink(), ec);
    if (pathIsBelow(to, places.root())) {
      if (fs::remove(places.binLink(), ec)) removed(places.binLink(), "the command");
      else failed(places.binLink(), ec);
    } else {
      out << "Left " << places.binLink().string() << " alone: it points at " << to.string()
          << ", not at this install\n";
    }
  } else if (fs::exists(link)) {
    out << "Left " << places.binLink().string() << " alone: it is not the link install-local makes\n";
  }

  if (fs::exists(places.desktopFile(), ec)) {
    if (!entryRunsOurs(places.desktopFile(), places))
      out << "Left " << places.desktopFile().string() << " alone: it does not run this install\n";
    else if (fs::remove(places.desktopFile(), ec)) removed(places.desktopFile(), "the menu entry");
    else failed(places.desktopFile(), ec);
  }
  for (const fs::path& icon : iconsIn(places.iconTheme())) {
    const fs::path p = places.iconTheme() / icon;
    if (!fs::remove(p, ec)) {
      failed(p, ec);
      continue;
    }
    removed(p, "");
    // SIZE/apps and SIZE, when nothing else is in them.
    if (fs::remove(p.parent_path(), ec)) fs::remove(p.parent_path().parent_path(), ec);
  }
  // Launch at login made an entry that starts the installed program; the
  // setting itself stays, and a later install brings the entry back.
  const fs::path autostart = places.configHome / "autostart" / (std::string(kAppId) + ".desktop");
  if (fs::exists(autostart, ec) && entryRunsOurs(autostart, places)) {
    if (fs::remove(autostart, ec)) removed(autostart, "the launch-at-login entry");
    else failed(autostart, ec);
  }

  for (const auto& [p, what] : {std::pair{places.current(), "the current version's link"},
                                 std::pair{places.versions(), "every installed version"}}) {
    if (!fs::exists(fs::symlink_status(p, ec))) continue;
    fs::remove_all(p, ec);
    if (ec) failed(p, ec);
    else removed(p, what);
  }
  if (fs::is_directory(places.root(), ec) && fs::is_empty(places.root(), ec)) fs::remove(places.root(), ec);
  refreshCaches(places);

  if (!removedAny && status == 0) {
    out << "Nimbo is not installed in " << places.root().string() << "; nothing to remove.\n";
    return 0;
  }
  out << "Kept your captures, history and settings (" << (places.dataHome / kAppId).string() << ", "
      << (places.configHome / kAppId).string() << ").\n";
  return status;
}

}  // namespace nimbo::local_install
