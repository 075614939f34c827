// Child processes and loopback ports for the integration tests.
#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tessaro::testing {

pid_t SpawnChild(const std::vector<std::string>& argv, int* stdoutFd, const std::string& stderrPath,
                 std::string* error) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipeFds[2] = {-1, -1};
  if (stdoutFd && pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return 0;
  }
  int errFd = -1;
  if (!stderrPath.empty()) {
    errFd = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    if (error) *error = std::string("fork: ") + std::strerror(errno);
    return 0;
  }
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (stdoutFd) dup2(pipeFds[1], 1);
    if (errFd >= 0) dup2(errFd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execv(args[0], args.data());
    _exit(127);
  }
  if (errFd >= 0) close(errFd);
  if (stdoutFd) {
    close(pipeFds[1]);
    *stdoutFd = pipeFds[0];
  }
  return pid;
}

bool ChildRunning(pid_t pid) {
  if (pid <= 0) return false;
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == 0;
}

void StopChild(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid = 0;
}

std::uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

bool WaitForPort(std::uint16_t port, pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!ChildRunning(pid)) return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string MakeTempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return {};
  return buf.data();
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string IsolateXdgFolders() {
  // Once per process: every test file of a binary may ask, and all share the folder, which
  // goes when the process exits.
  // Never destroyed, so the exit handler below can still read it.
  static const std::string* dir = [] {
    auto* d = new std::string(MakeTempDir("tessaro-xdg-"));
    if (d->empty()) return d;
    for (const char* sub : {"config", "cache", "data"})
      std::filesystem::create_directories(*d + "/" + sub);
    setenv("XDG_CONFIG_HOME", (*d + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (*d + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (*d + "/data").c_str(), 1);
    std::atexit([] { RemoveTree(IsolateXdgFolders()); });
    return d;
  }();
  return *dir;
}

bool IsExecutable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

}  // namespace tessaro::testing
