// Text helpers shared by the event-server's routes.
#include <cstdio>
#include <cstdlib>

#include "event-server/routes.h"

namespace tessaro::event_server {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string_view QueryOf(std::string_view target) {
  std::size_t q = target.find('?');
  return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    std::size_t eq = pair.find('=');
    std::string_view k = pair.substr(0, eq);
    if (k != key) continue;
    return eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1), true);
  }
  return std::nullopt;
}

std::int64_t IntParam(std::string_view query, std::string_view key, std::int64_t fallback,
                      std::int64_t lo, std::int64_t hi) {
  auto v = QueryValue(query, key);
  if (!v || v->empty()) return fallback;
  char* end = nullptr;
  long long n = std::strtoll(v->c_str(), &end, 10);
  if (!end || *end) return fallback;
  if (n < lo) return lo;
  if (n > hi) return hi;
  return n;
}

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

void Reply(SoupServerMessage* msg, unsigned status, const char* contentType,
           std::string_view body) {
  soup_server_message_set_status(msg, status, nullptr);
  soup_server_message_set_response(msg, contentType, SOUP_MEMORY_COPY, body.data(), body.size());
}

}  // namespace tessaro::event_server
