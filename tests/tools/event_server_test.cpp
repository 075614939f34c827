// The event-server's record shows a request as the client wrote it, which the web access
// tests rely on: percent escapes, header order and name case untouched.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/event_server_env.h"

namespace tessaro {
namespace {

// Sends raw bytes on a fresh connection and reads until the server closes it.
std::string RawExchange(std::uint16_t port, const std::string& request) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
      answer.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

TEST(EventServerRecord, KeepsTheRequestAsWritten) {
  auto& server = testing::SharedEventServer();
  ASSERT_TRUE(server.Running()) << server.Error();
  server.ClearRecord();
  const std::string target = "/cf/a20140424cfplive/exchange.php?sKey=%b2%e2%41+B%2B#x&t=0.584";
  std::string answer = RawExchange(server.Port(), "GET " + target +
                                                      " HTTP/1.1\r\n"
                                                      "z-last: 1\r\n"
                                                      "A-First: 2\r\n"
                                                      "cookie: k=v\r\n"
                                                      "Host: h\r\n"
                                                      "Connection: close\r\n\r\n");
  EXPECT_NE(answer.find("200 OK"), std::string::npos) << answer;
  auto entries = server.Record("exchange");
  ASSERT_EQ(entries.size(), 1u);
  const testing::RecordEntry& r = entries[0];
  EXPECT_EQ(r.requestLine, "GET " + target + " HTTP/1.1");
  EXPECT_EQ(r.target, target);
  EXPECT_EQ(r.targetDecoded,
            "/cf/a20140424cfplive/exchange.php?sKey=\xb2\xe2"
            "A+B+#x&t=0.584");
  const std::vector<std::string> headers = {"z-last: 1", "A-First: 2", "cookie: k=v", "Host: h",
                                            "Connection: close"};
  EXPECT_EQ(r.headers, headers);
  EXPECT_EQ(r.cookie, "k=v");
  // Query values decode as forms do: '+' is a blank, '#' is data.
  EXPECT_EQ(r.sKey,
            "\xb2\xe2"
            "A B+#x");
  EXPECT_EQ(r.t, "0.584");
}

}  // namespace
}  // namespace tessaro
