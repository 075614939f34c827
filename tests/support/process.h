// Child processes and loopback ports for the integration tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::testing {

// Starts argv[0] (a path) with argv. With stdoutFd, its standard output is a pipe whose
// read end is stored there; stderrPath, when given, receives its standard error. The child
// is killed when the test process dies. Returns the pid, or 0 with *error set.
pid_t SpawnChild(const std::vector<std::string>& argv, int* stdoutFd, const std::string& stderrPath,
                 std::string* error);

// SIGTERM, a wait of up to 3 s, then SIGKILL. Sets pid to 0.
void StopChild(pid_t& pid);

// True while the child runs (it is reaped when it has ended).
bool ChildRunning(pid_t pid);

// A loopback port that was free a moment ago.
std::uint16_t FreeLoopbackPort();

// Waits until 127.0.0.1:port accepts a connection, while pid runs. False on timeout or exit.
bool WaitForPort(std::uint16_t port, pid_t pid, int timeoutMs);

// A fresh folder under $TMPDIR or /tmp, and its removal with everything in it.
std::string MakeTempDir(const std::string& prefix);
void RemoveTree(const std::string& path);

// The whole file, or "" when it cannot be read.
std::string ReadFileText(const std::string& path);

// Points XDG_CONFIG_HOME, XDG_CACHE_HOME and XDG_DATA_HOME at fresh folders under one
// temporary folder (returned), so the cookie store, cache and registry of the test process
// start empty and never touch the user's. Call before the first use of the platform layer,
// for instance from a static initialiser of the test file. Later calls return the same
// folder; it is removed when the process exits.
std::string IsolateXdgFolders();

// True when path names an executable file.
bool IsExecutable(const std::string& path);

}  // namespace tessaro::testing
