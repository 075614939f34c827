// WinInet-shaped HTTP on libsoup 3: handles, process-wide sessions, requests, reads and
// header queries. Cookies live in inet_cookies.cpp, the response cache in inet_cache.cpp.
#include "platform/inet.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/linux/inet_internal.h"

namespace tessaro::inet {
namespace {

using detail::CacheEntry;
using detail::Fail;
using detail::GRef;
using detail::GUriUnref;

constexpr std::uint32_t kFlagAsync = 0x10000000u;
constexpr std::uint32_t kQueryFlagRequestHeaders = 0x80000000u;
constexpr std::uint32_t kQueryFlagSystemTime = 0x40000000u;
constexpr std::uint32_t kQueryModifierMask = 0xF0000000u;
constexpr std::uint32_t kQueryCustom = 65535;
constexpr std::uint32_t kOptionRefresh = 37;
constexpr std::uint32_t kOptionSettingsChanged = 39;

enum class Kind : std::uint8_t { kInternet, kConnection, kRequest };

struct Object {
  Kind kind = Kind::kInternet;
  Handle parent = 0;
  std::vector<Handle> children;  // guarded by the table's mutex
  GRef<GCancellable> cancellable{g_cancellable_new()};

  // Internet handle
  SoupSession* session = nullptr;  // process-wide, never freed
  std::string agent;
  // Connection handle
  std::string host;
  int port = 0;
  bool https = false;
  // Request handle
  std::uint32_t flags = 0;
  std::string referrer;

  // Request I/O, guarded by io.
  std::mutex io;
  GRef<SoupMessage> msg;
  GRef<GInputStream> stream;
  bool sent = false;
  bool atEnd = false;
  bool failed = false;
  std::unique_ptr<CacheEntry> cache;

  ~Object() {
    if (cache) cache->Finish(false);
  }
};

using ObjectPtr = std::shared_ptr<Object>;

struct Table {
  std::mutex mutex;
  std::unordered_map<Handle, ObjectPtr> objects;
  Handle next = 0x00CC0004u;
};

Table& TheTable() {
  static auto* table = new Table;  // outlives every static that may still close a handle
  return *table;
}

Handle Insert(ObjectPtr obj) {
  Table& t = TheTable();
  std::lock_guard lock(t.mutex);
  Handle id;
  do {
    id = t.next;
    t.next += 4;
    if (t.next == 0) t.next = 4;
  } while (id == 0 || t.objects.contains(id));
  if (obj->parent != 0) {
    auto parent = t.objects.find(obj->parent);
    if (parent == t.objects.end()) return 0;  // the parent was closed meanwhile
    parent->second->children.push_back(id);
  }
  t.objects.emplace(id, std::move(obj));
  return id;
}

ObjectPtr Find(Handle h, Kind kind) {
  Table& t = TheTable();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(h);
  if (it == t.objects.end() || it->second->kind != kind) return nullptr;
  return it->second;
}

ObjectPtr FindAny(Handle h) {
  Table& t = TheTable();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(h);
  return it == t.objects.end() ? nullptr : it->second;
}

// ---- Sessions ----

bool IsProxyAddressByte(char c) {
  return g_ascii_isalnum(c) || c == '-' || c == '.' || c == '_' || c == ':' || c == '[' || c == ']';
}

// "http=host:port https=host:port" or a bare "host:port" for every scheme, as WinInet
// takes it. False when no entry is usable.
bool ConfigureProxyList(GSimpleProxyResolver* resolver, std::string_view list) {
  bool any = false;
  std::string text(list);
  gchar** entries = g_strsplit_set(text.c_str(), " \t;", -1);
  for (gchar** e = entries; *e != nullptr; ++e) {
    std::string_view entry = *e;
    if (entry.empty()) continue;
    std::string scheme;
    if (auto eq = entry.find('='); eq != std::string_view::npos) {
      scheme = std::string(entry.substr(0, eq));
      for (char& c : scheme) c = g_ascii_tolower(c);
      entry.remove_prefix(eq + 1);
    }
    if (entry.size() > 7 && g_ascii_strncasecmp(entry.data(), "http://", 7) == 0) {
      entry.remove_prefix(7);
    }
    while (!entry.empty() && entry.back() == '/') entry.remove_suffix(1);
    if (entry.empty() || !std::all_of(entry.begin(), entry.end(), IsProxyAddressByte)) continue;
    std::string uri = "http://" + std::string(entry);
    if (scheme.empty()) {
      g_simple_proxy_resolver_set_default_proxy(resolver, uri.c_str());
      any = true;
    } else if (scheme == "http" || scheme == "https") {
      g_simple_proxy_resolver_set_uri_proxy(resolver, scheme.c_str(), uri.c_str());
      any = true;
    }
  }
  g_strfreev(entries);
  return any;
}

// One session per way out, shared by every Internet handle that goes that way, so its idle
// keep-alive connections serve the next handle too. Sessions are configured completely
// here, on the creating thread, before their first request, as libsoup requires.
SoupSession* SessionFor(std::uint32_t access, const char* proxy, const char* bypass) {
  static std::mutex mutex;
  static auto* sessions = new std::map<std::string, SoupSession*>;
  std::string key = std::to_string(access);
  if (access == kOpenTypeProxy) {
    key += '\n';
    key += proxy;
    key += '\n';
    key += bypass != nullptr ? bypass : "";
  }
  std::lock_guard lock(mutex);
  if (auto it = sessions->find(key); it != sessions->end()) return it->second;

  GRef<GSimpleProxyResolver> resolver;
  if (access == kOpenTypeProxy) {
    std::vector<std::string> ignore;
    if (bypass != nullptr) {
      gchar** hosts = g_strsplit_set(bypass, " \t;", -1);
      for (gchar** h = hosts; *h != nullptr; ++h) {
        // "<local>" (names without a dot) has no counterpart in GLib's list.
        if (**h != '\0' && std::strcmp(*h, "<local>") != 0) ignore.emplace_back(*h);
      }
      g_strfreev(hosts);
    }
    std::vector<const gchar*> ignorePtrs;
    for (const auto& h : ignore) ignorePtrs.push_back(h.c_str());
    ignorePtrs.push_back(nullptr);
    resolver.reset(G_SIMPLE_PROXY_RESOLVER(g_simple_proxy_resolver_new(nullptr, nullptr)));
    g_simple_proxy_resolver_set_ignore_hosts(resolver.get(),
                                             const_cast<gchar**>(ignorePtrs.data()));
    if (!ConfigureProxyList(resolver.get(), proxy)) return nullptr;
  }

  SoupSession* session =
      soup_session_new_with_options("max-conns", 64, "max-conns-per-host", 16, nullptr);
  // WinInet hands the body over as the server sent it and asks for no encoding itself.
  soup_session_remove_feature_by_type(session, SOUP_TYPE_CONTENT_DECODER);
  soup_session_remove_feature_by_type(session, SOUP_TYPE_CONTENT_SNIFFER);
  soup_session_add_feature(session, SOUP_SESSION_FEATURE(detail::Jar()));
  if (access == kOpenTypeDirect) {
    soup_session_set_proxy_resolver(session, nullptr);
  } else if (access == kOpenTypeProxy) {
    soup_session_set_proxy_resolver(session, G_PROXY_RESOLVER(resolver.get()));
  }  // preconfigured: the system's resolver, libsoup's default
  sessions->emplace(key, session);
  return session;
}

// ---- Requests ----

bool IsTokenByte(char c) {
  return g_ascii_isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), IsTokenByte);
}

struct HeaderLine {
  std::string name;
  std::string value;
};

// The caller's header text: "Name: value" lines. A CR or an LF anywhere ends a line, so
// no text can put a second header or a second request on the wire; a line without a valid
// name or with other control bytes in its value is dropped.
std::vector<HeaderLine> ParseHeaderLines(std::string_view text) {
  std::vector<HeaderLine> out;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (!IsToken(name)) continue;
    bool clean = std::none_of(value.begin(), value.end(), [](char c) {
      auto b = static_cast<unsigned char>(c);
      return (b < 0x20 && b != '\t') || b == 0x7F;
    });
    if (!clean) continue;
    out.push_back({std::string(name), std::string(value)});
  }
  return out;
}

bool NameIs(const std::string& name, const char* other) {
  return g_ascii_strcasecmp(name.c_str(), other) == 0;
}

// The jar replaces any Cookie header with its own; a Cookie line of the caller is kept in
// front of the store's cookies instead.
void KeepCallerCookies(SoupMessage* msg, gpointer data) {
  auto* callerCookies = static_cast<std::string*>(data);
  SoupMessageHeaders* headers = soup_message_get_request_headers(msg);
  const char* current = soup_message_headers_get_one(headers, "Cookie");
  if (current == nullptr || *callerCookies == current) {
    soup_message_headers_replace(headers, "Cookie", callerCookies->c_str());
  } else if (!g_str_has_prefix(current, callerCookies->c_str())) {
    std::string merged = *callerCookies + "; " + current;
    soup_message_headers_replace(headers, "Cookie", merged.c_str());
  }
}

void FreeString(gpointer data, GClosure*) {
  delete static_cast<std::string*>(data);
}

// Each hop of a redirect is a top-level navigation of its own: its own site decides which
// SameSite cookies go with it, as in a browser's address bar.
void FollowSiteForCookies(SoupMessage* msg, gpointer) {
  GUri* uri = soup_message_get_uri(msg);
  soup_message_set_first_party(msg, uri);
  soup_message_set_site_for_cookies(msg, uri);
}

void ApplyHeaders(Object& req, Object* internet, std::string_view headerText) {
  SoupMessage* msg = req.msg.get();
  SoupMessageHeaders* headers = soup_message_get_request_headers(msg);
  bool haveAgent = false;
  bool havePragma = false;
  bool haveReferer = false;
  std::string cookies;
  std::vector<std::string> replaced;
  for (auto& h : ParseHeaderLines(headerText)) {
    // Framing is ours: the body decides Content-Length, and no caller text may change how
    // the server finds the end of the request.
    if (NameIs(h.name, "Content-Length") || NameIs(h.name, "Transfer-Encoding")) continue;
    if (NameIs(h.name, "Cookie")) {
      cookies += cookies.empty() ? h.value : "; " + h.value;
      continue;
    }
    haveAgent = haveAgent || NameIs(h.name, "User-Agent");
    havePragma = havePragma || NameIs(h.name, "Pragma");
    haveReferer = haveReferer || NameIs(h.name, "Referer");
    // The first line of a name replaces whatever stood there before; more lines of the
    // same name are sent as well, as given.
    bool first = std::none_of(replaced.begin(), replaced.end(),
                              [&](const std::string& n) { return NameIs(n, h.name.c_str()); });
    if (first) {
      soup_message_headers_replace(headers, h.name.c_str(), h.value.c_str());
      replaced.push_back(h.name);
    } else {
      soup_message_headers_append(headers, h.name.c_str(), h.value.c_str());
    }
  }
  if (!haveAgent && internet != nullptr && !internet->agent.empty()) {
    soup_message_headers_replace(headers, "User-Agent", internet->agent.c_str());
  }
  if (!haveReferer && !req.referrer.empty()) {
    soup_message_headers_replace(headers, "Referer", req.referrer.c_str());
  }
  if (!havePragma && (req.flags & kFlagPragmaNoCache) != 0) {
    soup_message_headers_replace(headers, "Pragma", "no-cache");
  }
  if (!cookies.empty()) {
    soup_message_headers_replace(headers, "Cookie", cookies.c_str());
    g_signal_connect_data(msg, "starting", G_CALLBACK(KeepCallerCookies), new std::string(cookies),
                          FreeString, G_CONNECT_AFTER);
  }
}

// Builds the message of a request handle. The target is already encoded.
bool PrepareMessage(Object& req, const char* verb, bool https, const std::string& host, int port,
                    const std::string& target, const char* version) {
  std::unique_ptr<GUri, GUriUnref> uri(detail::BuildHttpUri(https, host, port, target));
  if (!uri) return false;
  req.msg.reset(soup_message_new_from_uri(verb, uri.get()));
  if (!req.msg) return false;
  SoupMessage* msg = req.msg.get();
  // libsoup picks the protocol version itself; an older version asked for is not honoured.
  (void)version;
  // Our requests stand for the user opening the page: SameSite=Lax and Strict cookies of a
  // login travel with them, as they did where SameSite did not exist.
  soup_message_set_first_party(msg, uri.get());
  soup_message_set_site_for_cookies(msg, uri.get());
  soup_message_set_is_top_level_navigation(msg, TRUE);
  // Connected before the session's cookie jar sees the message, so it runs first.
  g_signal_connect(msg, "starting", G_CALLBACK(FollowSiteForCookies), nullptr);
  if ((req.flags & kFlagNoCookies) != 0) soup_message_disable_feature(msg, SOUP_TYPE_COOKIE_JAR);
  if ((req.flags & kFlagNoAutoRedirect) != 0) {
    soup_message_add_flags(msg, SOUP_MESSAGE_NO_REDIRECT);
  }
  return true;
}

// Sends the prepared message and waits for the response headers.
bool Send(Object& req, Object* internet, std::string_view headerText, const void* body,
          std::size_t bodyLength) {
  std::lock_guard lock(req.io);
  if (req.sent || !req.msg || internet == nullptr) return false;
  req.sent = true;
  SoupMessage* msg = req.msg.get();
  ApplyHeaders(req, internet, headerText);
  if (body != nullptr && bodyLength > 0) {
    GBytes* bytes = g_bytes_new(body, bodyLength);
    soup_message_set_request_body_from_bytes(msg, nullptr, bytes);
    g_bytes_unref(bytes);
  }
  GError* error = nullptr;
  GInputStream* stream = soup_session_send(internet->session, msg, req.cancellable.get(), &error);
  detail::FlushCookieFilesIfDirty();
  if (stream == nullptr) {
    req.failed = true;
    Fail("request failed", error);
    return false;
  }
  req.stream.reset(stream);
  if ((req.flags & kFlagNoCacheWrite) == 0) req.cache.reset(CacheEntry::Begin(msg));
  return true;
}

ObjectPtr InternetOf(const Object& obj) {
  ObjectPtr cur = FindAny(obj.parent);
  while (cur && cur->kind != Kind::kInternet) cur = FindAny(cur->parent);
  return cur;
}

// ---- Header queries ----

std::string StatusLine(SoupMessage* msg) {
  std::string line =
      soup_message_get_http_version(msg) == SOUP_HTTP_1_0 ? "HTTP/1.0 " : "HTTP/1.1 ";
  line += std::to_string(soup_message_get_status(msg));
  const char* reason = soup_message_get_reason_phrase(msg);
  if (reason != nullptr && *reason != '\0') {
    line += ' ';
    line += reason;
  }
  return line;
}

struct RawCollector {
  std::string text;
  const char* separator;
};

void CollectHeader(const char* name, const char* value, gpointer data) {
  auto* c = static_cast<RawCollector*>(data);
  c->text += name;
  c->text += ": ";
  c->text += value;
  c->text += c->separator;
}

std::string RawHeaders(SoupMessage* msg, const char* separator) {
  RawCollector c{StatusLine(msg) + separator, separator};
  soup_message_headers_foreach(soup_message_get_response_headers(msg), CollectHeader, &c);
  c.text += separator;
  return c.text;
}

const char* HeaderNameOf(std::uint32_t level) {
  switch (level) {
    case 1:
      return "Content-Type";
    case 5:
      return "Content-Length";
    case 9:
      return "Date";
    case 10:
      return "Expires";
    case 11:
      return "Last-Modified";
    case 17:
      return "Pragma";
    case 23:
      return "Connection";
    case 29:
      return "Content-Encoding";
    case 33:
      return "Location";
    case 37:
      return "Server";
    case 42:
      return "Accept-Ranges";
    case 43:
      return "Set-Cookie";
    case 47:
      return "Content-Disposition";
    case 49:
      return "Cache-Control";
    case 54:
      return "ETag";
    case 63:
      return "Transfer-Encoding";
    default:
      return nullptr;
  }
}

struct OccurrenceFinder {
  const char* name;
  std::uint32_t wanted;
  std::uint32_t seen = 0;
  const char* value = nullptr;
};

void FindOccurrence(const char* name, const char* value, gpointer data) {
  auto* f = static_cast<OccurrenceFinder*>(data);
  if (f->value != nullptr || g_ascii_strcasecmp(name, f->name) != 0) return;
  if (f->seen++ == f->wanted) f->value = value;
}

// The text a query level asks for, or false when the response has none.
bool QueryText(SoupMessage* msg, std::uint32_t level, std::uint32_t index, const char* custom,
               std::string& out) {
  switch (level) {
    case kQueryRawHeadersCrlf:
      out = RawHeaders(msg, "\r\n");
      return true;
    case 21: {  // raw headers, each line ended by a zero byte
      out = RawHeaders(msg, std::string(1, '\0').c_str());
      return true;
    }
    case 18:
      out = soup_message_get_http_version(msg) == SOUP_HTTP_1_0 ? "HTTP/1.0" : "HTTP/1.1";
      return true;
    case kQueryStatusCode:
      out = std::to_string(soup_message_get_status(msg));
      return true;
    case 20: {
      const char* reason = soup_message_get_reason_phrase(msg);
      out = reason != nullptr ? reason : "";
      return true;
    }
    default:
      break;
  }
  const char* name = level == kQueryCustom ? custom : HeaderNameOf(level);
  if (name == nullptr || *name == '\0') return false;
  OccurrenceFinder f{name, index};
  soup_message_headers_foreach(soup_message_get_response_headers(msg), FindOccurrence, &f);
  if (f.value == nullptr) return false;
  out = f.value;
  return true;
}

ObjectPtr AnsweredRequest(Handle h) {
  ObjectPtr req = Find(h, Kind::kRequest);
  if (!req) return nullptr;
  std::lock_guard lock(req->io);
  if (!req->stream) return nullptr;
  return req;
}

bool SystemProxyConfigured() {
  for (const char* var :
       {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    const char* v = g_getenv(var);
    if (v != nullptr && *v != '\0') return true;
  }
  static const bool configured = [] {
    GProxyResolver* resolver = g_proxy_resolver_get_default();
    gchar** proxies = g_proxy_resolver_lookup(resolver, "http://www.example/", nullptr, nullptr);
    bool viaProxy =
        proxies != nullptr && proxies[0] != nullptr && std::strcmp(proxies[0], "direct://") != 0;
    g_strfreev(proxies);
    return viaProxy;
  }();
  return configured;
}

}  // namespace

std::uint32_t InternetGetConnectedState(std::uint32_t* flags, std::uint32_t /*reserved*/) {
  GNetworkMonitor* monitor = g_network_monitor_get_default();
  // A machine that reaches only its own loopback still counts: the monitor's "network
  // available" is what says whether a request can leave at all.
  bool connected = g_network_monitor_get_network_available(monitor) != FALSE;
  std::uint32_t f = connected ? (kConnectionLan | kConnectionConfigured) : 0;
  if (SystemProxyConfigured()) f |= kConnectionProxy;
  if (flags != nullptr) *flags = f;
  return connected ? 1 : 0;
}

Handle InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxy,
                     const char* proxyBypass, std::uint32_t flags) {
  if ((flags & kFlagAsync) != 0) return Fail("asynchronous Internet handles are not supported");
  std::uint32_t access = accessType;
  if (access == kOpenTypePreconfigNoAutoproxy) access = kOpenTypePreconfig;
  if (access != kOpenTypePreconfig && access != kOpenTypeDirect && access != kOpenTypeProxy) {
    return 0;
  }
  if (access == kOpenTypeProxy && (proxy == nullptr || *proxy == '\0')) return 0;
  SoupSession* session = SessionFor(access, proxy, proxyBypass);
  if (session == nullptr) return Fail(std::string("unusable proxy list: ") + proxy);
  auto obj = std::make_shared<Object>();
  obj->kind = Kind::kInternet;
  obj->session = session;
  if (agent != nullptr && std::strpbrk(agent, "\r\n") == nullptr) obj->agent = agent;
  return Insert(std::move(obj));
}

Handle InternetConnectA(Handle internet, const char* serverName, std::uint32_t port,
                        const char* /*userName*/, const char* /*password*/, std::uint32_t service,
                        std::uint32_t flags, std::uintptr_t /*context*/) {
  if (!Find(internet, Kind::kInternet)) return 0;
  if (service != kServiceHttp || serverName == nullptr || port > 65535) return 0;
  // The server name goes into the authority as it stands, so it must be a plain host.
  if (!detail::IsSafeHost(serverName)) return 0;
  auto obj = std::make_shared<Object>();
  obj->kind = Kind::kConnection;
  obj->parent = internet;
  obj->https = (flags & kFlagSecure) != 0;
  obj->host = serverName;
  for (char& c : obj->host) c = g_ascii_tolower(c);
  obj->port = port != 0 ? static_cast<int>(port) : (obj->https ? 443 : 80);
  return Insert(std::move(obj));
}

Handle HttpOpenRequestA(Handle connection, const char* verb, const char* objectName,
                        const char* version, const char* referrer, const char* /*acceptTypes*/,
                        std::uint32_t flags, std::uintptr_t /*context*/) {
  ObjectPtr conn = Find(connection, Kind::kConnection);
  if (!conn) return 0;
  const char* method = verb != nullptr && *verb != '\0' ? verb : "GET";
  if (!IsToken(method)) return 0;
  std::string target = detail::EncodeRequestTarget(objectName != nullptr ? objectName : "");
  if (target.empty() || target.front() != '/') target.insert(0, "/");
  auto obj = std::make_shared<Object>();
  obj->kind = Kind::kRequest;
  obj->parent = connection;
  obj->flags = flags;
  if (referrer != nullptr && std::strpbrk(referrer, "\r\n") == nullptr) obj->referrer = referrer;
  bool https = conn->https || (flags & kFlagSecure) != 0;
  int port = conn->port;
  if (https && !conn->https && port == 80) port = 443;
  if (!PrepareMessage(*obj, method, https, conn->host, port, target, version)) return 0;
  return Insert(std::move(obj));
}

std::uint32_t HttpSendRequestA(Handle request, const char* headers, std::uint32_t headersLength,
                               const void* optional, std::uint32_t optionalLength) {
  ObjectPtr req = Find(request, Kind::kRequest);
  if (!req) return 0;
  ObjectPtr internet = InternetOf(*req);
  std::string_view text;
  if (headers != nullptr) {
    text = headersLength == 0xFFFFFFFFu ? std::string_view(headers)
                                        : std::string_view(headers, headersLength);
  }
  return Send(*req, internet.get(), text, optional, optionalLength) ? 1 : 0;
}

Handle InternetOpenUrlA(Handle internet, const char* url, const char* headers,
                        std::uint32_t headersLength, std::uint32_t flags,
                        std::uintptr_t /*context*/) {
  ObjectPtr inet = Find(internet, Kind::kInternet);
  if (!inet || url == nullptr) return 0;
  std::unique_ptr<GUri, GUriUnref> uri(detail::ParseHttpUrl(url));
  if (!uri) return 0;
  std::string target = g_uri_get_path(uri.get());
  if (const char* query = g_uri_get_query(uri.get())) target += std::string("?") + query;
  auto obj = std::make_shared<Object>();
  obj->kind = Kind::kRequest;
  obj->parent = internet;
  obj->flags = flags;
  bool https = std::strcmp(g_uri_get_scheme(uri.get()), "https") == 0;
  int port = g_uri_get_port(uri.get());
  if (port <= 0) port = https ? 443 : 80;
  std::string host = g_uri_get_host(uri.get());
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  if (!PrepareMessage(*obj, "GET", https, host, port, target, nullptr)) return 0;
  Handle h = Insert(obj);
  if (h == 0) return 0;
  std::string_view text;
  if (headers != nullptr) {
    text = headersLength == 0xFFFFFFFFu ? std::string_view(headers)
                                        : std::string_view(headers, headersLength);
  }
  if (!Send(*obj, inet.get(), text, nullptr, 0)) {
    InternetCloseHandle(h);
    return 0;
  }
  return h;
}

std::uint32_t InternetCloseHandle(Handle h) {
  std::vector<ObjectPtr> closed;
  {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(h);
    if (it == t.objects.end()) return 0;
    if (auto parent = t.objects.find(it->second->parent); parent != t.objects.end()) {
      std::erase(parent->second->children, h);
    }
    std::vector<Handle> pending{h};
    while (!pending.empty()) {
      Handle cur = pending.back();
      pending.pop_back();
      auto found = t.objects.find(cur);
      if (found == t.objects.end()) continue;
      pending.insert(pending.end(), found->second->children.begin(), found->second->children.end());
      closed.push_back(found->second);
      t.objects.erase(found);
    }
  }
  // Cancelling wakes a read or send blocked on another thread at once; the objects go
  // away when the last call using them returns.
  bool wasInternet = false;
  for (const auto& obj : closed) {
    g_cancellable_cancel(obj->cancellable.get());
    wasInternet = wasInternet || obj->kind == Kind::kInternet;
  }
  closed.clear();
  if (wasInternet) detail::FlushCookieFilesIfDirty();
  return 1;
}

std::uint32_t InternetReadFile(Handle h, void* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesRead) {
  if (bytesRead == nullptr) return 0;
  *bytesRead = 0;
  ObjectPtr req = Find(h, Kind::kRequest);
  if (!req) return 0;
  if (bytesToRead == 0) return 1;
  if (buffer == nullptr) return 0;
  std::lock_guard lock(req->io);
  if (!req->stream || req->failed) return 0;
  if (req->atEnd) return 1;
  gsize got = 0;
  GError* error = nullptr;
  gboolean ok = g_input_stream_read_all(req->stream.get(), buffer, bytesToRead, &got,
                                        req->cancellable.get(), &error);
  if (!ok) {
    bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    req->failed = true;
    if (req->cache) {
      req->cache->Finish(false);
      req->cache.reset();
    }
    Fail("reading the response failed", error);
    if (cancelled || got == 0) return 0;
    // Hand over what did arrive; the next read reports the failure.
  }
  *bytesRead = static_cast<std::uint32_t>(got);
  if (req->cache && got > 0) req->cache->Write(buffer, got);
  if (ok && got < bytesToRead) {
    req->atEnd = true;
    if (req->cache) {
      req->cache->Finish(true);
      req->cache.reset();
    }
  }
  return 1;
}

std::uint32_t HttpQueryInfoNumber(Handle request, std::uint32_t infoLevel, std::uint32_t* buffer,
                                  std::uint32_t* bufferLength, std::uint32_t* index) {
  if (bufferLength == nullptr) return 0;
  std::uint32_t level = infoLevel & ~kQueryModifierMask;
  std::uint32_t modifiers = infoLevel & kQueryModifierMask;
  if ((modifiers & (kQueryFlagRequestHeaders | kQueryFlagSystemTime)) != 0) return 0;
  ObjectPtr req = AnsweredRequest(request);
  if (!req) return 0;
  std::string text;
  std::uint32_t occurrence = index != nullptr ? *index : 0;
  if (level == kQueryRawHeadersCrlf || level == 21 || level == kQueryCustom ||
      !QueryText(req->msg.get(), level, occurrence, nullptr, text)) {
    return 0;
  }
  std::string_view digits = text;
  while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
  while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
  if (digits.empty() || digits.size() > 10 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return g_ascii_isdigit(c); })) {
    return 0;
  }
  std::uint64_t value = 0;
  for (char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  if (value > 0xFFFFFFFFu) return 0;
  if (buffer == nullptr || *bufferLength < sizeof(std::uint32_t)) {
    *bufferLength = sizeof(std::uint32_t);
    return 0;
  }
  *buffer = static_cast<std::uint32_t>(value);
  *bufferLength = sizeof(std::uint32_t);
  if (index != nullptr) ++*index;
  return 1;
}

std::uint32_t HttpQueryInfoText(Handle request, std::uint32_t infoLevel, char* buffer,
                                std::uint32_t* bufferLength, std::uint32_t index) {
  if (bufferLength == nullptr) return 0;
  std::uint32_t level = infoLevel & ~kQueryModifierMask;
  if ((infoLevel & kQueryModifierMask) != 0) return 0;
  ObjectPtr req = AnsweredRequest(request);
  if (!req) return 0;
  std::string custom;
  if (level == kQueryCustom) {
    if (buffer == nullptr) return 0;
    custom.assign(buffer, strnlen(buffer, *bufferLength));
  }
  std::string text;
  if (!QueryText(req->msg.get(), level, index, custom.c_str(), text)) return 0;
  auto needed = static_cast<std::uint32_t>(text.size() + 1);
  if (buffer == nullptr || *bufferLength < needed) {
    *bufferLength = needed;
    return 0;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  *bufferLength = needed - 1;
  return 1;
}

std::uint32_t InternetSetOptionA(Handle /*h*/, std::uint32_t option, const void* /*buffer*/,
                                 std::uint32_t /*bufferLength*/) {
  switch (option) {
    case kOptionEndBrowserSession:
      detail::EndBrowserSession();
      detail::FlushCookieFilesIfDirty();
      return 1;
    case kOptionRefresh:
    case kOptionSettingsChanged:
      return 1;  // nothing is cached from the system's settings
    default:
      return 0;
  }
}

}  // namespace tessaro::inet
