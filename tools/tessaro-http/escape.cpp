#include "tessaro-http/escape.h"

namespace tessaro::cli {

std::string EscapeField(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    switch (b) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (b < 0x20 || b >= 0x7F) {
          out += "\\x";
          out += kHex[b >> 4];
          out += kHex[b & 0xF];
        } else {
          out += ch;
        }
    }
  }
  return out;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<std::string> UnescapeField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (++i == field.size()) return std::nullopt;  // a lone backslash at the end
    switch (field[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case '0': out += '\0'; break;
      case 'x': {
        if (i + 2 >= field.size()) return std::nullopt;
        const int hi = HexDigit(field[i + 1]);
        const int lo = HexDigit(field[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::optional<std::vector<std::string>> SplitBatchLine(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    const std::string_view raw =
        line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
    auto field = UnescapeField(raw);
    if (!field) return std::nullopt;
    fields.push_back(std::move(*field));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return fields;
}

}  // namespace tessaro::cli
