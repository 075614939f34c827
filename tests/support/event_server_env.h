// The event-server as a child process of a test binary.
//
//   tessaro::testing::EventServer& server = tessaro::testing::SharedEventServer();
//   ASSERT_TRUE(server.Running()) << server.Error();
//   ... server.Url("/cf/a20140424cfplive/exchange.php?sKey=A&t=0.584") ...
//   auto entries = server.Record("exchange");
//
// SharedEventServer() starts the binary once per test process, on a port the system picks,
// and stops it when the process exits. Tests that want a server of their own construct an
// EventServer and call Start().
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::testing {

// One request as the event-server recorded it. Texts are bytes, as sent.
struct RecordEntry {
  std::int64_t seq = 0;
  std::string route;  // "exchange", "login", "live", "echo", "none" (no route), ...
  std::string method;
  std::string requestLine;            // without CR LF
  std::string target;                 // the request-target as sent
  std::string targetDecoded;          // with every %XX decoded ('+' kept)
  std::vector<std::string> headers;   // "Name: value" lines, in the order sent
  std::optional<std::string> cookie;  // the Cookie header, none when absent
  bool loggedIn = false;
  std::optional<std::string> user;
  std::string body;  // the first 64 KiB
  std::int64_t bodyLength = 0;
  std::optional<std::string> sKey;  // exchange only: decoded as a form value
  std::optional<std::string> t;
};

// The answer of a plain request made with libsoup, independent of the code under test.
struct FetchResult {
  unsigned status = 0;  // 0 when the request failed
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string error;
};
FetchResult Fetch(const std::string& url, const std::string& method = "GET",
                  const std::string& body = {});

class EventServer {
 public:
  EventServer() = default;
  ~EventServer();
  EventServer(const EventServer&) = delete;
  EventServer& operator=(const EventServer&) = delete;

  // Starts the binary with extra arguments (such as --root DIR) and waits for its
  // "port N" line. False when it did not start; Error() says why.
  bool Start(const std::vector<std::string>& extraArgs = {});
  void Stop();

  bool Running() const { return pid_ > 0; }
  const std::string& Error() const { return error_; }
  std::uint16_t Port() const { return port_; }
  // "http://127.0.0.1:PORT" followed by pathAndQuery.
  std::string Url(std::string_view pathAndQuery) const;

  // The record, all of it or one route's entries.
  std::vector<RecordEntry> Record(std::string_view route = {}) const;
  void ClearRecord() const;

  // A session cookie value that the server knows as logged in for user, obtained through
  // the login form (the value of cfsession).
  std::string Login(const std::string& user = "tester", const std::string& password = "pw") const;

 private:
  pid_t pid_ = 0;
  std::uint16_t port_ = 0;
  std::string error_;
};

// The process-wide server, started on first use.
EventServer& SharedEventServer();

// The path of the event-server binary of this build.
std::string EventServerPath();

}  // namespace tessaro::testing
