// Text and byte-set operations. The searches and splits are single passes; the hot loops
// look for the sought text's first byte with memchr and only then walk the GBK pairs that
// lie between, so plain ASCII runs move at memchr speed.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cctype>
#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/charset.h"

#include "values/services.h"
#include "values/values.h"

namespace tessaro {

namespace {

constexpr unsigned char Lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

std::int32_t Len(std::string_view t) { return static_cast<std::int32_t>(t.size()); }

std::string_view Sub(std::string_view t, std::size_t pos, std::size_t n = std::string_view::npos) {
  return t.substr(pos, n);
}

// Compares at p; with ignoreCase ASCII letters match either case, but the two bytes of a
// double-byte character of the sought text are compared exactly: a trail byte that looks
// like a letter is not one.
bool EqualAt(const unsigned char* p, std::string_view sought, bool ignoreCase) {
  if (!ignoreCase) return std::memcmp(p, sought.data(), sought.size()) == 0;
  for (std::size_t i = 0; i < sought.size(); ++i) {
    const auto c = static_cast<unsigned char>(sought[i]);
    if (IsLeadByte(c)) {
      if (p[i] != c) return false;
      if (++i < sought.size() && p[i] != static_cast<unsigned char>(sought[i])) return false;
    } else if (Lower(p[i]) != Lower(c)) {
      return false;
    }
  }
  return true;
}

// Where the next place lies whose bytes could start a match: memchr for the first byte of
// a case-sensitive search; for a search ignoring case, a 16-byte-wide scan for the first two
// bytes, each folded where it is an ASCII letter of the sought text.
class CandidateFinder {
 public:
  CandidateFinder(const unsigned char* p, std::size_t size, std::string_view sought,
                  bool ignoreCase)
      : p_(p), size_(size), ignoreCase_(ignoreCase) {
    const auto c0 = static_cast<unsigned char>(sought[0]);
    first_ = c0;
    if (!ignoreCase) return;
    auto foldMask = [](unsigned char c) -> unsigned char {
      return (c | 0x20) >= 'a' && (c | 0x20) <= 'z' ? 0x20 : 0;
    };
    mask0_ = foldMask(c0);
    want0_ = c0 | mask0_;
    pair_ = sought.size() >= 2;
    if (pair_) {
      const auto c1 = static_cast<unsigned char>(sought[1]);
      mask1_ = IsLeadByte(c0) ? 0 : foldMask(c1);  // a trail byte compares exactly
      want1_ = c1 | mask1_;
    }
  }

  std::size_t Next(std::size_t from) const {
    if (from >= size_) return size_;
    if (!ignoreCase_) {
      const void* hit = std::memchr(p_ + from, first_, size_ - from);
      return hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p_) : size_;
    }
    std::size_t i = from;
#ifdef __SSE2__
    const __m128i m0 = _mm_set1_epi8(static_cast<char>(mask0_));
    const __m128i w0 = _mm_set1_epi8(static_cast<char>(want0_));
    const __m128i m1 = _mm_set1_epi8(static_cast<char>(mask1_));
    const __m128i w1 = _mm_set1_epi8(static_cast<char>(want1_));
    while (i + 17 <= size_) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + i));
      __m128i eq = _mm_cmpeq_epi8(_mm_or_si128(a, m0), w0);
      if (pair_) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + i + 1));
        eq = _mm_and_si128(eq, _mm_cmpeq_epi8(_mm_or_si128(b, m1), w1));
      }
      if (const auto bits = static_cast<unsigned>(_mm_movemask_epi8(eq)))
        return i + static_cast<std::size_t>(__builtin_ctz(bits));
      i += 16;
    }
#endif
    for (; i < size_; ++i) {
      if ((p_[i] | mask0_) != want0_) continue;
      if (pair_ && (i + 1 >= size_ || (p_[i + 1] | mask1_) != want1_)) continue;
      return i;
    }
    return size_;
  }

 private:
  const unsigned char* p_;
  std::size_t size_;
  bool ignoreCase_;
  unsigned char first_ = 0;
  unsigned char mask0_ = 0, want0_ = 0, mask1_ = 0, want1_ = 0;
  bool pair_ = false;
};

// Whether pos starts a character, given that anchor (<= pos) does. A byte below 0x80 always
// ends a character (alone or as a trail byte), so the character boundary after the last
// such byte before pos is known; from there on every byte is 0x80 or more and they pair up.
// Only the run of high bytes right before pos is looked at.
bool IsCharStart(const unsigned char* p, std::size_t anchor, std::size_t pos) {
  std::size_t i = pos;
  while (i > anchor && IsLeadByte(p[i - 1])) --i;
  return (pos - i) % 2 == 0;
}

// The character-aware forward search over text[s, limit): the first offset o at a
// character boundary with o + sought.size() <= limit where sought matches. s must start a
// character (or be the given start, which the scan takes as one).
std::int64_t ForwardSearch(std::string_view text, std::string_view sought, std::size_t s,
                           std::size_t limit, bool ignoreCase) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const std::size_t m = sought.size();
  const CandidateFinder finder(p, size, sought, ignoreCase);
  std::size_t anchor = s;  // a known character start
  std::size_t from = s;
  while (true) {
    const std::size_t hit = finder.Next(from);
    if (hit + m > limit || hit >= size) return -1;
    if (!IsCharStart(p, anchor, hit)) {  // a trail byte: the character after it is next
      anchor = from = hit + 1;
      continue;
    }
    if (IsLeadByte(p[hit]) && hit + 1 >= size) return -1;  // a lead byte at the very end
    if (EqualAt(p + hit, sought, ignoreCase)) return static_cast<std::int64_t>(hit);
    from = hit + (IsLeadByte(p[hit]) ? 2 : 1);
    anchor = from;
  }
}

}  // namespace

TextValue ConcatText(std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (auto part : parts) n += part.size();
  TextValue out;
  out.reserve(n);
  for (auto part : parts) out.append(part);
  return out;
}

bool TextEquals(std::string_view a, std::string_view b) { return a == b; }

std::int32_t CompareText(std::string_view a, std::string_view b, bool caseSensitive) {
  // Double-byte letters would fold by the code page's upper-case mapping; GBK has the
  // full-width Latin letters A3 C1..A3 DA and A3 E1..A3 FA, folded here alike.
  auto fold = [&](std::string_view t, std::size_t& i) -> int {
    const auto c = static_cast<unsigned char>(t[i]);
    if (IsLeadByte(c) && i + 1 < t.size()) {
      auto trail = static_cast<unsigned char>(t[i + 1]);
      if (!caseSensitive && c == 0xA3 && trail >= 0xE1 && trail <= 0xFA) trail -= 0x20;
      i += 2;
      return (c << 8) | trail;
    }
    ++i;
    return caseSensitive ? c : Lower(c);
  };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool wideA = IsLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size();
    const bool wideB = IsLeadByte(static_cast<unsigned char>(b[j])) && j + 1 < b.size();
    int ca = fold(a, i);
    int cb = fold(b, j);
    // Compare by byte values: a single byte compares against the lead byte of a pair.
    if (wideA != wideB) {
      if (wideA) ca >>= 8;
      if (wideB) cb >>= 8;
      if (ca == cb) return wideA ? 1 : -1;
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::int32_t TextLength(std::string_view t) { return Len(t); }

TextValue TextLeft(std::string_view t, std::int32_t count) {
  if (count <= 0) return {};
  return TextValue(Sub(t, 0, static_cast<std::size_t>(count)));
}

TextValue TextRight(std::string_view t, std::int32_t count) {
  if (count <= 0) return {};
  const auto n = std::min(t.size(), static_cast<std::size_t>(count));
  return TextValue(Sub(t, t.size() - n));
}

TextValue TextMid(std::string_view t, std::int32_t start, std::int32_t count) {
  if (start < 1 || start > Len(t) || count <= 0) return {};
  return TextValue(Sub(t, static_cast<std::size_t>(start - 1), static_cast<std::size_t>(count)));
}

std::int32_t FindText(std::string_view text, std::string_view sought, std::int32_t start,
                      bool ignoreCase) {
  const std::size_t s = start > 1 ? static_cast<std::size_t>(start - 1) : 0;
  if (s >= text.size()) return -1;
  if (sought.empty()) return 1;
  // A given start may fall on a trail byte; the scan simply begins there.
  const std::int64_t at = ForwardSearch(text, sought, s, text.size(), ignoreCase);
  return at < 0 ? -1 : static_cast<std::int32_t>(at + 1);
}

std::int32_t FindTextReverse(std::string_view text, std::string_view sought, std::int32_t start,
                             bool ignoreCase) {
  std::size_t covered = text.size();
  if (start != 0) {
    if (start <= 1) return -1;
    covered = std::min(text.size(), static_cast<std::size_t>(start - 1));
  }
  if (covered == 0) return -1;
  if (sought.empty()) return 1;
  // Candidates run forward from the start so that lead bytes pair up as they do forwards;
  // the last match that ends inside the covered part wins.
  std::int64_t last = -1;
  std::size_t from = 0;
  while (true) {
    const std::int64_t at = ForwardSearch(text, sought, from, covered, ignoreCase);
    if (at < 0) break;
    last = at;
    const auto p = static_cast<std::size_t>(at);
    from = p + (IsLeadByte(static_cast<unsigned char>(text[p])) ? 2 : 1);
    if (from >= covered) break;
  }
  return last < 0 ? -1 : static_cast<std::int32_t>(last + 1);
}

TextValue ReplaceTextAt(std::string_view t, std::int32_t start, std::int32_t count,
                        std::string_view replacement) {
  const std::int64_t len = Len(t);
  const auto p = static_cast<std::size_t>(std::clamp<std::int64_t>(std::int64_t{start} - 1, 0, len));
  std::size_t del = 0;
  if (count > 0) del = std::min(static_cast<std::size_t>(count), t.size() - p);
  TextValue out;
  out.reserve(t.size() - del + replacement.size());
  out.append(t.substr(0, p));
  out.append(replacement);
  out.append(t.substr(p + del));
  return out;
}

TextValue ToLowerCase(std::string_view t) {
  TextValue out(t);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (IsLeadByte(c)) {
      ++i;  // the trail byte is part of the double-byte character
    } else {
      out[i] = static_cast<char>(Lower(c));
    }
  }
  return out;
}

TextValue RemoveAllSpaces(std::string_view t) {
  TextValue out;
  out.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (IsLeadByte(c) && i + 1 < t.size()) {
      if (!(c == 0xA1 && static_cast<unsigned char>(t[i + 1]) == 0xA1)) out.append(t.substr(i, 2));
      ++i;
    } else if (c != 0x20) {
      out += t[i];
    }
  }
  return out;
}

TextValue SpaceText(std::int32_t count) {
  return count <= 0 ? TextValue() : TextValue(static_cast<std::size_t>(count), ' ');
}

TextValue ToText(std::int32_t n) { return std::to_string(n); }
TextValue ToText(const TextValue& t) { return t; }
TextValue ToText(const ByteSet& b) {
  const std::string_view v = b.view();
  return TextValue(v.substr(0, v.find('\0')));
}

double ToNumber(std::int32_t n) { return n; }

double ToNumber(std::string_view t) {
  // Full-width forms fold to ASCII first.
  std::string folded;
  folded.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (IsLeadByte(c) && i + 1 < t.size()) {
      const auto d = static_cast<unsigned char>(t[i + 1]);
      if (c == 0xA3 && d >= 0xA1 && d <= 0xFE) {
        folded += static_cast<char>(d - 0x80);
      } else if (c == 0xA1 && d == 0xA1) {
        folded += ' ';
      } else if (c == 0xA1 && d == 0xAB) {
        folded += '~';
      } else if (c == 0xA1 && (d == 0xEE || d == 0xEF)) {
        folded += '*';
      } else {
        folded.append(t.substr(i, 2));
      }
      ++i;
    } else {
      folded += t[i];
    }
  }
  // The C library's reading of a decimal number, in the "C" locale whatever the process's:
  // white space, a sign, digits with a point and fraction, an exponent. Hexadecimal forms,
  // "inf" and "nan" are not decimal numbers and read as 0 (or the digits before them).
  std::size_t i = 0;
  while (i < folded.size() && (folded[i] == ' ' || (folded[i] >= '\t' && folded[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < folded.size() && (folded[i] == '+' || folded[i] == '-')) negative = folded[i++] == '-';
  const char* first = folded.data() + i;
  const char* last = folded.data() + folded.size();
  if (first == last || !(std::isdigit(static_cast<unsigned char>(*first)) || *first == '.')) return 0.0;
  double value = 0.0;
  const std::from_chars_result read =
      std::from_chars(first, last, value, std::chars_format::general);
  if (read.ec == std::errc::result_out_of_range) {
    // Too large reads as infinity and too small as zero, as strtod gives.
    const std::string_view digits(first, static_cast<std::size_t>(read.ptr - first));
    const auto e = digits.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && digits.find('-', e) != std::string_view::npos;
    value = tiny ? 0.0 : HUGE_VAL;
  } else if (read.ec != std::errc()) {
    return 0.0;
  }
  return negative ? -value : value;
}

ValueArray<TextValue> SplitText(std::string_view t, std::string_view delimiter,
                                std::int32_t maxCount) {
  ValueArray<TextValue> out;
  if (maxCount < 0) maxCount = 0;
  if (t.empty() || maxCount == 0) return out;
  if (delimiter.empty()) {
    out.Append(TextValue(t));
    return out;
  }
  std::size_t pieceStart = 0;
  std::size_t from = 0;
  while (from < t.size()) {
    const std::int64_t at = ForwardSearch(t, delimiter, from, t.size(), false);
    if (at < 0) break;
    const auto p = static_cast<std::size_t>(at);
    out.Append(TextValue(t.substr(pieceStart, p - pieceStart)));
    if (out.Count() >= maxCount) return out;
    pieceStart = from = p + delimiter.size();
  }
  if (pieceStart < t.size()) out.Append(TextValue(t.substr(pieceStart)));
  return out;
}

ByteSet ToBytes(std::string_view t) { return ByteSet(std::string(t)); }

ValueArray<ByteSet> SplitBytes(const ByteSet& b, std::string_view delimiter,
                               std::int32_t maxCount) {
  ValueArray<ByteSet> out;
  const std::string_view v = b.view();
  if (maxCount < 0) maxCount = 0;
  if (v.empty() || maxCount == 0) return out;
  if (delimiter.empty()) {
    out.Append(b);
    return out;
  }
  const char first = delimiter[0];
  const std::size_t m = delimiter.size();
  std::size_t pieceStart = 0;
  std::size_t from = 0;
  while (from < v.size()) {
    const void* hit = std::memchr(v.data() + from, first, v.size() - from);
    if (!hit) break;
    const auto p = static_cast<std::size_t>(static_cast<const char*>(hit) - v.data());
    if (p + m > v.size()) break;
    if (std::memcmp(v.data() + p, delimiter.data(), m) != 0) {
      from = p + 1;
      continue;
    }
    out.Append(ByteSet(v.data() + pieceStart, p - pieceStart));
    if (out.Count() >= maxCount) return out;
    pieceStart = from = p + m;
  }
  if (pieceStart < v.size()) out.Append(ByteSet(v.data() + pieceStart, v.size() - pieceStart));
  return out;
}

std::int32_t BytesLength(const ByteSet& b) { return static_cast<std::int32_t>(b.size()); }

ByteSet ZeroBytes(std::int32_t count) {
  return count <= 0 ? ByteSet() : ByteSet(std::string(static_cast<std::size_t>(count), '\0'));
}

ByteSet BytesLeft(const ByteSet& b, std::int32_t count) {
  if (count <= 0) return {};
  return ByteSet(std::string(b.view().substr(0, static_cast<std::size_t>(count))));
}

ByteSet ConcatBytes(std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (auto part : parts) n += part.size();
  std::string out;
  out.reserve(n);
  for (auto part : parts) out.append(part);
  return ByteSet(std::move(out));
}

TextValue Gbk(std::string_view utf8) {
  // Literals are ours; one without a GBK form is a programming error, kept visible as is.
  return platform::Utf8ToGbk(utf8).value_or(TextValue(utf8));
}

std::string ToUtf8(std::string_view gbk) { return platform::GbkToUtf8(gbk); }

void FatalValueError(std::int64_t index, std::int64_t count) {
  // Error code 1: an index above the count; 4: an index below 1.
  const bool above = index > count;
  const std::string text =
      above ? "数组成员引用下标超出定义范围 (错误码 1): 下标 " + std::to_string(index) + " 大于成员数 " +
                  std::to_string(count)
            : "数组成员引用下标小于 1 (错误码 4): 下标 " + std::to_string(index);
  MessageBox(Gbk(text), 16, Gbk("错误"));
  std::_Exit(-1);
}

}  // namespace tessaro
