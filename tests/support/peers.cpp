// Real HTTP peers run by the tests on loopback.
#include "support/peers.h"

#include "support/process.h"

namespace tessaro::testing {

Peer::~Peer() {
  Stop();
}

void Peer::Stop() {
  StopChild(pid_);
  RemoveTree(dir_);
  dir_.clear();
  port_ = 0;
}

std::string Peer::Url(std::string_view pathAndQuery) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(pathAndQuery);
}

bool Peer::Launch(const std::string& program, const std::string& configName,
                  const std::string& config, const std::vector<std::string>& args) {
  error_.clear();
  missing_ = false;
  if (!IsExecutable(program)) {
    missing_ = true;
    error_ = program + " is not installed (scripts/install-deps.sh installs it)";
    return false;
  }
  // A free port may be taken between the probe and the peer's bind: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    Stop();
    dir_ = MakeTempDir("tessaro-peer-");
    if (dir_.empty()) {
      error_ = "cannot make a temporary folder";
      return false;
    }
    port_ = FreeLoopbackPort();
    std::string text = config;
    for (std::size_t p; (p = text.find("@PORT@")) != std::string::npos;)
      text.replace(p, 6, std::to_string(port_));
    for (std::size_t p; (p = text.find("@DIR@")) != std::string::npos;) text.replace(p, 5, dir_);
    std::string configPath = dir_ + "/" + configName;
    {
      FILE* f = std::fopen(configPath.c_str(), "w");
      if (!f) {
        error_ = "cannot write " + configPath;
        return false;
      }
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
    std::vector<std::string> argv = {program};
    for (std::string a : args) {
      for (std::size_t p; (p = a.find("@CONFIG@")) != std::string::npos;)
        a.replace(p, 8, configPath);
      for (std::size_t p; (p = a.find("@DIR@")) != std::string::npos;) a.replace(p, 5, dir_);
      argv.push_back(a);
    }
    pid_ = SpawnChild(argv, nullptr, dir_ + "/stderr.log", &error_);
    if (!pid_) return false;
    if (WaitForPort(port_, pid_, 10000)) return true;
    error_ = program + " did not start: " + ReadFileText(dir_ + "/stderr.log");
  }
  Stop();
  return false;
}

Nginx::~Nginx() {
  Stop();
}

bool Nginx::Start(const std::string& root) {
  // One process in the foreground, so the test owns it; every path inside the folder.
  std::string config =
      "daemon off;\n"
      "master_process off;\n"
      "worker_processes 1;\n"
      "pid @DIR@/nginx.pid;\n"
      "error_log @DIR@/error.log info;\n"
      "events { worker_connections 256; }\n"
      "http {\n"
      "  log_format conn '$connection $connection_requests $status \"$request\" "
      "$body_bytes_sent';\n"
      "  access_log @DIR@/access.log conn;\n"
      "  client_body_temp_path @DIR@/body;\n"
      "  proxy_temp_path @DIR@/proxy;\n"
      "  fastcgi_temp_path @DIR@/fastcgi;\n"
      "  uwsgi_temp_path @DIR@/uwsgi;\n"
      "  scgi_temp_path @DIR@/scgi;\n"
      "  default_type application/octet-stream;\n"
      "  sendfile on;\n"
      "  keepalive_timeout 120s;\n"
      "  keepalive_requests 1000000;\n"
      "  server {\n"
      "    listen 127.0.0.1:@PORT@;\n"
      "    root " +
      root +
      ";\n"
      "    location / { }\n"
      "  }\n"
      "}\n";
  return Launch("/usr/sbin/nginx", "nginx.conf", config,
                {"-p", "@DIR@", "-c", "@CONFIG@", "-e", "@DIR@/error.log"});
}

std::string Nginx::AccessLog() const {
  return ReadFileText(dir_ + "/access.log");
}

Tinyproxy::~Tinyproxy() {
  Stop();
}

bool Tinyproxy::Start() {
  std::string config =
      "Port @PORT@\n"
      "Listen 127.0.0.1\n"
      "Timeout 60\n"
      "MaxClients 64\n"
      "Allow 127.0.0.1\n"
      "LogFile \"@DIR@/tinyproxy.log\"\n"
      "LogLevel Info\n"
      "PidFile \"@DIR@/tinyproxy.pid\"\n"
      "ViaProxyName \"tinyproxy\"\n";
  return Launch("/usr/bin/tinyproxy", "tinyproxy.conf", config, {"-d", "-c", "@CONFIG@"});
}

std::string Tinyproxy::Log() const {
  return ReadFileText(dir_ + "/tinyproxy.log");
}

}  // namespace tessaro::testing
