// Slow, obviously-right readings of the character-aware search rules, for differential
// fuzzing.
#pragma once

#include <cstdint>
#include <string_view>

namespace fuzzref {

inline unsigned char Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

inline bool Match(std::string_view t, std::size_t at, std::string_view s, bool ic) {
  if (at + s.size() > t.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto a = static_cast<unsigned char>(t[at + i]), b = static_cast<unsigned char>(s[i]);
    if (b >= 0x80) {  // a double-byte character of the sought text compares exactly
      if (a != b) return false;
      if (++i < s.size() && t[at + i] != s[i]) return false;
      continue;
    }
    if (ic ? Lower(a) != Lower(b) : a != b) return false;
  }
  return true;
}

// Visits candidate offsets from s as the forward scan does; stops when f returns true.
template <class F>
void Candidates(std::string_view t, std::size_t s, F f) {
  std::size_t i = s;
  while (i < t.size()) {
    const bool lead = static_cast<unsigned char>(t[i]) >= 0x80;
    if (lead && i + 1 >= t.size()) return;
    if (f(i)) return;
    i += lead ? 2 : 1;
  }
}

inline std::int32_t Find(std::string_view t, std::string_view s, std::int32_t start, bool ic) {
  const std::size_t from = start > 1 ? static_cast<std::size_t>(start - 1) : 0;
  if (from >= t.size()) return -1;
  if (s.empty()) return 1;
  std::int32_t r = -1;
  Candidates(t, from, [&](std::size_t i) {
    if (Match(t, i, s, ic)) {
      r = static_cast<std::int32_t>(i + 1);
      return true;
    }
    return false;
  });
  return r;
}

inline std::int32_t FindReverse(std::string_view t, std::string_view s, std::int32_t start,
                                bool ic) {
  std::size_t covered = t.size();
  if (start != 0) {
    if (start <= 1) return -1;
    covered = std::min(t.size(), static_cast<std::size_t>(start - 1));
  }
  if (covered == 0) return -1;
  if (s.empty()) return 1;
  std::int32_t r = -1;
  Candidates(t, 0, [&](std::size_t i) {
    if (i + s.size() <= covered && Match(t, i, s, ic)) r = static_cast<std::int32_t>(i + 1);
    return false;
  });
  return r;
}

}  // namespace fuzzref
