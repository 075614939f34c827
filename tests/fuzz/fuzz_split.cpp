// SplitText and SplitBytes: joined back with the delimiter the pieces give the input (up to
// a dropped trailing delimiter), and on text whose lead bytes never precede a delimiter
// byte the two splits agree.
#include <cstdlib>
#include <string>

#include "values/values.h"

using namespace tessaro;

namespace {
template <class Pieces, class Get>
std::string Join(const Pieces& pieces, std::string_view delimiter, Get get) {
  std::string out;
  bool first = true;
  for (const auto& p : pieces) {
    if (!first) out.append(delimiter);
    out.append(get(p));
    first = false;
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t dlen = data[0] % 4;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string_view delimiter = rest.substr(0, std::min(dlen, rest.size()));
  const std::string_view input = rest.substr(delimiter.size());

  const auto bytes = SplitBytes(ByteSet(std::string(input)), delimiter);
  const auto text = SplitText(input, delimiter);
  if (!input.empty() && !delimiter.empty()) {
    const std::string joinedBytes = Join(bytes, delimiter, [](const ByteSet& b) { return b.view(); });
    if (joinedBytes != input && joinedBytes + std::string(delimiter) != input) std::abort();
    const std::string joinedText = Join(text, delimiter, [](const TextValue& t) { return std::string_view(t); });
    if (joinedText != input && joinedText + std::string(delimiter) != input) std::abort();
  }
  bool plain = true;
  for (char c : input) plain = plain && static_cast<unsigned char>(c) < 0x80;
  for (char c : delimiter) plain = plain && static_cast<unsigned char>(c) < 0x80;
  if (plain) {
    if (bytes.Count() != text.Count()) std::abort();
    for (std::int32_t i = 1; i <= text.Count(); ++i)
      if (bytes[i].bytes() != text[i]) std::abort();
  }
  const std::int32_t limit = size > 1 ? data[1] % 5 : 0;
  if (SplitText(input, delimiter, limit).Count() > limit) std::abort();
  if (SplitBytes(ByteSet(std::string(input)), delimiter, limit).Count() > limit) std::abort();
  return 0;
}
