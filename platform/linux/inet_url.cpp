// Request targets, hosts and URLs as this layer puts them on the wire, and the one place
// where its failures are logged.
#include <cstdio>
#include <cstdlib>

#include "platform/linux/inet_internal.h"

namespace tessaro::inet::detail {

std::uint32_t Fail(std::string_view what, GError* error, Severity severity) {
  bool cancelled = error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  if (!cancelled) {
    std::string line(what);
    if (error != nullptr) line += std::string(": ") + error->message;
    if (severity == Severity::kStorage) {
      g_warning("inet: %s", line.c_str());
    } else {
      g_debug("inet: %s", line.c_str());
    }
  }
  if (error != nullptr) g_error_free(error);
  return 0;
}

std::string EncodeRequestTarget(std::string_view target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (char ch : target) {
    auto b = static_cast<unsigned char>(ch);
    bool forbidden = b <= 0x20 || b >= 0x7F || b == '"' || b == '<' || b == '>' || b == '\\' ||
                     b == '^' || b == '`' || b == '{' || b == '|' || b == '}';
    if (forbidden) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

bool IsSafeHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    for (char c : host.substr(1, host.size() - 2)) {
      if (!g_ascii_isxdigit(c) && c != ':' && c != '.') return false;
    }
    return true;
  }
  for (char c : host) {
    if (!g_ascii_isalnum(c) && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

GUri* BuildHttpUri(bool https, const std::string& host, int port, const std::string& target) {
  // The path and query are handed over already encoded, and no later step may split them
  // again: a "#" in a code belongs to the code, not to a fragment.
  std::string path = target;
  std::string query;
  bool hasQuery = false;
  if (auto q = path.find('?'); q != std::string::npos) {
    query = path.substr(q + 1);
    path.resize(q);
    hasQuery = true;
  }
  if (path.empty() || path.front() != '/') path = std::string("/").append(path);
  std::string bareHost = host;
  if (bareHost.size() > 2 && bareHost.front() == '[')
    bareHost = bareHost.substr(1, bareHost.size() - 2);
  auto flags = static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_ENCODED_PATH |
                                      G_URI_FLAGS_ENCODED_QUERY | G_URI_FLAGS_ENCODED_FRAGMENT |
                                      G_URI_FLAGS_HAS_PASSWORD | G_URI_FLAGS_SCHEME_NORMALIZE);
  return g_uri_build(flags, https ? "https" : "http", nullptr, bareHost.c_str(), port, path.c_str(),
                     hasQuery ? query.c_str() : nullptr, nullptr);
}

GUri* ParseHttpUrl(std::string_view url) {
  auto startsWith = [&](std::string_view prefix) {
    return url.size() >= prefix.size() &&
           g_ascii_strncasecmp(url.data(), prefix.data(), prefix.size()) == 0;
  };
  bool https = false;
  if (startsWith("http://")) {
    url.remove_prefix(7);
  } else if (startsWith("https://")) {
    url.remove_prefix(8);
    https = true;
  } else {
    return nullptr;
  }
  std::size_t end = url.find_first_of("/?#");
  std::string_view authority = url.substr(0, end);
  std::string_view target = end == std::string_view::npos ? std::string_view{} : url.substr(end);
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host = authority;
  int port = https ? 443 : 80;
  std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
    host = authority.substr(0, colon);
    std::string_view digits = authority.substr(colon + 1);
    if (!digits.empty()) {
      if (digits.size() > 5) return nullptr;
      port = 0;
      for (char c : digits) {
        if (!g_ascii_isdigit(c)) return nullptr;
        port = port * 10 + (c - '0');
      }
      if (port < 1 || port > 65535) return nullptr;
    }
  }
  if (!IsSafeHost(host)) return nullptr;
  std::string lowerHost(host);
  for (char& c : lowerHost) c = g_ascii_tolower(c);
  return BuildHttpUri(https, lowerHost, port, EncodeRequestTarget(target));
}

}  // namespace tessaro::inet::detail
