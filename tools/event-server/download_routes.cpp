// Routes under /download/ for download clients: files of any size whose bytes follow from a
// seed (download_content.h), with the answers a client must survive: no Content-Length,
// Range ignored, a 206 from the wrong offset, 416, error pages, gzip, a connection dropped
// or stalled in the middle of the body.
//
//   /download/file[/ANY/PATH]?size=N&seed=S[&...]
//       the file of N bytes (default 1024, seed 1); Range "bytes=A-" or "bytes=A-B" is
//       answered with 206 and Content-Range, a start at or past the end with 416 and
//       "Content-Range: bytes */N". Options:
//         cl=0        no Content-Length: the body ends when the connection closes
//         ranges=0    Range is ignored: always 200 and the whole file
//         shift=K     a 206 whose Content-Range and body start K bytes after the asked start
//         status=C    answers status C with a small HTML page (Content-Length set)
//         gzip=1      the body gzip-compressed, when the request's Accept-Encoding allows it
//         dropat=X    the connection closes once the body has reached file offset X
//         stallat=X   the body stops at file offset X and the connection stays open
//         key=K       counts the request under K (see /download/count)
//   /download/count?key=K   the number of /download/file requests made with key=K
//
// Responses are written straight to the connection (Connection: close), so that the
// faults are exact.
#include <gio/gio.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "event-server/download_content.h"
#include "event-server/routes.h"

namespace tessaro::event_server {
namespace {

std::mutex countsMutex;
std::map<std::string, std::int64_t> counts;  // guarded by countsMutex
std::vector<GIOStream*> stalled;             // kept open on purpose; main loop only

struct RangeAsked {
  std::int64_t first = -1;  // -1: no usable Range header
  std::int64_t last = -1;   // -1: to the end
};

RangeAsked ParseRange(const std::optional<std::string>& header) {
  RangeAsked r;
  if (!header) return r;
  std::string v = *header;
  v.erase(std::remove(v.begin(), v.end(), ' '), v.end());
  if (v.rfind("bytes=", 0) != 0) return r;
  v = v.substr(6);
  const std::size_t dash = v.find('-');
  if (dash == std::string::npos || dash == 0) return r;
  char* end = nullptr;
  const long long first = std::strtoll(v.c_str(), &end, 10);
  if (end != v.c_str() + dash || first < 0) return r;
  r.first = first;
  if (dash + 1 < v.size()) {
    const long long last = std::strtoll(v.c_str() + dash + 1, &end, 10);
    if (*end || last < first) return RangeAsked{};
    r.last = last;
  }
  return r;
}

bool WriteAll(GOutputStream* out, const void* data, std::size_t size) {
  return g_output_stream_write_all(out, data, size, nullptr, nullptr, nullptr);
}

std::string Head(unsigned status, const std::vector<std::string>& lines) {
  std::string h = "HTTP/1.1 " + std::to_string(status) + " " + soup_status_get_phrase(status) +
                  "\r\n";
  for (const std::string& l : lines) h += l + "\r\n";
  h += "Connection: close\r\n\r\n";
  return h;
}

std::string Compress(const std::string& data) {
  GZlibCompressor* compressor = g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP, -1);
  GOutputStream* memory = g_memory_output_stream_new_resizable();
  GOutputStream* out = g_converter_output_stream_new(memory, G_CONVERTER(compressor));
  WriteAll(out, data.data(), data.size());
  g_output_stream_close(out, nullptr, nullptr);
  auto* m = G_MEMORY_OUTPUT_STREAM(memory);
  std::string result(static_cast<const char*>(g_memory_output_stream_get_data(m)),
                     g_memory_output_stream_get_data_size(m));
  g_object_unref(out);
  g_object_unref(memory);
  g_object_unref(compressor);
  return result;
}

std::string Content(std::uint64_t seed, std::int64_t from, std::int64_t to) {
  std::string s(static_cast<std::size_t>(to - from), '\0');
  FillContent(seed, static_cast<std::uint64_t>(from), reinterpret_cast<unsigned char*>(s.data()),
              s.size());
  return s;
}

void File(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "download", {});
  const RawRequest* raw = RawRequestOf(msg);
  const std::string target = raw ? raw->target : std::string();
  const std::string_view query = QueryOf(target);
  const std::int64_t size = IntParam(query, "size", 1024, 0, std::int64_t{1} << 40);
  const auto seed = static_cast<std::uint64_t>(IntParam(query, "seed", 1, 0, INT64_MAX));
  const bool withLength = IntParam(query, "cl", 1, 0, 1) == 1;
  const bool ranges = IntParam(query, "ranges", 1, 0, 1) == 1;
  const std::int64_t shift = IntParam(query, "shift", 0, 0, INT64_MAX);
  const auto status = static_cast<unsigned>(IntParam(query, "status", 0, 0, 599));
  const bool gzip = IntParam(query, "gzip", 0, 0, 1) == 1;
  const std::int64_t dropAt = IntParam(query, "dropat", -1, -1, INT64_MAX);
  const std::int64_t stallAt = IntParam(query, "stallat", -1, -1, INT64_MAX);
  if (auto key = QueryValue(query, "key")) {
    std::lock_guard lock(countsMutex);
    ++counts[*key];
  }
  const RangeAsked asked = raw ? ParseRange(RawHeader(*raw, "Range")) : RangeAsked{};
  const auto acceptEncoding = raw ? RawHeader(*raw, "Accept-Encoding") : std::nullopt;

  GIOStream* stream = soup_server_message_steal_connection(msg);
  if (!stream) return;
  GOutputStream* out = g_io_stream_get_output_stream(stream);

  auto page = [&](unsigned code, std::vector<std::string> lines) {
    const std::string body = "<html><body>" + std::to_string(code) + " " +
                             soup_status_get_phrase(code) + std::string(400, ' ') +
                             "</body></html>\n";
    lines.push_back("Content-Type: text/html");
    lines.push_back("Content-Length: " + std::to_string(body.size()));
    const std::string all = Head(code, lines) + body;
    WriteAll(out, all.data(), all.size());
  };

  std::int64_t from = 0;
  std::int64_t to = size;
  unsigned code = 200;
  std::vector<std::string> lines = {"Content-Type: application/octet-stream"};
  if (status != 0) {
    page(status, {});
    from = to = 0;
    code = 0;
  } else if (asked.first >= 0 && ranges) {
    if (asked.first >= size) {
      page(416, {"Content-Range: bytes */" + std::to_string(size)});
      code = 0;
    } else {
      code = 206;
      from = std::min(asked.first + shift, size - 1);
      if (asked.last >= 0) to = std::min(asked.last + 1, size);
      lines.push_back("Content-Range: bytes " + std::to_string(from) + "-" +
                      std::to_string(to - 1) + "/" + std::to_string(size));
    }
  }
  if (ranges) lines.push_back("Accept-Ranges: bytes");

  if (code != 0) {
    if (gzip && acceptEncoding && acceptEncoding->find("gzip") != std::string::npos) {
      const std::string body = Compress(Content(seed, from, to));
      lines.push_back("Content-Encoding: gzip");
      lines.push_back("Content-Length: " + std::to_string(body.size()));
      const std::string all = Head(code, lines) + body;
      WriteAll(out, all.data(), all.size());
    } else {
      if (withLength) lines.push_back("Content-Length: " + std::to_string(to - from));
      const std::string head = Head(code, lines);
      bool ok = WriteAll(out, head.data(), head.size());
      std::int64_t stop = to;
      if (dropAt >= 0) stop = std::clamp(dropAt, from, stop);
      if (stallAt >= 0) stop = std::clamp(stallAt, from, stop);
      constexpr std::int64_t kPiece = 1 << 16;
      for (std::int64_t at = from; ok && at < stop; at += kPiece) {
        const std::string piece = Content(seed, at, std::min(at + kPiece, stop));
        ok = WriteAll(out, piece.data(), piece.size());
      }
      g_output_stream_flush(out, nullptr, nullptr);
      if (stallAt >= 0 && ok) {
        // Leave the client waiting for the rest.
        stalled.push_back(stream);
        return;
      }
    }
  }
  g_io_stream_close(stream, nullptr, nullptr);
  g_object_unref(stream);
}

void Count(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  const RawRequest* raw = RawRequestOf(msg);
  const std::string target = raw ? raw->target : std::string();
  const std::string key = QueryValue(QueryOf(target), "key").value_or("");
  std::int64_t n = 0;
  {
    std::lock_guard lock(countsMutex);
    auto it = counts.find(key);
    if (it != counts.end()) n = it->second;
  }
  Reply(msg, 200, "text/plain", std::to_string(n));
}

}  // namespace

void RegisterDownloadRoutes(SoupServer* server, const Options&) {
  soup_server_add_handler(server, "/download/file", File, nullptr, nullptr);
  soup_server_add_handler(server, "/download/count", Count, nullptr, nullptr);
}

}  // namespace tessaro::event_server
