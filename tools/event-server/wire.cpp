// The wire layer of the event-server.
//
// libsoup hands a handler the request already parsed: the URI normalised, the headers
// regrouped (its common headers come before the others). The tests need what the client
// really sent, so the server accepts connections itself and gives libsoup each one wrapped
// in an input stream that keeps a copy of every byte read. When libsoup has read a whole
// request, the next request of that copy is taken apart and attached to the message.
#include <gio/gio.h>

#include <map>
#include <memory>
#include <mutex>

#include "event-server/routes.h"

namespace {

struct Tap {
  std::mutex mutex;
  std::string bytes;  // read from the connection, not yet taken apart
};

std::mutex tapsMutex;
std::map<std::uint16_t, std::shared_ptr<Tap>> taps;  // by the client's port

std::uint16_t PortOf(GSocketAddress* address) {
  if (!address || !G_IS_INET_SOCKET_ADDRESS(address)) return 0;
  return g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(address));
}

}  // namespace

// ---- An input stream that records what it reads ----

G_DECLARE_FINAL_TYPE(TapInputStream, tap_input_stream, TAP, INPUT_STREAM, GFilterInputStream)

struct _TapInputStream {
  GFilterInputStream parent;
  std::shared_ptr<Tap>* tap;
  GIOStream* connection;  // closed with the stream, so the client sees the end at once
  std::uint16_t port;
};

static void tap_pollable_init(GPollableInputStreamInterface* iface);

G_DEFINE_TYPE_WITH_CODE(TapInputStream, tap_input_stream, G_TYPE_FILTER_INPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_POLLABLE_INPUT_STREAM, tap_pollable_init))

static GInputStream* TapBase(gpointer stream) {
  return g_filter_input_stream_get_base_stream(G_FILTER_INPUT_STREAM(stream));
}

static void TapRecord(TapInputStream* self, const void* buffer, gssize n) {
  if (n <= 0 || !self->tap) return;
  std::lock_guard lock((*self->tap)->mutex);
  (*self->tap)->bytes.append(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

static gssize tap_read(GInputStream* stream, void* buffer, gsize count, GCancellable* cancellable,
                       GError** error) {
  gssize n = g_input_stream_read(TapBase(stream), buffer, count, cancellable, error);
  TapRecord(TAP_INPUT_STREAM(stream), buffer, n);
  return n;
}

static gboolean tap_close(GInputStream* stream, GCancellable* cancellable, GError** error) {
  TapInputStream* self = TAP_INPUT_STREAM(stream);
  gboolean ok =
      G_INPUT_STREAM_CLASS(tap_input_stream_parent_class)->close_fn(stream, cancellable, error);
  if (self->connection) g_io_stream_close(self->connection, nullptr, nullptr);
  return ok;
}

static gboolean tap_can_poll(GPollableInputStream* stream) {
  GInputStream* base = TapBase(stream);
  return G_IS_POLLABLE_INPUT_STREAM(base) &&
         g_pollable_input_stream_can_poll(G_POLLABLE_INPUT_STREAM(base));
}

static gboolean tap_is_readable(GPollableInputStream* stream) {
  return g_pollable_input_stream_is_readable(G_POLLABLE_INPUT_STREAM(TapBase(stream)));
}

static GSource* tap_create_source(GPollableInputStream* stream, GCancellable* cancellable) {
  GSource* base =
      g_pollable_input_stream_create_source(G_POLLABLE_INPUT_STREAM(TapBase(stream)), nullptr);
  GSource* source = g_pollable_source_new_full(stream, base, cancellable);
  g_source_unref(base);
  return source;
}

static gssize tap_read_nonblocking(GPollableInputStream* stream, void* buffer, gsize count,
                                   GError** error) {
  gssize n = g_pollable_input_stream_read_nonblocking(G_POLLABLE_INPUT_STREAM(TapBase(stream)),
                                                      buffer, count, nullptr, error);
  TapRecord(TAP_INPUT_STREAM(stream), buffer, n);
  return n;
}

static void tap_pollable_init(GPollableInputStreamInterface* iface) {
  iface->can_poll = tap_can_poll;
  iface->is_readable = tap_is_readable;
  iface->create_source = tap_create_source;
  iface->read_nonblocking = tap_read_nonblocking;
}

static void tap_finalize(GObject* object) {
  TapInputStream* self = TAP_INPUT_STREAM(object);
  if (self->tap) {
    std::lock_guard lock(tapsMutex);
    auto it = taps.find(self->port);
    if (it != taps.end() && it->second == *self->tap) taps.erase(it);
  }
  delete self->tap;
  if (self->connection) g_object_unref(self->connection);
  G_OBJECT_CLASS(tap_input_stream_parent_class)->finalize(object);
}

static void tap_input_stream_class_init(TapInputStreamClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = tap_finalize;
  G_INPUT_STREAM_CLASS(klass)->read_fn = tap_read;
  G_INPUT_STREAM_CLASS(klass)->close_fn = tap_close;
}

static void tap_input_stream_init(TapInputStream* self) {
  self->tap = nullptr;
  self->connection = nullptr;
  self->port = 0;
}

namespace tessaro::event_server {
namespace {

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Takes the first whole request off the front of bytes. False when it is not all there.
bool TakeRequest(std::string& bytes, RawRequest& out) {
  std::size_t start = 0;
  while (start < bytes.size() && (bytes[start] == '\r' || bytes[start] == '\n')) ++start;
  std::size_t crlf = bytes.find("\r\n\r\n", start);
  std::size_t lflf = bytes.find("\n\n", start);
  std::size_t headEnd, bodyStart;
  if (crlf != std::string::npos && (lflf == std::string::npos || crlf < lflf)) {
    headEnd = crlf;
    bodyStart = crlf + 4;
  } else if (lflf != std::string::npos) {
    headEnd = lflf;
    bodyStart = lflf + 2;
  } else {
    return false;
  }
  RawRequest r;
  std::string_view head(bytes.data() + start, headEnd - start);
  bool first = true;
  while (!head.empty()) {
    std::size_t nl = head.find('\n');
    std::string_view line = head.substr(0, nl);
    head = nl == std::string_view::npos ? std::string_view() : head.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      r.requestLine = std::string(line);
      first = false;
    } else {
      r.headerLines.emplace_back(line);
    }
  }
  std::size_t sp1 = r.requestLine.find(' ');
  std::size_t sp2 = r.requestLine.rfind(' ');
  if (sp1 != std::string::npos) {
    r.method = r.requestLine.substr(0, sp1);
    if (sp2 > sp1) {
      r.target = r.requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
      r.version = r.requestLine.substr(sp2 + 1);
    } else {
      r.target = r.requestLine.substr(sp1 + 1);
    }
  }
  std::size_t end = bodyStart;
  auto te = RawHeader(r, "Transfer-Encoding");
  auto cl = RawHeader(r, "Content-Length");
  if (te && g_strrstr(te->c_str(), "chunked")) {
    std::size_t p = bodyStart;
    for (;;) {
      std::size_t nl = bytes.find('\n', p);
      if (nl == std::string::npos) return false;
      std::size_t size = std::strtoull(bytes.c_str() + p, nullptr, 16);
      p = nl + 1;
      if (size == 0) {
        // Trailer lines up to an empty line.
        for (;;) {
          std::size_t tnl = bytes.find('\n', p);
          if (tnl == std::string::npos) return false;
          std::string_view tl(bytes.data() + p, tnl - p);
          p = tnl + 1;
          if (tl.empty() || tl == "\r") break;
        }
        break;
      }
      if (bytes.size() < p + size) return false;
      r.body.append(bytes, p, size);
      p += size;
      if (p < bytes.size() && bytes[p] == '\r') ++p;
      if (p < bytes.size() && bytes[p] == '\n') ++p;
    }
    end = p;
  } else if (cl) {
    std::size_t length = std::strtoull(cl->c_str(), nullptr, 10);
    if (bytes.size() < bodyStart + length) return false;
    r.body = bytes.substr(bodyStart, length);
    end = bodyStart + length;
  }
  bytes.erase(0, end);
  out = std::move(r);
  return true;
}

void OnRequestRead(SoupServer*, SoupServerMessage* msg, gpointer) {
  std::shared_ptr<Tap> tap;
  {
    std::lock_guard lock(tapsMutex);
    auto it = taps.find(PortOf(soup_server_message_get_remote_address(msg)));
    if (it != taps.end()) tap = it->second;
  }
  if (!tap) return;
  auto raw = std::make_unique<RawRequest>();
  {
    std::lock_guard lock(tap->mutex);
    if (!TakeRequest(tap->bytes, *raw)) return;
  }
  g_object_set_data_full(G_OBJECT(msg), "tessaro-raw-request", raw.release(),
                         [](gpointer p) { delete static_cast<RawRequest*>(p); });
}

gboolean OnIncoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer data) {
  auto* server = static_cast<SoupServer*>(data);
  GSocketAddress* local = g_socket_connection_get_local_address(connection, nullptr);
  GSocketAddress* remote = g_socket_connection_get_remote_address(connection, nullptr);
  auto tap = std::make_shared<Tap>();
  auto* in = TAP_INPUT_STREAM(g_object_new(tap_input_stream_get_type(), "base-stream",
                                           g_io_stream_get_input_stream(G_IO_STREAM(connection)),
                                           "close-base-stream", TRUE, nullptr));
  in->tap = new std::shared_ptr<Tap>(tap);
  in->connection = G_IO_STREAM(g_object_ref(connection));
  in->port = PortOf(remote);
  {
    std::lock_guard lock(tapsMutex);
    taps[in->port] = tap;
  }
  GIOStream* stream = g_simple_io_stream_new(
      G_INPUT_STREAM(in), g_io_stream_get_output_stream(G_IO_STREAM(connection)));
  g_object_unref(in);
  GError* error = nullptr;
  if (!soup_server_accept_iostream(server, stream, local, remote, &error)) {
    g_printerr("event-server: %s\n", error->message);
    g_error_free(error);
  }
  g_object_unref(stream);
  if (local) g_object_unref(local);
  if (remote) g_object_unref(remote);
  return TRUE;
}

}  // namespace

const RawRequest* RawRequestOf(SoupServerMessage* msg) {
  return static_cast<const RawRequest*>(g_object_get_data(G_OBJECT(msg), "tessaro-raw-request"));
}

std::optional<std::string> RawHeader(const RawRequest& raw, std::string_view name) {
  for (const std::string& line : raw.headerLines) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (IEquals(Trim(std::string_view(line).substr(0, colon)), name))
      return std::string(Trim(std::string_view(line).substr(colon + 1)));
  }
  return std::nullopt;
}

std::uint16_t ListenLoopback(SoupServer* server, std::uint16_t port, std::string* error) {
  g_signal_connect(server, "request-read", G_CALLBACK(OnRequestRead), nullptr);
  GSocketService* service = g_socket_service_new();
  GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
  GSocketAddress* address = g_inet_socket_address_new(loopback, port);
  GSocketAddress* effective = nullptr;
  GError* gerror = nullptr;
  gboolean ok =
      g_socket_listener_add_address(G_SOCKET_LISTENER(service), address, G_SOCKET_TYPE_STREAM,
                                    G_SOCKET_PROTOCOL_TCP, nullptr, &effective, &gerror);
  g_object_unref(address);
  g_object_unref(loopback);
  if (!ok) {
    if (error) *error = gerror->message;
    g_error_free(gerror);
    g_object_unref(service);
    return 0;
  }
  std::uint16_t bound = PortOf(effective);
  g_object_unref(effective);
  g_signal_connect(service, "incoming", G_CALLBACK(OnIncoming), server);
  g_socket_service_start(service);
  // The service lives as long as the process.
  return bound;
}

}  // namespace tessaro::event_server
