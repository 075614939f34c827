// A desktop of the tests' own for driving the real window as a person would: an X server
// (Xvfb) with a window manager (openbox), xdotool to type and click, the window manager's
// list of windows to find them by title, and the application as a child process with its
// own folders.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tessaro::testing {

class Desktop {
 public:
  Desktop() = default;
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // Starts Xvfb on a free display and openbox on it, and points DISPLAY of this process
  // (and so of every child) at it. False with Error() set when either is missing or fails.
  bool Start();
  void Stop();
  const std::string& Error() const { return error_; }
  const std::string& Display() const { return display_; }

 private:
  pid_t xvfb_ = 0;
  pid_t wm_ = 0;
  std::string display_;
  std::string error_;
};

// The desktop of this test process, started on first use.
Desktop& SharedDesktop();

// Runs xdotool with args and returns its standard output without the final newline;
// *status gets its exit status.
std::string Xdo(const std::vector<std::string>& args, int* status = nullptr);

// The visible windows whose title matches the regular expression, newest last.
std::vector<std::string> FindWindows(const std::string& titleRegex);
std::string WindowTitle(const std::string& window);

// Calls condition every 20 ms until it holds or timeoutMs has passed.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// Sends keys to a window after giving it the focus, as typing into it would.
void PressKeys(const std::string& window, const std::vector<std::string>& keys);
void TypeText(const std::string& window, const std::string& text);
// A left click at x,y of the window's client area.
void ClickAt(const std::string& window, int x, int y);

// The application under test, started in a folder of its own.
class AppProcess {
 public:
  AppProcess() = default;
  ~AppProcess();
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  // Starts the program in folder with args. XDG folders and HOME point into folder, so
  // nothing of the user's is read or written; extraEnv adds or replaces variables.
  bool Start(const std::string& folder, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& extraEnv = {});
  // The exit code once the program has ended; -1 when it still runs after timeoutMs, -2
  // when it died of a signal.
  int Wait(int timeoutMs);
  bool Running();
  pid_t Pid() const { return pid_; }
  const std::string& Error() const { return error_; }
  std::string Stderr() const;

 private:
  pid_t pid_ = 0;
  int status_ = 0;
  bool ended_ = false;
  std::string stderrPath_;
  std::string error_;
};

// The application's binary of this build.
std::string AppPath();

}  // namespace tessaro::testing
