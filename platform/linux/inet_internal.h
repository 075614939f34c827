// Pieces shared by the files of the libsoup backend of platform/inet. Not for callers
// outside platform/linux.
#pragma once

#include <gio/gio.h>
#include <glib.h>
#include <libsoup/soup.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tessaro::inet::detail {

// An owned GObject reference: adopts a full reference, never copies, nulls on move.
template <class T>
class GRef {
 public:
  GRef() = default;
  explicit GRef(T* adopted) : p_(adopted) {}
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
  GRef(GRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  GRef& operator=(GRef&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  ~GRef() { reset(); }
  void reset(T* adopted = nullptr) {
    if (p_ != nullptr) g_object_unref(p_);
    p_ = adopted;
  }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
struct GFree {
  void operator()(void* p) const { g_free(p); }
};
struct GUriUnref {
  void operator()(GUri* u) const { g_uri_unref(u); }
};

// How much a failure matters beyond the result the caller already gets.
enum class Severity : std::uint8_t {
  kResult,   // the caller sees it in the result (a failed request): a debug line only
  kStorage,  // cookies or cache not written: nobody else would learn of it, so a warning
};
// The one place where failures of this layer are turned into a result and a log line.
// What: a short description of the attempted action. The result is the WinInet-style
// failure value (always 0); the error is consumed. A cancelled operation (a handle closed
// under it) is expected and not logged.
std::uint32_t Fail(std::string_view what, GError* error = nullptr,
                   Severity severity = Severity::kResult);

// Percent-encodes the bytes an HTTP/1.1 request-target may not carry raw; every other byte,
// "%" "#" "?" "&" "+" "=" included, stays as it is.
std::string EncodeRequestTarget(std::string_view target);
// True for a host name or address that can stand in an authority without changing it:
// letters, digits, "-", ".", "_", or an IPv6 literal in brackets.
bool IsSafeHost(std::string_view host);

// An absolute http or https URL taken apart the way a request sends it: the scheme and
// host lower-cased, the port (default when absent), and the path and query as they stand
// after EncodeRequestTarget. The fragment after a "#" goes with the path, as the request
// line carries it. Null when the text is not such a URL.
GUri* ParseHttpUrl(std::string_view url);
// Builds the URI from pieces; the pieces must already be checked and encoded.
GUri* BuildHttpUri(bool https, const std::string& host, int port, const std::string& target);

// The process cookie store (inet_cookies.cpp).
SoupCookieJar* Jar();
// Writes the cookie files of the hosts whose persistent cookies changed.
void FlushCookieFilesIfDirty();
// Ends the browser session: every cookie without an expiry leaves the store.
void EndBrowserSession();

// The response cache (inet_cache.cpp): one entry being written, body as it is read. A
// small body is kept in memory and written by the cache's own thread once it is complete,
// so storing it costs the request nothing; a large one goes to its file as it is read.
class CacheEntry {
 public:
  // Starts an entry for the URL of the message when its response may be stored.
  static CacheEntry* Begin(SoupMessage* msg);
  void Write(const void* data, std::size_t length);
  // Keeps the body when it was complete, drops it (and any file begun) otherwise.
  void Finish(bool complete);
  ~CacheEntry();

 private:
  CacheEntry(std::string base, std::string ext) : base_(std::move(base)), ext_(std::move(ext)) {}
  void WriteToFile(const char* data, std::size_t length);
  std::string base_, ext_;
  std::string body_;  // buffered until complete, or until it grows large
  std::string path_;
  int fd_ = -1;
  bool done_ = false;
};

// Waits until every completed body handed to the cache's thread is in its file.
void FlushCacheWrites();

}  // namespace tessaro::inet::detail
