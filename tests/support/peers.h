// Real HTTP peers that nobody here wrote, run by the tests on loopback: nginx serving a
// folder with keep-alive, and tinyproxy as a forward HTTP proxy.
//
//   tessaro::testing::Nginx nginx;
//   if (!nginx.Start(root)) { if (nginx.Missing()) GTEST_SKIP() << nginx.Error(); FAIL() <<
//   nginx.Error(); }
//   ... nginx.Url("/file.bin") ... nginx.AccessLog() ...
//
// Each writes its configuration and logs into a temporary folder of its own, removed by
// Stop() (or the destructor); Start() leaves the peer listening on 127.0.0.1 only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::testing {

class Peer {
 public:
  virtual ~Peer();
  Peer() = default;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void Stop();
  bool Running() const { return pid_ > 0; }
  // True when Start() failed because the program is not installed: skip, do not fail.
  bool Missing() const { return missing_; }
  const std::string& Error() const { return error_; }
  std::uint16_t Port() const { return port_; }
  const std::string& Dir() const { return dir_; }
  // "http://127.0.0.1:PORT" followed by pathAndQuery.
  std::string Url(std::string_view pathAndQuery) const;

 protected:
  bool Launch(const std::string& program, const std::string& configName, const std::string& config,
              const std::vector<std::string>& args);
  pid_t pid_ = 0;
  std::uint16_t port_ = 0;
  bool missing_ = false;
  std::string error_;
  std::string dir_;
};

class Nginx : public Peer {
 public:
  ~Nginx() override;
  // Serves the files of root, keep-alive on (up to 1,000,000 requests per connection).
  bool Start(const std::string& root);
  // The access log: one line per request, "CONNECTION REQUESTS_ON_IT STATUS \"REQUEST\"
  // BYTES_SENT", so keep-alive reuse shows as the same connection number.
  std::string AccessLog() const;
};

class Tinyproxy : public Peer {
 public:
  ~Tinyproxy() override;
  // A forward proxy that only serves clients on loopback. It adds a Via header naming
  // itself "tinyproxy" to what it forwards.
  bool Start();
  std::string Log() const;
};

}  // namespace tessaro::testing
