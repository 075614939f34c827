#include "app/e2e/desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

#include "support/process.h"

namespace tessaro::testing {

namespace {

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const std::string& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

bool Which(const std::string& program, std::string* path) {
  gchar* found = g_find_program_in_path(program.c_str());
  if (found == nullptr) return false;
  *path = found;
  g_free(found);
  return true;
}

// Runs a program to its end; its standard output.
std::string RunCapture(const std::vector<std::string>& argv, int* status) {
  gchar* out = nullptr;
  gint waitStatus = 0;
  std::vector<char*> args = CStrings(argv);
  const bool ok = g_spawn_sync(nullptr, args.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                               nullptr, &out, nullptr, &waitStatus, nullptr);
  std::string text = out != nullptr ? out : "";
  g_free(out);
  if (status != nullptr) *status = ok && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

Desktop::~Desktop() { Stop(); }

bool Desktop::Start() {
  std::string xvfb, openbox;
  if (!Which("Xvfb", &xvfb) || !Which("openbox", &openbox)) {
    error_ = "Xvfb and openbox are needed (scripts/install-deps.sh installs them)";
    return false;
  }
  int out = -1;
  xvfb_ = SpawnChild({xvfb, "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                     &out, "/dev/null", &error_);
  if (xvfb_ == 0) return false;
  // Xvfb writes the display number once it accepts clients.
  std::string number;
  char c;
  while (read(out, &c, 1) == 1 && c != '\n') number += c;
  close(out);
  if (number.empty()) {
    error_ = "Xvfb did not start";
    StopChild(xvfb_);
    return false;
  }
  display_ = ":" + number;
  setenv("DISPLAY", display_.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  setenv("NO_AT_BRIDGE", "1", 1);
  wm_ = SpawnChild({openbox, "--sm-disable"}, nullptr, "/dev/null", &error_);
  if (wm_ == 0) return false;
  // The window manager is up once it has announced itself on the root window.
  const bool up = WaitUntil(
      [] {
        int status = 0;
        std::string p = RunCapture({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, &status);
        return status == 0 && p.find("window id") != std::string::npos;
      },
      10000);
  if (!up) {
    error_ = "openbox did not start";
    return false;
  }
  return true;
}

void Desktop::Stop() {
  if (wm_ != 0) StopChild(wm_);
  if (xvfb_ != 0) StopChild(xvfb_);
}

Desktop& SharedDesktop() {
  static Desktop* desktop = [] {
    auto* d = new Desktop;
    d->Start();
    return d;
  }();
  return *desktop;
}

std::string Xdo(const std::vector<std::string>& args, int* status) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCapture(argv, status);
}

namespace {

// Windows come and go while the program runs (menus, the browser's own), so a window may
// vanish between listing and asking: such errors are ignored.
int IgnoreXErrors(::Display*, XErrorEvent*) { return 0; }

::Display* XConnection() {
  static ::Display* display = [] {
    XSetErrorHandler(IgnoreXErrors);
    return XOpenDisplay(nullptr);
  }();
  return display;
}

std::string Utf8Property(::Display* d, Window w, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string value;
  if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 4096, False,
                         XInternAtom(d, "UTF8_STRING", False), &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr) {
    value.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return value;
}

}  // namespace

// The window manager's list of client windows, each with its title.
std::vector<std::string> FindWindows(const std::string& titleRegex) {
  std::vector<std::string> ids;
  ::Display* d = XConnection();
  if (d == nullptr) return ids;
  const std::regex pattern(titleRegex);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_CLIENT_LIST", False), 0,
                         4096, False, XA_WINDOW, &type, &format, &count, &after,
                         &data) != Success ||
      data == nullptr)
    return ids;
  const auto* windows = reinterpret_cast<const unsigned long*>(data);
  for (unsigned long i = 0; i < count; ++i) {
    const Window w = windows[i];
    XWindowAttributes attributes;
    if (XGetWindowAttributes(d, w, &attributes) == 0 || attributes.map_state != IsViewable)
      continue;
    if (std::regex_search(Utf8Property(d, w, "_NET_WM_NAME"), pattern))
      ids.push_back(std::to_string(w));
  }
  XFree(data);
  return ids;
}

std::string WindowTitle(const std::string& window) {
  ::Display* d = XConnection();
  if (d == nullptr) return "";
  return Utf8Property(d, static_cast<Window>(std::stoul(window)), "_NET_WM_NAME");
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void PressKeys(const std::string& window, const std::vector<std::string>& keys) {
  Xdo({"windowactivate", "--sync", window});
  std::vector<std::string> args{"key", "--delay", "30"};
  args.insert(args.end(), keys.begin(), keys.end());
  Xdo(args);
}

void TypeText(const std::string& window, const std::string& text) {
  Xdo({"windowactivate", "--sync", window});
  Xdo({"type", "--delay", "30", text});
}

void ClickAt(const std::string& window, int x, int y) {
  // No --sync: it waits for the pointer to move, which never happens when it is there already.
  Xdo({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
}

AppProcess::~AppProcess() {
  if (pid_ != 0 && !ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool AppProcess::Start(const std::string& folder, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& extraEnv) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv = *e;
    const auto eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  env["HOME"] = folder + "/.home";
  env["XDG_CONFIG_HOME"] = folder + "/.config";
  env["XDG_DATA_HOME"] = folder + "/.local/share";
  env["XDG_CACHE_HOME"] = folder + "/.cache";
  env["NO_AT_BRIDGE"] = "1";
  for (const auto& [k, v] : extraEnv) env[k] = v;
  std::vector<std::string> envList;
  for (const auto& [k, v] : env) envList.push_back(k + "=" + v);

  std::vector<std::string> argv{AppPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  stderrPath_ = folder + "/.app-stderr.txt";
  // The program's standard error goes to a file, for the failure messages of the tests.
  std::vector<std::string> shell{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$STDERR_PATH\""};
  shell.insert(shell.end(), argv.begin(), argv.end());
  envList.push_back("STDERR_PATH=" + stderrPath_);
  std::vector<char*> a = CStrings(shell);
  std::vector<char*> e = CStrings(envList);
  GError* error = nullptr;
  GPid pid = 0;
  if (!g_spawn_async(folder.c_str(), a.data(), e.data(), G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                     nullptr, &pid, &error)) {
    error_ = error->message;
    g_error_free(error);
    return false;
  }
  pid_ = pid;
  ended_ = false;
  return true;
}

bool AppProcess::Running() {
  if (pid_ == 0 || ended_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  return !ended_;
}

int AppProcess::Wait(int timeoutMs) {
  if (!WaitUntil([this] { return !Running(); }, timeoutMs)) return -1;
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  return -2;
}

std::string AppProcess::Stderr() const { return ReadFileText(stderrPath_); }

std::string AppPath() { return TESSARO_APP_PATH; }

}  // namespace tessaro::testing
