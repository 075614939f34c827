// Files of the --root folder under /static/, read whole, with a guessed Content-Type.
#include <string>

#include "event-server/routes.h"

namespace tessaro::event_server {
namespace {

std::string root;  // set once before the server listens

void Static(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer) {
  RecordRequest(msg, "static", {});
  // The path arrives still percent-encoded; an encoded "/" is refused.
  std::string encoded(std::string_view(path).substr(std::string_view("/static").size()));
  char* decoded = g_uri_unescape_string(encoded.c_str(), "/");
  std::string rel = decoded ? decoded : "";
  g_free(decoded);
  // A path that climbs out of the root is refused, whatever the client sent.
  if (rel.empty() || rel.find("..") != std::string::npos) {
    Reply(msg, 404, "text/plain", "not found\n");
    return;
  }
  std::string file = root + rel;
  if (g_file_test(file.c_str(), G_FILE_TEST_IS_DIR)) file += "/index.html";
  gchar* data = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(file.c_str(), &data, &size, nullptr)) {
    Reply(msg, 404, "text/plain", "not found\n");
    return;
  }
  gboolean uncertain = FALSE;
  gchar* type =
      g_content_type_guess(file.c_str(), reinterpret_cast<const guchar*>(data), size, &uncertain);
  gchar* mime = g_content_type_get_mime_type(type);
  Reply(msg, 200, mime ? mime : "application/octet-stream", std::string_view(data, size));
  g_free(mime);
  g_free(type);
  g_free(data);
}

}  // namespace

void RegisterStaticRoutes(SoupServer* server, const Options& options) {
  if (options.root.empty()) return;
  root = options.root;
  soup_server_add_handler(server, "/static", Static, nullptr, nullptr);
}

}  // namespace tessaro::event_server
