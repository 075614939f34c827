// The event-server's routes and the helpers they share.
//
// Each group of routes lives in a file of its own and adds itself through a Register*
// function that main.cpp calls once, before the server listens. Handlers run on the
// server's main loop thread; state that a route keeps between requests is guarded by a
// mutex of its own, so a route may also be called from other threads.
//
// Every request is seen twice: libsoup parses it as usual, and the bytes it read from the
// socket are kept as well (wire.cpp), so a route can look at the request line and header
// lines exactly as the client sent them, in their order, through RawRequestOf().
#pragma once

#include <libsoup/soup.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::event_server {

struct Options {
  std::string root;  // folder served under /static/, empty for none
};

// What arrived on the wire for one request.
struct RawRequest {
  std::string requestLine;               // without CR LF
  std::string method;
  std::string target;                    // the request-target, byte for byte
  std::string version;
  std::vector<std::string> headerLines;  // "Name: value", in order, without CR LF
  std::string body;                      // decoded from chunked when sent chunked
};

// The raw form of a request, or nullptr when it could not be matched to wire bytes.
const RawRequest* RawRequestOf(SoupServerMessage* msg);

// The value of the first header line named name (case-insensitive), or none.
std::optional<std::string> RawHeader(const RawRequest& raw, std::string_view name);

// %XX sequences become their byte; with plusIsSpace, '+' becomes a space (form and query
// decoding as the usual server-side languages do it). A malformed % stays as it is.
std::string PercentDecode(std::string_view text, bool plusIsSpace);

// The query of a request-target: everything after its first '?'. A '#' is data here: a
// request-target carries no fragment, so whatever follows it was sent as part of the query.
std::string_view QueryOf(std::string_view target);

// The decoded value of the first key=value pair of query whose raw key equals key.
std::optional<std::string> QueryValue(std::string_view query, std::string_view key);

// A whole-number parameter of the query, clamped to [lo, hi]; fallback when absent or bad.
std::int64_t IntParam(std::string_view query, std::string_view key, std::int64_t fallback,
                      std::int64_t lo, std::int64_t hi);

// A JSON string literal for bytes. Bytes of 0x80 and above and control bytes are written
// as \u00XX, one escape per byte, so a reader gets the bytes back by taking every code
// point (all below 256) as one byte. GBK text therefore stays exact.
std::string JsonString(std::string_view bytes);

// Sets status, Content-Type and the whole body of the response.
void Reply(SoupServerMessage* msg, unsigned status, const char* contentType,
           std::string_view body);

// Adds one line to the request record (see core_routes.cpp): route name and what the
// route wants to add as extra JSON members (",\"k\":v..." or empty).
void RecordRequest(SoupServerMessage* msg, std::string_view route, std::string_view extraJson);

// Route groups.
void RegisterCoreRoutes(SoupServer* server, const Options& options);
void RegisterTestRoutes(SoupServer* server, const Options& options);
void RegisterStaticRoutes(SoupServer* server, const Options& options);
void RegisterPageRoutes(SoupServer* server, const Options& options);
void RegisterDownloadRoutes(SoupServer* server, const Options& options);

// The wire layer: listens on 127.0.0.1 and hands every connection to the server with its
// bytes tapped. Returns the port, or 0 with a message in *error.
std::uint16_t ListenLoopback(SoupServer* server, std::uint16_t port, std::string* error);

}  // namespace tessaro::event_server
