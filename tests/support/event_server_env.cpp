// The event-server as a child process of a test binary.
#include "support/event_server_env.h"

#include <json-glib/json-glib.h>
#include <libsoup/soup.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "support/process.h"

#ifndef TESSARO_EVENT_SERVER_PATH
#error "TESSARO_EVENT_SERVER_PATH must name the event-server binary"
#endif

namespace tessaro::testing {
namespace {

// The record writes every byte as one code point below 256: take them back as bytes.
std::string Bytes(const char* utf8) {
  std::string out;
  if (!utf8) return out;
  for (const char* p = utf8; *p; p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    if (c < 256) {
      out += static_cast<char>(c);
    } else {
      out.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
    }
  }
  return out;
}

std::optional<std::string> OptionalText(JsonObject* o, const char* name) {
  if (!json_object_has_member(o, name) || json_object_get_null_member(o, name)) return std::nullopt;
  return Bytes(json_object_get_string_member(o, name));
}

std::string Text(JsonObject* o, const char* name) {
  return OptionalText(o, name).value_or("");
}

}  // namespace

std::string EventServerPath() {
  return TESSARO_EVENT_SERVER_PATH;
}

FetchResult Fetch(const std::string& url, const std::string& method, const std::string& body) {
  FetchResult result;
  SoupSession* session = soup_session_new_with_options("timeout", 30u, nullptr);
  SoupMessage* msg = soup_message_new(method.c_str(), url.c_str());
  if (!msg) {
    result.error = "bad URL " + url;
    g_object_unref(session);
    return result;
  }
  if (!body.empty()) {
    GBytes* b = g_bytes_new(body.data(), body.size());
    soup_message_set_request_body_from_bytes(msg, "application/x-www-form-urlencoded", b);
    g_bytes_unref(b);
  }
  GError* error = nullptr;
  GBytes* answer = soup_session_send_and_read(session, msg, nullptr, &error);
  if (!answer) {
    result.error = error ? error->message : "failed";
    if (error) g_error_free(error);
  } else {
    result.status = soup_message_get_status(msg);
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(answer, &size));
    result.body.assign(data ? data : "", size);
    g_bytes_unref(answer);
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, soup_message_get_response_headers(msg));
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value))
      result.headers.emplace_back(name, value);
  }
  g_object_unref(msg);
  g_object_unref(session);
  return result;
}

EventServer::~EventServer() {
  Stop();
}

bool EventServer::Start(const std::vector<std::string>& extraArgs) {
  Stop();
  error_.clear();
  std::string path = EventServerPath();
  if (!IsExecutable(path)) {
    error_ = "event-server binary not found at " + path;
    return false;
  }
  std::vector<std::string> argv = {path, "--port", "0"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  int out = -1;
  pid_ = SpawnChild(argv, &out, {}, &error_);
  if (!pid_) return false;
  // The handshake: one line "port N".
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[128];
    ssize_t n = read(out, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  close(out);
  unsigned port = 0;
  if (std::sscanf(line.c_str(), "port %u", &port) != 1 || port == 0 || port > 65535) {
    error_ = "event-server gave no port line (got '" + line + "')";
    StopChild(pid_);
    return false;
  }
  port_ = static_cast<std::uint16_t>(port);
  return true;
}

void EventServer::Stop() {
  StopChild(pid_);
  port_ = 0;
}

std::string EventServer::Url(std::string_view pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(pathAndQuery);
}

std::vector<RecordEntry> EventServer::Record(std::string_view route) const {
  std::vector<RecordEntry> entries;
  std::string url = Url("/record");
  if (!route.empty()) url += "?route=" + std::string(route);
  FetchResult r = Fetch(url);
  if (r.status != 200) return entries;
  JsonParser* parser = json_parser_new();
  if (json_parser_load_from_data(parser, r.body.c_str(), static_cast<gssize>(r.body.size()),
                                 nullptr)) {
    JsonNode* root = json_parser_get_root(parser);
    if (root && JSON_NODE_HOLDS_ARRAY(root)) {
      JsonArray* array = json_node_get_array(root);
      for (guint i = 0; i < json_array_get_length(array); ++i) {
        JsonObject* o = json_array_get_object_element(array, i);
        RecordEntry e;
        e.seq = json_object_get_int_member(o, "seq");
        e.route = Text(o, "route");
        e.method = Text(o, "method");
        e.requestLine = Text(o, "request_line");
        e.target = Text(o, "target");
        e.targetDecoded = Text(o, "target_decoded");
        JsonArray* headers = json_object_get_array_member(o, "headers");
        for (guint h = 0; headers && h < json_array_get_length(headers); ++h)
          e.headers.push_back(Bytes(json_array_get_string_element(headers, h)));
        e.cookie = OptionalText(o, "cookie");
        e.loggedIn = json_object_get_boolean_member(o, "logged_in");
        e.user = OptionalText(o, "user");
        e.body = Text(o, "body");
        e.bodyLength = json_object_get_int_member(o, "body_length");
        e.sKey = OptionalText(o, "sKey");
        e.t = OptionalText(o, "t");
        entries.push_back(std::move(e));
      }
    }
  }
  g_object_unref(parser);
  return entries;
}

void EventServer::ClearRecord() const {
  Fetch(Url("/record/clear"));
}

std::string EventServer::Login(const std::string& user, const std::string& password) const {
  FetchResult r =
      Fetch(Url("/cfpl/s5/login.php"), "POST", "user=" + user + "&password=" + password);
  for (const auto& [name, value] : r.headers) {
    if (g_ascii_strcasecmp(name.c_str(), "Set-Cookie") != 0) continue;
    std::string v = value;
    if (v.rfind("cfsession=", 0) != 0) continue;
    std::size_t semi = v.find(';');
    return v.substr(10, semi == std::string::npos ? std::string::npos : semi - 10);
  }
  return {};
}

EventServer& SharedEventServer() {
  // Started on first use, stopped when the process exits.
  static EventServer* server = [] {
    auto* s = new EventServer;
    s->Start();
    std::atexit([] { SharedEventServer().Stop(); });
    return s;
  }();
  return *server;
}

}  // namespace tessaro::testing
