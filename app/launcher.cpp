// Nimbo: keyboard-first screenshots from the tray.
//
// This executable stays small on purpose: the one-shot capture and the
// command-line actions never load Qt, FFmpeg or the rest of the GUI, so they
// start in a few milliseconds. The tray application lives in libnimbo_app.so,
// loaded only when an instance has to run.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/build_info.h"
#include "app/local_install.h"
#include "app/one_shot.h"
#include "util/instance_socket.h"

extern char** environ;

namespace {

const char kUsage[] =
    "Usage: nimbo [ACTION]\n"
    "       nimbo screenshot [--screen NAME | --region X,Y,W,H] -o FILE.png\n"
    "\n"
    "Without an action, starts Nimbo in the tray (or brings the running one forward).\n"
    "\n"
    "Actions (sent to the running Nimbo, which is started when needed):\n"
    "  capture-to-clipboard   drag a region; the PNG goes to the clipboard\n"
    "  capture-and-upload     drag a region; it is uploaded and the link copied\n"
    "  record-and-upload      open the recorder, set to share a link\n"
    "  record-to-file         open the recorder, set to save a video file\n"
    "  shortcut set ACTION COMBINATION   rebind a global shortcut, e.g.\n"
    "                         nimbo shortcut set captureToClipboard Ctrl+Shift+X\n"
    "  shortcut reset ACTION  back to the default shortcut\n"
    "  edit [ID|last]         open a capture of the history in the editor\n"
    "                         (the newest one without an ID)\n"
    "\n"
    "Default shortcuts: Ctrl+` capture to clipboard, Shift+Super+U capture and\n"
    "upload, Ctrl+Shift+R record & copy link, Ctrl+Shift+S record to file.\n"
    "\n"
    "  screenshot             capture without the GUI: the whole desktop, one\n"
    "                         monitor (--screen DP-1) or a rectangle in pixels;\n"
    "                         -o - writes the PNG to standard output\n"
    "  install-local          install this unpacked archive for you alone, no root\n"
    "                         needed: the program under ~/.local/share/nimbo, the\n"
    "                         nimbo command in ~/.local/bin, menu entry and icons\n"
    "  uninstall-local        remove what install-local made; your captures,\n"
    "                         history and settings stay\n"
    "  --smoke [--smoke-target=screen|window|region] [--smoke-audio=none|system|mic|both]\n"
    "          [--smoke-seconds=N] [--smoke-self-noise=1] [--smoke-expect-signal=1]\n"
    "          [--smoke-log=FILE]  record once and check the file (exit status 0 = all passed)\n"
    "  --help, --version\n"
    "\n"
    "On Wayland sessions, bind these commands to keys in the desktop's keyboard\n"
    "settings, for example: nimbo capture-to-clipboard\n";

bool isKnownAction(const std::string& a) {
  return a == "capture-to-clipboard" || a == "capture-and-upload" || a == "record-and-upload" ||
         a == "record-to-file" || a == "shortcut" || a == "edit";
}

bool hasDisplay() {
  // The in-memory platform needs no X server.
  const char* platform = std::getenv("NIMBO_PLATFORM");
  if (platform && std::string(platform) == "fake") return true;
  const char* d = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (d && *d) || (w && *w);
}

// A Wayland session may take screenshots through the desktop portal, which
// needs the application library; X11 (forced, or without Wayland) does not.
bool mayUsePortal() {
  const char* platform = std::getenv("NIMBO_PLATFORM");
  if (platform && std::string(platform) == "x11") return false;
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (w && *w) || (platform && std::string(platform) == "wayland");
}

int noDisplay() {
  std::fprintf(stderr,
               "nimbo: no display found (neither WAYLAND_DISPLAY nor DISPLAY is set).\n"
               "Nimbo runs inside a desktop session (GNOME or KDE, Wayland or X11). Start it\n"
               "from your desktop's application menu or a terminal in that session.\n");
  return 2;
}

std::string selfPath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, size_t(n));
}

// Starts `nimbo --then ACTION` in its own session, detached from our
// terminal and pipes (whoever reads them may be gone before it is).
bool spawnInstance(const std::string& action) {
  // The instance splits the command again; argv keeps it in one piece.
  const std::string self = selfPath();
  if (self.empty()) return false;
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::string then = "--then";
  char* argv[] = {const_cast<char*>(self.c_str()), then.data(), const_cast<char*>(action.c_str()), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, self.c_str(), &fa, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  return rc == 0;
}

void* loadAppLibrary() {
  const std::string self = selfPath();
  const std::string dir = self.substr(0, self.rfind('/'));
  void* lib = nullptr;
  std::string tried;
  for (const std::string& candidate : {dir + "/libnimbo_app.so", dir + "/../lib/nimbo/libnimbo_app.so"}) {
    lib = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib) break;
    tried += std::string("\n  ") + ::dlerror();
  }
  if (!lib) std::fprintf(stderr, "nimbo: cannot load the application library:%s\n", tried.c_str());
  return lib;
}

// install-local and uninstall-local work on files only; no display needed.
int localInstall(const std::string& verb, int argc) {
  namespace li = nimbo::local_install;
  if (argc > 2) {
    std::fprintf(stderr, "nimbo: %s takes no arguments\n", verb.c_str());
    return 2;
  }
  li::Places places;
  std::string error;
  if (!li::placesFromEnvironment(&places, &error)) {
    std::fprintf(stderr, "nimbo: %s\n", error.c_str());
    return 1;
  }
  if (verb == "uninstall-local") return li::uninstall(places, std::cout, std::cerr);
  const std::filesystem::path tree = li::treeOf(selfPath(), &error);
  if (tree.empty()) {
    std::fprintf(stderr, "nimbo: %s\n", error.c_str());
    return 1;
  }
  return li::install(tree, nimbo::build_info::version(), places, std::cout, std::cerr);
}

int runApp(int argc, char** argv, const std::string& action) {
  void* lib = loadAppLibrary();
  if (!lib) return 1;
  using Entry = int (*)(int, char**, const char*);
  auto entry = reinterpret_cast<Entry>(::dlsym(lib, "nimbo_app_main"));
  if (!entry) {
    std::fprintf(stderr, "nimbo: the application library has no entry point\n");
    return 1;
  }
  return entry(argc, argv, action.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--help" || first == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("nimbo %s (build %s)\n", nimbo::build_info::version(), nimbo::build_info::buildNumber());
    return 0;
  }
  if (first == "install-local" || first == "uninstall-local") return localInstall(first, argc);
  if (first == "screenshot") {
    if (!hasDisplay()) return noDisplay();
    if (!mayUsePortal()) return nimbo::runOneShot(argc, argv);
    void* lib = loadAppLibrary();
    if (!lib) return 1;
    using Entry = int (*)(int, char**, int (*)(int, char**));
    auto entry = reinterpret_cast<Entry>(::dlsym(lib, "nimbo_portal_one_shot"));
    if (!entry) {
      std::fprintf(stderr, "nimbo: the application library has no screenshot entry point\n");
      return 1;
    }
    return entry(argc, argv, &nimbo::runOneShot);
  }
  // The recording self-test runs on its own, beside any running instance.
  const char* smokeEnv = std::getenv("NIMBO_SMOKE");
  bool smoke = smokeEnv && std::strcmp(smokeEnv, "1") == 0;
  for (int i = 1; i < argc; ++i) smoke = smoke || std::strcmp(argv[i], "--smoke") == 0;
  if (smoke) return hasDisplay() ? runApp(argc, argv, "") : noDisplay();

  // `--then ACTION` is how a command-line action starts the instance it needs.
  const bool spawned = first == "--then";
  // The whole command line after the program (or after --then) is the action.
  std::string action;
  for (int i = spawned ? 2 : 1; i < argc; ++i) action += (action.empty() ? "" : " ") + std::string(argv[i]);
  const std::string verb = action.substr(0, action.find(' '));
  if (!action.empty() && (!isKnownAction(verb) || (verb != "shortcut" && verb != "edit" && verb != action))) {
    std::fprintf(stderr, "nimbo: unknown action '%s'\n\n%s", action.c_str(), kUsage);
    return 2;
  }
  if (!hasDisplay()) return noDisplay();

  if (!spawned) {
    using nimbo::instance_socket::SendResult;
    std::string reply;
    const SendResult r = nimbo::instance_socket::send(action.empty() ? "activate" : action, 3000, &reply);
    if (r == SendResult::acknowledged) return 0;
    if (r == SendResult::refused) {
      std::fprintf(stderr, "nimbo: %s\n", reply.c_str());
      return 1;
    }
    if (r == SendResult::failed) {
      // Something listens but does not answer: starting a second instance
      // would only add to it.
      std::fprintf(stderr, "nimbo: the running Nimbo did not answer\n");
      return 1;
    }
    if (!action.empty()) {
      if (spawnInstance(action)) return 0;
      std::fprintf(stderr, "nimbo: could not start the Nimbo instance\n");
      return 1;
    }
  }
  return runApp(argc, argv, action);
}
