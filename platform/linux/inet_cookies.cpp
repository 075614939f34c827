// The process cookie store: one SoupCookieJar shared by every session of this layer and by
// the embedded browser bridge, its cookie files in the Cookies folder, and the WinInet
// cookie calls on top of it.
#include <glib/gstdio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/inet.h"
#include "platform/linux/inet_internal.h"
#include "platform/linux/inet_store.h"
#include "platform/sys.h"

namespace tessaro::inet {
namespace {

using detail::Fail;
using detail::GFree;
using detail::GUriUnref;

using ObserverList = std::vector<std::pair<std::uint64_t, CookieObserver>>;

struct Store {
  SoupCookieJar* jar = nullptr;
  std::string folder;  // with a trailing "/"

  std::mutex observersMutex;
  std::shared_ptr<const ObserverList> observers = std::make_shared<ObserverList>();
  std::uint64_t nextObserverId = 1;

  // The jar holds its own lock while it emits "changed", so the handler takes only
  // dirtyMutex, and nothing holds dirtyMutex while calling into the jar.
  std::mutex dirtyMutex;
  std::set<std::string> dirtyHosts;
  std::mutex writeMutex;  // one writer of the files at a time
  std::atomic<bool> dirty{false};
};

// Who is changing the jar on this thread, and how many changes it has made; the jar emits
// "changed" synchronously on the changing thread.
thread_local CookieOrigin tOrigin = CookieOrigin::kStore;
thread_local std::uint64_t tChanges = 0;

Store& TheStore();

// The key of a cookie's file: its domain without the leading dot, reduced to bytes that
// are safe in a file name.
std::string HostKey(const char* domain) {
  std::string key = domain != nullptr ? domain : "";
  if (!key.empty() && key.front() == '.') key.erase(0, 1);
  for (char& c : key) {
    if (!g_ascii_isalnum(c) && c != '-' && c != '.' && c != '_') c = '_';
  }
  if (key.empty() || key == "." || key == "..") key = "_";
  return key;
}

bool IsPersistent(const SoupCookie* c) {
  return c != nullptr && soup_cookie_get_expires(const_cast<SoupCookie*>(c)) != nullptr;
}

bool IsExpired(SoupCookie* c) {
  GDateTime* expires = soup_cookie_get_expires(c);
  if (expires == nullptr) return false;
  GDateTime* now = g_date_time_new_now_utc();
  bool past = g_date_time_compare(expires, now) <= 0;
  g_date_time_unref(now);
  return past;
}

void OnJarChanged(SoupCookieJar*, SoupCookie* oldCookie, SoupCookie* newCookie, gpointer) {
  ++tChanges;
  Store& s = TheStore();
  if (IsPersistent(oldCookie) || IsPersistent(newCookie)) {
    std::lock_guard lock(s.dirtyMutex);
    if (oldCookie != nullptr) s.dirtyHosts.insert(HostKey(soup_cookie_get_domain(oldCookie)));
    if (newCookie != nullptr) s.dirtyHosts.insert(HostKey(soup_cookie_get_domain(newCookie)));
    s.dirty = true;
  }
  std::shared_ptr<const ObserverList> observers;
  {
    std::lock_guard lock(s.observersMutex);
    observers = s.observers;
  }
  for (const auto& [id, observer] : *observers) observer(oldCookie, newCookie, tOrigin);
}

const char* SameSiteText(SoupSameSitePolicy p) {
  switch (p) {
    case SOUP_SAME_SITE_POLICY_LAX:
      return "Lax";
    case SOUP_SAME_SITE_POLICY_STRICT:
      return "Strict";
    case SOUP_SAME_SITE_POLICY_NONE:
      break;
  }
  return "None";
}

bool HasLineBreakOrTab(const char* s) {
  return s != nullptr && std::strpbrk(s, "\t\r\n") != nullptr;
}

// One cookies.txt line: domain, subdomains flag, path, secure, expiry (seconds since the
// epoch), name, value; HttpOnly cookies carry the usual "#HttpOnly_" prefix, and an eighth
// field keeps the SameSite policy, as libsoup's own text jar writes it.
void AppendCookieLine(std::string& out, SoupCookie* c) {
  const char* domain = soup_cookie_get_domain(c);
  const char* path = soup_cookie_get_path(c);
  const char* name = soup_cookie_get_name(c);
  const char* value = soup_cookie_get_value(c);
  if (HasLineBreakOrTab(domain) || HasLineBreakOrTab(path) || HasLineBreakOrTab(name) ||
      HasLineBreakOrTab(value)) {
    return;  // cannot be written in this form; it lives on in memory
  }
  if (soup_cookie_get_http_only(c)) out += "#HttpOnly_";
  out += domain;
  out += domain[0] == '.' ? "\tTRUE\t" : "\tFALSE\t";
  out += path;
  out += soup_cookie_get_secure(c) ? "\tTRUE\t" : "\tFALSE\t";
  out += std::to_string(g_date_time_to_unix(soup_cookie_get_expires(c)));
  out += '\t';
  out += name;
  out += '\t';
  out += value;
  out += '\t';
  out += SameSiteText(soup_cookie_get_same_site_policy(c));
  out += '\n';
}

// Writes or removes the files of the given hosts. Called with writeMutex held.
bool WriteHostFiles(Store& s, const std::set<std::string>& hosts) {
  std::map<std::string, std::string> contents;
  for (const auto& h : hosts) contents[h];
  GSList* all = soup_cookie_jar_all_cookies(s.jar);
  for (GSList* l = all; l != nullptr; l = l->next) {
    auto* c = static_cast<SoupCookie*>(l->data);
    if (!IsPersistent(c) || IsExpired(c)) continue;
    auto it = contents.find(HostKey(soup_cookie_get_domain(c)));
    if (it == contents.end()) continue;
    if (it->second.empty()) it->second = "# Netscape HTTP Cookie File\n";
    AppendCookieLine(it->second, c);
  }
  soup_cookies_free(all);

  if (g_mkdir_with_parents(s.folder.c_str(), 0700) != 0) {
    Fail("cannot create the cookie folder " + s.folder, nullptr, detail::Severity::kStorage);
    return false;
  }
  bool ok = true;
  for (const auto& [host, text] : contents) {
    std::string path = s.folder + host + ".txt";
    if (text.empty()) {
      if (g_remove(path.c_str()) != 0 && errno != ENOENT) {
        ok =
            Fail("cannot remove the cookie file " + path, nullptr, detail::Severity::kStorage) != 0;
      }
      continue;
    }
    GError* error = nullptr;
    if (!g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), &error)) {
      ok = Fail("cannot write the cookie file " + path, error, detail::Severity::kStorage) != 0;
    }
  }
  return ok;
}

bool Flush(Store& s) {
  if (!s.dirty.load()) return true;
  std::lock_guard writing(s.writeMutex);
  std::set<std::string> hosts;
  {
    std::lock_guard lock(s.dirtyMutex);
    hosts.swap(s.dirtyHosts);
    s.dirty = false;
  }
  if (hosts.empty()) return true;
  if (!WriteHostFiles(s, hosts)) {
    // Try again at the next flush rather than lose the change.
    std::lock_guard lock(s.dirtyMutex);
    s.dirtyHosts.insert(hosts.begin(), hosts.end());
    s.dirty = true;
    return false;
  }
  return true;
}

void LoadCookieFile(SoupCookieJar* jar, const std::string& path) {
  gchar* text = nullptr;
  gsize length = 0;
  GError* error = nullptr;
  if (!g_file_get_contents(path.c_str(), &text, &length, &error)) {
    Fail("cannot read the cookie file " + path, error, detail::Severity::kStorage);
    return;
  }
  std::unique_ptr<gchar, GFree> owned(text);
  gchar** lines = g_strsplit(text, "\n", -1);
  gint64 now = g_get_real_time() / G_USEC_PER_SEC;
  for (gchar** line = lines; *line != nullptr; ++line) {
    std::string_view l = *line;
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    bool httpOnly = false;
    if (l.substr(0, 10) == "#HttpOnly_") {
      httpOnly = true;
      l.remove_prefix(10);
    } else if (l.empty() || l.front() == '#') {
      continue;
    }
    std::string copy(l);
    gchar** f = g_strsplit(copy.c_str(), "\t", -1);
    guint n = g_strv_length(f);
    if (n >= 7) {
      gint64 expires = g_ascii_strtoll(f[4], nullptr, 10);
      if (expires > now) {
        SoupCookie* c = soup_cookie_new(f[5], f[6], f[0], f[2], -1);
        GDateTime* when = g_date_time_new_from_unix_utc(expires);
        if (when != nullptr) {
          soup_cookie_set_expires(c, when);
          g_date_time_unref(when);
        }
        soup_cookie_set_secure(c, g_ascii_strcasecmp(f[3], "TRUE") == 0);
        soup_cookie_set_http_only(c, httpOnly);
        if (n >= 8) {
          if (g_ascii_strcasecmp(f[7], "Lax") == 0) {
            soup_cookie_set_same_site_policy(c, SOUP_SAME_SITE_POLICY_LAX);
          } else if (g_ascii_strcasecmp(f[7], "Strict") == 0) {
            soup_cookie_set_same_site_policy(c, SOUP_SAME_SITE_POLICY_STRICT);
          }
        }
        soup_cookie_jar_add_cookie(jar, c);
      }
    }
    g_strfreev(f);
  }
  g_strfreev(lines);
}

void LoadCookieFiles(Store& s) {
  GDir* dir = g_dir_open(s.folder.c_str(), 0, nullptr);
  if (dir == nullptr) return;  // no folder yet: nothing was saved
  while (const gchar* name = g_dir_read_name(dir)) {
    if (g_str_has_suffix(name, ".txt")) LoadCookieFile(s.jar, s.folder + name);
  }
  g_dir_close(dir);
}

void FlushAtExit() {
  Flush(TheStore());
}

Store& TheStore() {
  // Never destroyed: sessions and the browser bridge may still hold the jar while static
  // objects go away.
  static Store* store = [] {
    auto* s = new Store;
    s->folder = platform::CookiesFolder();
    if (s->folder.empty() || s->folder.back() != '/') s->folder += '/';
    s->jar = soup_cookie_jar_new();
    soup_cookie_jar_set_accept_policy(s->jar, SOUP_COOKIE_JAR_ACCEPT_ALWAYS);
    LoadCookieFiles(*s);
    g_signal_connect(s->jar, "changed", G_CALLBACK(OnJarChanged), nullptr);
    std::atexit(FlushAtExit);
    return s;
  }();
  return *store;
}

std::string_view TrimWsp(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

// A Set-Cookie line taken apart by the cookie parsing rules: the name and value as their
// bytes, and the attributes rewritten so libsoup reads them as those rules do.
struct CookieLine {
  std::string name;
  std::string value;
  std::string attributes;  // "; name=value" pieces, each trimmed
};

// False for a line the rules ignore. libsoup's own parser cuts a value at its first byte
// above 0x7F (a GBK or UTF-8 value would lose its text) and keeps tabs around names and
// values, so the pair is parsed here; an empty Domain attribute is ignored rather than
// undoing an earlier one; and a Domain naming exactly a host without a dot (localhost, an
// intranet name) makes a host-only cookie instead of a refusal.
bool SplitCookieLine(std::string_view line, const char* host, CookieLine& out) {
  std::string_view pair = line.substr(0, line.find(';'));
  std::string_view rest =
      pair.size() < line.size() ? line.substr(pair.size() + 1) : std::string_view{};
  for (char c : pair) {
    auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\t') || b == 0x7F) return false;
  }
  if (auto eq = pair.find('='); eq == std::string_view::npos) {
    out.name.clear();
    out.value = std::string(TrimWsp(pair));
  } else {
    out.name = std::string(TrimWsp(pair.substr(0, eq)));
    out.value = std::string(TrimWsp(pair.substr(eq + 1)));
  }
  if (out.name.empty() && out.value.empty()) return false;
  if (out.name.size() + out.value.size() > 4096) return false;
  bool dotless = std::strchr(host, '.') == nullptr;
  // The last of an attribute counts; only that one is handed on (libsoup also leaks the
  // text of a repeated one).
  std::vector<std::pair<std::string, std::string>> attributes;
  while (!rest.empty()) {
    std::string_view attr = rest.substr(0, rest.find(';'));
    rest = attr.size() < rest.size() ? rest.substr(attr.size() + 1) : std::string_view{};
    std::string_view attrName = attr;
    std::string_view attrValue;
    bool hasValue = false;
    if (auto eq = attr.find('='); eq != std::string_view::npos) {
      attrName = attr.substr(0, eq);
      attrValue = TrimWsp(attr.substr(eq + 1));
      hasValue = true;
    }
    attrName = TrimWsp(attrName);
    if (attrName.empty()) continue;
    if (attrName.size() == 6 && g_ascii_strncasecmp(attrName.data(), "domain", 6) == 0) {
      std::string_view d = attrValue;
      if (!d.empty() && d.front() == '.') d.remove_prefix(1);
      if (d.empty()) continue;
      if (dotless && d.size() == std::strlen(host) &&
          g_ascii_strncasecmp(d.data(), host, d.size()) == 0) {
        std::erase_if(attributes, [](const auto& a) { return a.first == "domain"; });
        continue;
      }
    }
    std::string key(attrName);
    for (char& ch : key) ch = g_ascii_tolower(ch);
    std::erase_if(attributes, [&](const auto& a) { return a.first == key; });
    std::string text(attrName);
    if (hasValue) {
      text += '=';
      text += attrValue;
    }
    attributes.emplace_back(std::move(key), std::move(text));
  }
  out.attributes.clear();
  for (const auto& a : attributes) {
    out.attributes += "; ";
    out.attributes += a.second;
  }
  return true;
}

}  // namespace

SoupCookieJar* ProcessCookieJar() {
  return TheStore().jar;
}

std::uint64_t AddCookieObserver(CookieObserver observer) {
  Store& s = TheStore();
  std::lock_guard lock(s.observersMutex);
  auto next = std::make_shared<ObserverList>(*s.observers);
  std::uint64_t id = s.nextObserverId++;
  next->emplace_back(id, std::move(observer));
  s.observers = std::move(next);
  return id;
}

void RemoveCookieObserver(std::uint64_t id) {
  Store& s = TheStore();
  std::lock_guard lock(s.observersMutex);
  auto next = std::make_shared<ObserverList>(*s.observers);
  std::erase_if(*next, [id](const auto& entry) { return entry.first == id; });
  s.observers = std::move(next);
}

void ApplyBrowserCookieChange(const SoupCookie* cookie, bool add) {
  if (cookie == nullptr) return;
  Store& s = TheStore();
  CookieOrigin before = tOrigin;
  tOrigin = CookieOrigin::kBrowser;
  auto* c = const_cast<SoupCookie*>(cookie);
  if (add) {
    soup_cookie_jar_add_cookie(s.jar, soup_cookie_copy(c));  // takes the copy
  } else {
    // A removal names the cookie by name, domain and path; its value may be gone already.
    GSList* all = soup_cookie_jar_all_cookies(s.jar);
    for (GSList* l = all; l != nullptr; l = l->next) {
      auto* held = static_cast<SoupCookie*>(l->data);
      if (std::strcmp(soup_cookie_get_name(held), soup_cookie_get_name(c)) == 0 &&
          g_ascii_strcasecmp(soup_cookie_get_domain(held), soup_cookie_get_domain(c)) == 0 &&
          std::strcmp(soup_cookie_get_path(held), soup_cookie_get_path(c)) == 0) {
        soup_cookie_jar_delete_cookie(s.jar, held);
      }
    }
    soup_cookies_free(all);
  }
  tOrigin = before;
  Flush(s);
}

bool FlushCookieFiles() {
  return Flush(TheStore());
}

namespace detail {
SoupCookieJar* Jar() {
  return TheStore().jar;
}
void FlushCookieFilesIfDirty() {
  Flush(TheStore());
}
}  // namespace detail

void ForgetCookiesWithoutFiles() {
  Store& s = TheStore();
  std::set<std::string> unsaved;
  {
    std::lock_guard lock(s.dirtyMutex);
    unsaved = s.dirtyHosts;
  }
  GSList* all = soup_cookie_jar_all_cookies(s.jar);
  for (GSList* l = all; l != nullptr; l = l->next) {
    auto* c = static_cast<SoupCookie*>(l->data);
    if (!IsPersistent(c)) continue;
    const std::string key = HostKey(soup_cookie_get_domain(c));
    if (unsaved.count(key) != 0) continue;
    const std::string path = s.folder + key + ".txt";
    if (!g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) soup_cookie_jar_delete_cookie(s.jar, c);
  }
  soup_cookies_free(all);
  Flush(s);
}

std::uint32_t InternetSetCookieA(const char* url, const char* cookieName, const char* cookieData) {
  if (url == nullptr || cookieData == nullptr) return 0;
  std::unique_ptr<GUri, GUriUnref> uri(detail::ParseHttpUrl(url));
  if (!uri) return 0;
  // Without a name the data is a whole "name=value; attributes" line.
  std::string line = cookieName != nullptr && cookieName[0] != '\0'
                         ? std::string(cookieName) + "=" + cookieData
                         : std::string(cookieData);
  if (line.find_first_of("\r\n") != std::string::npos) return 0;
  CookieLine parts;
  if (!SplitCookieLine(line, g_uri_get_host(uri.get()), parts)) return 0;
  // libsoup checks the attributes against the URL; the pair goes in as its bytes.
  std::string placeholder = "n=v" + parts.attributes;
  SoupCookie* cookie = soup_cookie_parse(placeholder.c_str(), uri.get());
  if (cookie != nullptr) {
    soup_cookie_set_name(cookie, parts.name.c_str());
    soup_cookie_set_value(cookie, parts.value.c_str());
  }
  if (cookie == nullptr) return 0;  // malformed, or a domain this URL may not set
  Store& s = TheStore();
  bool deleting = IsExpired(cookie);
  std::uint64_t changesBefore = tChanges;
  CookieOrigin before = tOrigin;
  tOrigin = CookieOrigin::kStore;
  // The jar takes the cookie; it refuses silently (a Secure cookie from plain http, a
  // public suffix), which shows as no change.
  soup_cookie_jar_add_cookie_full(s.jar, cookie, uri.get(), uri.get());
  tOrigin = before;
  bool stored = deleting || tChanges != changesBefore;
  Flush(s);
  return stored ? 1 : 0;
}

std::uint32_t InternetGetCookieA(const char* url, const char* cookieName, char* cookieData,
                                 std::uint32_t* size) {
  if (url == nullptr || size == nullptr) return 0;
  std::unique_ptr<GUri, GUriUnref> uri(detail::ParseHttpUrl(url));
  if (!uri) return 0;
  Store& s = TheStore();
  // What a top-level GET of this URL would carry: HttpOnly and SameSite cookies included.
  GSList* list = soup_cookie_jar_get_cookie_list_with_same_site_info(s.jar, uri.get(), uri.get(),
                                                                     uri.get(), TRUE, TRUE, TRUE);
  if (cookieName != nullptr && cookieName[0] != '\0') {
    GSList* kept = nullptr;
    for (GSList* l = list; l != nullptr; l = l->next) {
      auto* c = static_cast<SoupCookie*>(l->data);
      if (std::strcmp(soup_cookie_get_name(c), cookieName) == 0) {
        kept = g_slist_prepend(kept, c);
      } else {
        soup_cookie_free(c);
      }
    }
    g_slist_free(list);
    list = g_slist_reverse(kept);
  }
  if (list == nullptr) return 0;  // no cookie for this URL
  std::unique_ptr<char, GFree> text(soup_cookies_to_cookie_header(list));
  soup_cookies_free(list);
  auto length = static_cast<std::uint32_t>(std::strlen(text.get()));
  if (cookieData == nullptr) {
    *size = length + 1;
    return 1;
  }
  if (*size < length + 1) {
    *size = length + 1;
    return 0;
  }
  std::memcpy(cookieData, text.get(), length + 1);
  *size = length;
  return 1;
}

namespace detail {
// Ends the browser session: every cookie without an expiry leaves the store.
void EndBrowserSession() {
  Store& s = TheStore();
  GSList* all = soup_cookie_jar_all_cookies(s.jar);
  CookieOrigin before = tOrigin;
  tOrigin = CookieOrigin::kStore;
  for (GSList* l = all; l != nullptr; l = l->next) {
    auto* c = static_cast<SoupCookie*>(l->data);
    if (!IsPersistent(c)) soup_cookie_jar_delete_cookie(s.jar, c);
  }
  tOrigin = before;
  soup_cookies_free(all);
}
}  // namespace detail

}  // namespace tessaro::inet
