// Routes under /test/ that give clients the answers that are hard to get from a real site:
// many or oversized Set-Cookie lines, slow and chunked bodies, dropped connections, and an
// echo of the request as it arrived.
//
//   /test/set-cookie?c=LINE[&c=LINE...][&h=NAME:VALUE...][&pad=N][&body=TEXT]
//       one Set-Cookie header per c, verbatim, one other header per h; pad adds an X-Pad
//       header of N bytes
//   /test/cookies?n=N[&size=S][&prefix=P]
//       N cookies P1..PN, each with a value of S bytes, Path=/
//   /test/bytes?size=N          N body bytes, byte i being i % 251 (zeros included)
//   /test/empty                 200 with an empty body
//   /test/status?code=N[&body=TEXT]
//   /test/slow?delay_ms=D[&chunks=K][&size=S][&chunked=1]
//       K pieces of S bytes, D ms apart; Content-Length unless chunked=1
//   /test/chunked?chunks=K[&size=S]   chunked body, all at once
//   /test/drop?after=N[&length=L]
//       a status line and Content-Length L, then N body bytes, then the connection is
//       closed; after=-1 closes without answering
//   /test/echo                  text/plain: request line, header lines, empty line, body
#include <memory>
#include <string>

#include "event-server/routes.h"

namespace tessaro::event_server {
namespace {

std::string TargetOf(SoupServerMessage* msg) {
  const RawRequest* raw = RawRequestOf(msg);
  return raw ? raw->target : std::string();
}

std::string Pattern(std::size_t offset, std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((offset + i) % 251);
  return s;
}

void SetCookie(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "set-cookie", {});
  std::string target = TargetOf(msg);
  std::string_view query = QueryOf(target);
  SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
  std::string_view rest = query;
  while (!rest.empty()) {
    std::size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.substr(0, 2) == "c=") {
      soup_message_headers_append(h, "Set-Cookie", PercentDecode(pair.substr(2), true).c_str());
    } else if (pair.substr(0, 2) == "h=") {
      std::string line = PercentDecode(pair.substr(2), true);
      std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::size_t value = line.find_first_not_of(' ', colon + 1);
      soup_message_headers_append(h, line.substr(0, colon).c_str(),
                                  value == std::string::npos ? "" : line.c_str() + value);
    }
  }
  auto pad = IntParam(query, "pad", 0, 0, 1 << 20);
  if (pad > 0)
    soup_message_headers_append(h, "X-Pad",
                                std::string(static_cast<std::size_t>(pad), 'p').c_str());
  Reply(msg, 200, "text/plain", QueryValue(query, "body").value_or("ok"));
}

void Cookies(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "cookies", {});
  std::string target = TargetOf(msg);
  std::string_view query = QueryOf(target);
  auto n = IntParam(query, "n", 1, 0, 10000);
  auto size = static_cast<std::size_t>(IntParam(query, "size", 1, 0, 1 << 20));
  std::string prefix = QueryValue(query, "prefix").value_or("c");
  SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
  for (std::int64_t i = 1; i <= n; ++i) {
    std::string line = prefix + std::to_string(i) + "=" + std::string(size, 'v') + "; Path=/";
    soup_message_headers_append(h, "Set-Cookie", line.c_str());
  }
  Reply(msg, 200, "text/plain", "ok");
}

void Bytes(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "bytes", {});
  std::string target = TargetOf(msg);
  auto size = static_cast<std::size_t>(IntParam(QueryOf(target), "size", 0, 0, 1 << 28));
  Reply(msg, 200, "application/octet-stream", Pattern(0, size));
}

void Empty(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "empty", {});
  Reply(msg, 200, "text/plain", "");
}

void Status(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "status", {});
  std::string target = TargetOf(msg);
  std::string_view query = QueryOf(target);
  auto code = static_cast<unsigned>(IntParam(query, "code", 200, 100, 599));
  Reply(msg, code, "text/plain", QueryValue(query, "body").value_or(""));
}

// A body sent piece by piece from main-loop timeouts.
struct Trickle {
  SoupServerMessage* msg;
  std::int64_t piecesLeft;
  std::size_t size;
  std::size_t sent = 0;
  guint interval;
  guint source = 0;
  bool finished = false;
};

gboolean TrickleStep(gpointer data) {
  auto* t = static_cast<Trickle*>(data);
  if (t->finished) return G_SOURCE_REMOVE;
  SoupMessageBody* body = soup_server_message_get_response_body(t->msg);
  std::string piece = Pattern(t->sent, t->size);
  soup_message_body_append(body, SOUP_MEMORY_COPY, piece.data(), piece.size());
  t->sent += t->size;
  if (--t->piecesLeft <= 0) {
    soup_message_body_complete(body);
    t->source = 0;
    soup_server_message_unpause(t->msg);
    return G_SOURCE_REMOVE;
  }
  soup_server_message_unpause(t->msg);
  return G_SOURCE_CONTINUE;
}

void StartTrickle(SoupServerMessage* msg, std::int64_t pieces, std::size_t size, guint interval,
                  bool chunked) {
  SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
  soup_message_headers_set_content_type(h, "application/octet-stream", nullptr);
  if (chunked) {
    soup_message_headers_set_encoding(h, SOUP_ENCODING_CHUNKED);
  } else {
    soup_message_headers_set_content_length(
        h, static_cast<goffset>(static_cast<std::size_t>(pieces) * size));
  }
  soup_server_message_set_status(msg, 200, nullptr);
  if (pieces <= 0) {
    soup_message_body_complete(soup_server_message_get_response_body(msg));
    return;
  }
  auto* t = new Trickle{msg, pieces, size, 0, interval, 0, false};
  // The client may go away before the last piece: stop then and free the state.
  g_signal_connect_data(
      msg, "finished", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
        auto* tr = static_cast<Trickle*>(data);
        tr->finished = true;
        if (tr->source) g_source_remove(tr->source);
        tr->source = 0;
      }),
      t, [](gpointer data, GClosure*) { delete static_cast<Trickle*>(data); }, G_CONNECT_DEFAULT);
  soup_server_message_pause(msg);
  t->source = g_timeout_add(interval, TrickleStep, t);
}

void Slow(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "slow", {});
  std::string target = TargetOf(msg);
  std::string_view query = QueryOf(target);
  auto delay = static_cast<guint>(IntParam(query, "delay_ms", 100, 0, 600000));
  auto pieces = IntParam(query, "chunks", 1, 0, 100000);
  auto size = static_cast<std::size_t>(IntParam(query, "size", 16, 0, 1 << 24));
  StartTrickle(msg, pieces, size, delay, IntParam(query, "chunked", 0, 0, 1) == 1);
}

void Chunked(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "chunked", {});
  std::string target = TargetOf(msg);
  std::string_view query = QueryOf(target);
  auto pieces = IntParam(query, "chunks", 3, 0, 100000);
  auto size = static_cast<std::size_t>(IntParam(query, "size", 16, 0, 1 << 24));
  SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
  soup_message_headers_set_encoding(h, SOUP_ENCODING_CHUNKED);
  soup_message_headers_set_content_type(h, "application/octet-stream", nullptr);
  soup_server_message_set_status(msg, 200, nullptr);
  SoupMessageBody* body = soup_server_message_get_response_body(msg);
  for (std::int64_t i = 0; i < pieces; ++i) {
    std::string piece = Pattern(static_cast<std::size_t>(i) * size, size);
    soup_message_body_append(body, SOUP_MEMORY_COPY, piece.data(), piece.size());
  }
  soup_message_body_complete(body);
}

void Drop(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "drop", {});
  std::string target = TargetOf(msg);
  std::string_view query = QueryOf(target);
  auto after = IntParam(query, "after", 0, -1, 1 << 24);
  auto length = IntParam(query, "length", 1000, 0, 1 << 30);
  GIOStream* stream = soup_server_message_steal_connection(msg);
  if (!stream) return;
  if (after >= 0) {
    std::string out =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: " +
        std::to_string(length) + "\r\n\r\n" + Pattern(0, static_cast<std::size_t>(after));
    g_output_stream_write_all(g_io_stream_get_output_stream(stream), out.data(), out.size(),
                              nullptr, nullptr, nullptr);
    g_output_stream_flush(g_io_stream_get_output_stream(stream), nullptr, nullptr);
  }
  g_io_stream_close(stream, nullptr, nullptr);
  g_object_unref(stream);
}

void Echo(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "echo", {});
  const RawRequest* raw = RawRequestOf(msg);
  if (!raw) {
    Reply(msg, 500, "text/plain", "request not seen on the wire\n");
    return;
  }
  std::string out = raw->requestLine + "\r\n";
  for (const std::string& line : raw->headerLines) out += line + "\r\n";
  out += "\r\n";
  out += raw->body;
  Reply(msg, 200, "text/plain", out);
}

}  // namespace

void RegisterTestRoutes(SoupServer* server, const Options&) {
  soup_server_add_handler(server, "/test/set-cookie", SetCookie, nullptr, nullptr);
  soup_server_add_handler(server, "/test/cookies", Cookies, nullptr, nullptr);
  soup_server_add_handler(server, "/test/bytes", Bytes, nullptr, nullptr);
  soup_server_add_handler(server, "/test/empty", Empty, nullptr, nullptr);
  soup_server_add_handler(server, "/test/status", Status, nullptr, nullptr);
  soup_server_add_handler(server, "/test/slow", Slow, nullptr, nullptr);
  soup_server_add_handler(server, "/test/chunked", Chunked, nullptr, nullptr);
  soup_server_add_handler(server, "/test/drop", Drop, nullptr, nullptr);
  soup_server_add_handler(server, "/test/echo", Echo, nullptr, nullptr);
}

}  // namespace tessaro::event_server
