// Folders, the file-backed registry hive, the tick count and the run directory on Linux.
#include "platform/sys.h"

#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tessaro::platform {
namespace {

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

std::string WithoutSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Read afresh at every call, so a changed environment (tests pointing at temporary folders)
// takes effect at once.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return "/tmp";
}

// An XDG base folder: the variable when it holds an absolute path, else HOME + fallback.
std::string XdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return WithoutSlash(value);
  return WithoutSlash(HomeFolder()) + "/" + fallback;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

const char* RootName(int root) {
  switch (root) {
    case kRootClassesRoot: return "HKEY_CLASSES_ROOT";
    case kRootCurrentConfig: return "HKEY_CURRENT_CONFIG";
    case kRootLocalMachine: return "HKEY_LOCAL_MACHINE";
    case kRootUsers: return "HKEY_USERS";
    default: return "HKEY_CURRENT_USER";
  }
}

// %NAME% is replaced by the variable's value; unknown names stay as they are.
std::string ExpandVariables(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t open = text.find('%', i);
    if (open == std::string_view::npos) break;
    std::size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(i, open - i));
    std::string name(text.substr(open + 1, close - open - 1));
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out += value;
      i = close + 1;
    } else {
      // Keep the first "%" and look again from the second, which may open a known name.
      out += '%';
      i = open + 1;
      out.append(text.substr(i, close - i));
      i = close;
    }
  }
  out.append(text.substr(std::min(i, text.size())));
  return out;
}

enum class ValueType { kString, kExpandString, kOther };

// Splits "type:text" into its type and text; a value without a known prefix is a REG_SZ,
// so a Windows-looking "C:\..." is text.
ValueType TypeOf(std::string_view& value) {
  static constexpr std::string_view kOtherTypes[] = {"dword:", "qword:", "binary:", "multi:",
                                                     "hex:", "hex("};
  if (StartsWithIgnoreCase(value, "sz:")) {
    value.remove_prefix(3);
    return ValueType::kString;
  }
  if (StartsWithIgnoreCase(value, "expand:")) {
    value.remove_prefix(7);
    return ValueType::kExpandString;
  }
  for (std::string_view prefix : kOtherTypes) {
    if (StartsWithIgnoreCase(value, prefix)) return ValueType::kOther;
  }
  return ValueType::kString;
}

constexpr std::string_view kShellFoldersKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

}  // namespace

std::string InternetCacheFolder() { return XdgFolder("XDG_CACHE_HOME", ".cache") + "/tessaro/"; }

std::string DefaultCookiesFolder() {
  return XdgFolder("XDG_DATA_HOME", ".local/share") + "/tessaro/Cookies/";
}

std::string CookiesFolder() {
  std::string folder;
  ReadRegistryString(kRootCurrentUser, kShellFoldersKey, "Cookies", folder);
  return folder;
}

std::string RegistryHivePath() { return XdgFolder("XDG_CONFIG_HOME", ".config") + "/tessaro/registry.ini"; }

std::string SpecialFolderPath(int csidl) {
  if (csidl == 32) return WithoutSlash(InternetCacheFolder());
  if (csidl == 1) {
    const char* tmp = std::getenv("TMPDIR");
    return (tmp != nullptr && tmp[0] == '/') ? WithoutSlash(tmp) : std::string("/tmp");
  }
  return {};
}

std::string ShortPath(std::string_view path) {
  if (path.empty()) return {};
  std::string input(path);
  char resolved[PATH_MAX];
  if (realpath(input.c_str(), resolved) == nullptr) return {};
  std::string result(resolved);
  struct stat st {};
  if (input.back() == '/' && stat(resolved, &st) == 0 && S_ISDIR(st.st_mode)) {
    result = WithSlash(std::move(result));
  }
  return result;
}

bool ReadRegistryString(int root, std::string_view keyPath, std::string_view valueName,
                        std::string& value) {
  while (!keyPath.empty() && keyPath.front() == '\\') keyPath.remove_prefix(1);
  while (!keyPath.empty() && keyPath.back() == '\\') keyPath.remove_suffix(1);
  std::string wantedKey = RootName(root);
  if (!keyPath.empty()) wantedKey += "\\" + std::string(keyPath);
  std::string_view wantedName = valueName.empty() ? std::string_view("@") : valueName;

  std::ifstream hive(RegistryHivePath(), std::ios::binary);
  std::string line;
  bool inKey = false;
  while (hive && std::getline(hive, line)) {
    std::string_view l = Trim(line);
    if (l.empty() || l.front() == ';' || l.front() == '#') continue;
    if (l.front() == '[') {
      inKey = l.back() == ']' && EqualsIgnoreCase(Trim(l.substr(1, l.size() - 2)), wantedKey);
      continue;
    }
    if (!inKey) continue;
    // Value text is taken as written after "=", only the line end removed.
    std::string_view raw = line;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::size_t eq = raw.find('=');
    if (eq == std::string_view::npos || !EqualsIgnoreCase(Trim(raw.substr(0, eq)), wantedName)) {
      continue;
    }
    std::string_view text = raw.substr(eq + 1);
    ValueType type = TypeOf(text);
    if (type == ValueType::kOther) return false;
    text = text.substr(0, text.find('\0'));
    value = type == ValueType::kExpandString ? ExpandVariables(text) : std::string(text);
    return true;
  }
  // The browser's Cookies folder always exists for the current user on Windows; here the
  // hive may name none, and then the default folder answers.
  if (root != kRootClassesRoot && root != kRootCurrentConfig && root != kRootLocalMachine &&
      root != kRootUsers && EqualsIgnoreCase(keyPath, kShellFoldersKey) &&
      EqualsIgnoreCase(valueName, "Cookies")) {
    value = WithoutSlash(DefaultCookiesFolder());
    return true;
  }
  return false;
}

std::uint32_t UptimeMs() {
  timespec ts {};
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) clock_gettime(CLOCK_MONOTONIC, &ts);
  auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
            static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps like the tick count
}

std::string RunDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string exe(buffer, static_cast<std::size_t>(n));
  std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

}  // namespace tessaro::platform
