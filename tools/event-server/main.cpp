// event-server: a local live-event site on 127.0.0.1 for the demo and the tests.
//
// It serves the event page with a login form, the exchange endpoint, and a record of every
// request it received exactly as it arrived. On start it prints one line "port N" on
// standard output, then serves until SIGINT or SIGTERM.
#include <glib-unix.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "event-server/routes.h"

namespace {

constexpr const char* kHelp =
    "Usage: event-server [--port N] [--root DIR]\n"
    "\n"
    "A local live-event site on 127.0.0.1. Prints \"port N\" on standard output once it\n"
    "listens, then serves until interrupted.\n"
    "\n"
    "  --port N    listen on port N (default 0: a port the system picks)\n"
    "  --root DIR  serve the files of DIR under /static/\n"
    "  --help      show this text\n"
    "\n"
    "Routes:\n"
    "  /cfpl/s5/live.html                 the event page: login form (#user, #password,\n"
    "                                     #submit); its script sets the cookie cfvisit\n"
    "  /cfpl/s5/login.php                 POST user=..&password=.. (both non-empty) sets\n"
    "                                     the HttpOnly, SameSite=Lax cookie cfsession\n"
    "  /cf/a20140424cfplive/exchange.php  ?sKey=CODE&t=0.584: answers JSON, logged in or not\n"
    "  /record[?route=NAME]               JSON array of the requests received: request line\n"
    "                                     and header lines as sent, Cookie, body, and for the\n"
    "                                     exchange the decoded sKey and t. Texts are bytes:\n"
    "                                     each byte of 0x80 or more, or below 0x20, is one\n"
    "                                     \\u00XX escape. Query values are decoded as forms\n"
    "                                     are (%XX, '+' as space); '#' counts as data.\n"
    "  /record/clear                      empties the record\n"
    "  /test/...                          test answers: set-cookie, cookies, bytes, empty,\n"
    "                                     status, slow, chunked, drop, echo (see\n"
    "                                     tools/event-server/test_routes.cpp)\n";

void Fallback(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  tessaro::event_server::RecordRequest(msg, "none", {});
  tessaro::event_server::Reply(msg, 404, "text/plain", "not found\n");
}

}  // namespace

int main(int argc, char** argv) {
  tessaro::event_server::Options options;
  long port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (!end || *end || port < 0 || port > 65535) {
        std::fprintf(stderr, "event-server: bad port '%s'\n", argv[i]);
        return 64;
      }
    } else if (arg == "--root" && i + 1 < argc) {
      options.root = argv[++i];
    } else {
      std::fprintf(stderr, "event-server: unknown argument '%s' (see --help)\n", arg.c_str());
      return 64;
    }
  }

  SoupServer* server = soup_server_new("server-header", "event-server", nullptr);
  // Every route group registers here, one line each.
  tessaro::event_server::RegisterCoreRoutes(server, options);
  tessaro::event_server::RegisterTestRoutes(server, options);
  tessaro::event_server::RegisterStaticRoutes(server, options);
  tessaro::event_server::RegisterPageRoutes(server, options);
  tessaro::event_server::RegisterDownloadRoutes(server, options);
  soup_server_add_handler(server, nullptr, Fallback, nullptr, nullptr);

  std::string error;
  std::uint16_t bound =
      tessaro::event_server::ListenLoopback(server, static_cast<std::uint16_t>(port), &error);
  if (!bound) {
    std::fprintf(stderr, "event-server: cannot listen: %s\n", error.c_str());
    return 1;
  }
  std::printf("port %u\n", static_cast<unsigned>(bound));
  std::fflush(stdout);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  auto quit = +[](gpointer data) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
  };
  g_unix_signal_add(SIGINT, quit, loop);
  g_unix_signal_add(SIGTERM, quit, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  g_object_unref(server);
  return 0;
}
