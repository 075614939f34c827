// The live-event site: the event page with its login form, the login answer, the exchange
// endpoint, and the record of what the server received.
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "event-server/routes.h"

namespace tessaro::event_server {
namespace {

constexpr std::string_view kSessionCookie = "cfsession";

struct RecordEntry {
  std::string route;
  std::string json;
};

std::mutex stateMutex;
std::vector<RecordEntry> record;              // guarded by stateMutex
std::map<std::string, std::string> sessions;  // token -> user, guarded by stateMutex
std::uint64_t sequence = 0;                   // guarded by stateMutex

std::string HtmlEscape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The Cookie header as sent, or none.
std::optional<std::string> CookieHeader(SoupServerMessage* msg) {
  if (const RawRequest* raw = RawRequestOf(msg)) return RawHeader(*raw, "Cookie");
  const char* c =
      soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Cookie");
  return c ? std::optional<std::string>(c) : std::nullopt;
}

// The user of the request's session cookie, or none.
std::optional<std::string> SessionUser(SoupServerMessage* msg) {
  auto cookie = CookieHeader(msg);
  if (!cookie) return std::nullopt;
  std::string_view rest = *cookie;
  while (!rest.empty()) {
    std::size_t semi = rest.find(';');
    std::string_view pair = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos || pair.substr(0, eq) != kSessionCookie) continue;
    std::lock_guard lock(stateMutex);
    auto it = sessions.find(std::string(pair.substr(eq + 1)));
    if (it != sessions.end()) return it->second;
  }
  return std::nullopt;
}

std::string Body(SoupServerMessage* msg) {
  if (const RawRequest* raw = RawRequestOf(msg)) return raw->body;
  GBytes* bytes = soup_message_body_flatten(soup_server_message_get_request_body(msg));
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string body(data ? data : "", size);
  g_bytes_unref(bytes);
  return body;
}

void LivePage(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "live", {});
  auto user = SessionUser(msg);
  std::string state = user ? "<p id=\"state\">已登录：" + HtmlEscape(*user) + "</p>\n"
                           : "<p id=\"state\">未登录</p>\n";
  std::string page =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>活动</title></head>\n"
      "<body>\n<h1>直播活动</h1>\n" +
      state +
      "<form id=\"login\" method=\"post\" action=\"/cfpl/s5/login.php\">\n"
      "<label>用户 <input id=\"user\" name=\"user\" type=\"text\"></label>\n"
      "<label>密码 <input id=\"password\" name=\"password\" type=\"password\"></label>\n"
      "<button id=\"submit\" type=\"submit\">登录</button>\n"
      "</form>\n"
      "<script>\n"
      "document.cookie = 'cfvisit=' + Date.now() + '; path=/; max-age=31536000';\n"
      "</script>\n"
      "</body></html>\n";
  Reply(msg, 200, "text/html; charset=utf-8", page);
}

// Any non-empty user and password log in: the answer sets the session cookie.
void Login(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "login", {});
  if (std::string_view(soup_server_message_get_method(msg)) != "POST") {
    soup_server_message_set_redirect(msg, 303, "/cfpl/s5/live.html");
    return;
  }
  std::string body = Body(msg);
  std::string user = QueryValue(body, "user").value_or("");
  std::string password = QueryValue(body, "password").value_or("");
  if (user.empty() || password.empty()) {
    Reply(msg, 403, "text/html; charset=utf-8",
          "<!DOCTYPE html>\n<html><body><p id=\"result\">登录失败</p>"
          "<a href=\"/cfpl/s5/live.html\">返回</a></body></html>\n");
    return;
  }
  char* token = g_uuid_string_random();
  {
    std::lock_guard lock(stateMutex);
    sessions[token] = user;
  }
  std::string cookie =
      std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Lax";
  g_free(token);
  soup_message_headers_append(soup_server_message_get_response_headers(msg), "Set-Cookie",
                              cookie.c_str());
  Reply(msg, 200, "text/html; charset=utf-8",
        "<!DOCTYPE html>\n<html><body><p id=\"result\">登录成功：" + HtmlEscape(user) +
            "</p><a href=\"/cfpl/s5/live.html\">返回</a></body></html>\n");
}

void Exchange(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  const RawRequest* raw = RawRequestOf(msg);
  std::string target = raw ? raw->target : "";
  std::string_view query = QueryOf(target);
  auto sKey = QueryValue(query, "sKey");
  auto t = QueryValue(query, "t");
  std::string extra = ",\"sKey\":" + (sKey ? JsonString(*sKey) : std::string("null")) +
                      ",\"t\":" + (t ? JsonString(*t) : std::string("null"));
  RecordRequest(msg, "exchange", extra);
  bool loggedIn = SessionUser(msg).has_value();
  std::string answer = loggedIn ? "{\"result\":1,\"logged_in\":true,\"msg\":\"ok\"}\n"
                                : "{\"result\":0,\"logged_in\":false,\"msg\":\"not logged in\"}\n";
  Reply(msg, 200, "application/json", answer);
}

// GET /record: the record as a JSON array; ?route=NAME keeps one route's entries.
void Record(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  const RawRequest* raw = RawRequestOf(msg);
  auto route = QueryValue(QueryOf(raw ? raw->target : ""), "route");
  std::string out = "[";
  {
    std::lock_guard lock(stateMutex);
    bool first = true;
    for (const RecordEntry& e : record) {
      if (route && e.route != *route) continue;
      out += first ? "\n" : ",\n";
      out += e.json;
      first = false;
    }
  }
  out += "\n]\n";
  Reply(msg, 200, "application/json", out);
}

void RecordClear(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  std::size_t n;
  {
    std::lock_guard lock(stateMutex);
    n = record.size();
    record.clear();
  }
  Reply(msg, 200, "application/json", "{\"cleared\":" + std::to_string(n) + "}\n");
}

}  // namespace

void RecordRequest(SoupServerMessage* msg, std::string_view route, std::string_view extraJson) {
  const RawRequest* raw = RawRequestOf(msg);
  RawRequest fallback;
  if (!raw) {
    // Not matched to wire bytes: keep what libsoup parsed, so the entry still exists.
    fallback.method = soup_server_message_get_method(msg);
    char* uri = g_uri_to_string(soup_server_message_get_uri(msg));
    fallback.target = uri ? uri : "";
    g_free(uri);
    fallback.requestLine = fallback.method + " " + fallback.target + " HTTP/1.1";
    raw = &fallback;
  }
  auto cookie = RawHeader(*raw, "Cookie");
  auto user = SessionUser(msg);
  std::string headers = "[";
  for (std::size_t i = 0; i < raw->headerLines.size(); ++i) {
    if (i) headers += ',';
    headers += JsonString(raw->headerLines[i]);
  }
  headers += ']';
  constexpr std::size_t kBodyKept = 65536;
  std::string json;
  {
    std::lock_guard lock(stateMutex);
    json = "{\"seq\":" + std::to_string(++sequence);
  }
  json += ",\"route\":" + JsonString(route) + ",\"method\":" + JsonString(raw->method) +
          ",\"request_line\":" + JsonString(raw->requestLine) +
          ",\"target\":" + JsonString(raw->target) +
          ",\"target_decoded\":" + JsonString(PercentDecode(raw->target, false)) +
          ",\"headers\":" + headers +
          ",\"cookie\":" + (cookie ? JsonString(*cookie) : std::string("null")) +
          ",\"logged_in\":" + (user ? "true" : "false") +
          ",\"user\":" + (user ? JsonString(*user) : std::string("null")) +
          ",\"body_length\":" + std::to_string(raw->body.size()) +
          ",\"body\":" + JsonString(std::string_view(raw->body).substr(0, kBodyKept)) +
          std::string(extraJson) + "}";
  std::lock_guard lock(stateMutex);
  record.push_back({std::string(route), std::move(json)});
}

void RegisterCoreRoutes(SoupServer* server, const Options&) {
  soup_server_add_handler(server, "/cfpl/s5/live.html", LivePage, nullptr, nullptr);
  soup_server_add_handler(server, "/cfpl/s5/login.php", Login, nullptr, nullptr);
  soup_server_add_handler(server, "/cf/a20140424cfplive/exchange.php", Exchange, nullptr, nullptr);
  soup_server_add_handler(server, "/record/clear", RecordClear, nullptr, nullptr);
  soup_server_add_handler(server, "/record", Record, nullptr, nullptr);
}

}  // namespace tessaro::event_server
