// Pages for link extraction, under /pages/. The path is free, so a client can place a page
// in whatever folder its relative links should be joined to.
//
//   /pages/<path>?html=TEXT   TEXT, %XX-decoded byte for byte, as a text/html page
//   /pages/<path>?drop=1      the connection is closed without an answer
//   /pages/<path>             a page of sample anchors: quoted, unquoted and single-quoted
//                             targets, root-relative and absolute ones, mailto, images,
//                             nested tags, anchors without target or without "="
#include <string>

#include "event-server/routes.h"

namespace tessaro::event_server {
namespace {

constexpr std::string_view kSamplePage =
    "<html><head><title>Links</title></head><body>\n"
    "<p><a href=\"x.htm\">Next</a></p>\n"
    "<p><A HREF=\"/top/y.htm\">Up</A></p>\n"
    "<p><a href=z.htm>Go</a></p>\n"
    "<p><a href=z.htm>Go on</a></p>\n"
    "<p><a href=\"mailto:me\">Mail</a></p>\n"
    "<p><a href=\"http://other/p\">P</a></p>\n"
    "<p><a href=\"HTTP://other/p\">P</a></p>\n"
    "<p><a href=\"x.htm\" target=_blank>X</a></p>\n"
    "<p><a class=\"nav\" href=\"x.htm\">X</a></p>\n"
    "<p><a href=\"x.htm\"><b>Bold</b> tail</a></p>\n"
    "<p><a href=\"x.htm\"><img src=\"/i/a.gif\"></a></p>\n"
    "<p><a href=\"x.htm\"><img border=0 src=b.gif></a></p>\n"
    "<p><a href=\"x.htm\"><img alt=\"pic\"></a></p>\n"
    "<p><a href=\"\">Here</a></p>\n"
    "<p><a name=\"top\"></a></p>\n"
    "<p><a>plain</a></p>\n"
    "<p><a href='x.htm'>X</a></p>\n"
    "</body></html>\n";

void Page(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  RecordRequest(msg, "pages", {});
  const RawRequest* raw = RawRequestOf(msg);
  const std::string target = raw ? raw->target : std::string();
  const std::string_view query = QueryOf(target);
  if (QueryValue(query, "drop")) {
    if (GIOStream* stream = soup_server_message_steal_connection(msg)) {
      g_io_stream_close(stream, nullptr, nullptr);
      g_object_unref(stream);
    }
    return;
  }
  // Decoded here without the form rule, so a '+' in the page stays a '+'.
  const std::string_view key = "html=";
  std::size_t at = query.find(key);
  while (at != std::string_view::npos && at != 0 && query[at - 1] != '&')
    at = query.find(key, at + 1);
  if (at == std::string_view::npos) {
    Reply(msg, 200, "text/html", kSamplePage);
    return;
  }
  std::string_view value = query.substr(at + key.size());
  value = value.substr(0, value.find('&'));
  Reply(msg, 200, "text/html", PercentDecode(value, false));
}

}  // namespace

void RegisterPageRoutes(SoupServer* server, const Options&) {
  soup_server_add_handler(server, "/pages", Page, nullptr, nullptr);
}

}  // namespace tessaro::event_server
