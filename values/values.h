// The value types every part of Tessaro passes around, and the operations on them.
//
// Text is 8-bit GBK, as the code list and the wire require. Positions are 1-based byte
// positions; a search that finds nothing gives -1; the empty and the absent value are one.
// The operations marked character-aware step over a lead byte (0x80 or more) and the byte
// after it together, so nothing is ever matched at a trail byte.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro {

// A text: bytes without NUL. std::string keeps it NUL-terminated for the platform.
using TextValue = std::string;

// A counted run of bytes that may hold NUL. A distinct type so that ToText(ByteSet) and
// ToText(TextValue) stay distinct operations.
class ByteSet {
 public:
  ByteSet() = default;
  explicit ByteSet(std::string bytes) : bytes_(std::move(bytes)) {}
  ByteSet(const char* data, std::size_t size) : bytes_(data, size) {}

  const std::string& bytes() const { return bytes_; }
  std::string& bytes() { return bytes_; }
  std::string_view view() const { return bytes_; }
  const char* data() const { return bytes_.data(); }
  char* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

  friend bool operator==(const ByteSet&, const ByteSet&) = default;

 private:
  std::string bytes_;
};

// Shows the fatal value error for a member access outside 1..count and ends the process
// with exit code -1, without any shutdown routine. Never returns.
[[noreturn]] void FatalValueError(std::int64_t index, std::int64_t count);

// A one-dimensional array addressed 1-based. An access outside 1..count is the fatal value
// error. Members are owned values; appending copies.
template <class T>
class ValueArray {
 public:
  ValueArray() = default;
  ValueArray(std::initializer_list<T> items) : items_(items) {}
  explicit ValueArray(std::vector<T> items) : items_(std::move(items)) {}

  T& operator[](std::int32_t index) { return items_[Checked(index)]; }
  const T& operator[](std::int32_t index) const { return items_[Checked(index)]; }

  std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }
  void Append(T value) { items_.push_back(std::move(value)); }
  void Append(const ValueArray& other) {
    items_.insert(items_.end(), other.items_.begin(), other.items_.end());
  }
  void Clear() { items_.clear(); }
  void Reserve(std::size_t n) { items_.reserve(n); }

  // Plain C++ iteration for callers that walk the whole array.
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }
  const std::vector<T>& items() const { return items_; }

  friend bool operator==(const ValueArray&, const ValueArray&) = default;

 private:
  std::size_t Checked(std::int32_t index) const {
    if (index < 1 || index > Count()) FatalValueError(index, Count());
    return static_cast<std::size_t>(index - 1);
  }
  std::vector<T> items_;
};

template <class T>
std::int32_t ArrayCount(const ValueArray<T>& a) {
  return a.Count();
}
template <class T>
void AppendMember(ValueArray<T>& a, T value) {
  a.Append(std::move(value));
}
template <class T>
void AppendMember(ValueArray<T>& a, const ValueArray<T>& more) {
  a.Append(more);
}

// Days since 1899-12-30 00:00, the fraction being the time of day (the OLE automation date).
struct DateTimeValue {
  double days = 0.0;
  friend bool operator==(const DateTimeValue&, const DateTimeValue&) = default;
};

inline constexpr double kMinDateTime = -657434.0;  // 0100-01-01
inline constexpr double kMaxDateTime = 2958465.0;  // 9999-12-31

// True for a byte that starts a double-byte GBK character.
constexpr bool IsLeadByte(unsigned char b) { return b >= 0x80; }

// ---- Texts ----
TextValue ConcatText(std::initializer_list<std::string_view> parts);
template <class... Ts>
TextValue ConcatText(const Ts&... parts) {
  return ConcatText({std::string_view(parts)...});
}
bool TextEquals(std::string_view a, std::string_view b);
std::int32_t CompareText(std::string_view a, std::string_view b, bool caseSensitive);
std::int32_t TextLength(std::string_view t);
TextValue TextLeft(std::string_view t, std::int32_t count);
TextValue TextRight(std::string_view t, std::int32_t count);
TextValue TextMid(std::string_view t, std::int32_t start, std::int32_t count);
// start 0 stands for "no start given" (a given start below 1 also counts as 1).
std::int32_t FindText(std::string_view text, std::string_view sought, std::int32_t start = 0,
                      bool ignoreCase = false);
// start 0 stands for "no start given" (the whole text is covered).
std::int32_t FindTextReverse(std::string_view text, std::string_view sought,
                             std::int32_t start = 0, bool ignoreCase = false);
TextValue ReplaceTextAt(std::string_view t, std::int32_t start, std::int32_t count,
                        std::string_view replacement = {});
TextValue ToLowerCase(std::string_view t);
TextValue RemoveAllSpaces(std::string_view t);
TextValue SpaceText(std::int32_t count);
TextValue ToText(std::int32_t n);
TextValue ToText(const TextValue& t);
TextValue ToText(const ByteSet& b);
double ToNumber(std::int32_t n);
double ToNumber(std::string_view t);
// maxCount below 0 counts as 0; kNoLimit means no limit was given.
inline constexpr std::int32_t kNoLimit = INT32_MAX;
ValueArray<TextValue> SplitText(std::string_view t, std::string_view delimiter = ",",
                                std::int32_t maxCount = kNoLimit);

// ---- Byte sets ----
ByteSet ToBytes(std::string_view t);
ValueArray<ByteSet> SplitBytes(const ByteSet& b, std::string_view delimiter = std::string_view("\0", 1),
                               std::int32_t maxCount = kNoLimit);
std::int32_t BytesLength(const ByteSet& b);
ByteSet ZeroBytes(std::int32_t count);
ByteSet BytesLeft(const ByteSet& b, std::int32_t count);
ByteSet ConcatBytes(std::initializer_list<std::string_view> parts);
template <class... Bs>
ByteSet ConcatBytes(const Bs&... parts) {
  return ConcatBytes({parts.view()...});
}

// ---- Numbers ----
std::int32_t BitAnd(std::initializer_list<std::int32_t> values);
double IntegerDivide(double dividend, double divisor);
double RoundNumber(double value, std::int32_t places = 0);

// ---- Date-times ----
DateTimeValue MakeDateTime(std::int32_t year = 1, std::int32_t month = 1, std::int32_t day = 1,
                           std::int32_t hour = 0, std::int32_t minute = 0,
                           std::int32_t second = 0);
std::int32_t YearOf(DateTimeValue dt);
std::int32_t MonthOf(DateTimeValue dt);
std::int32_t DayOf(DateTimeValue dt);
std::int32_t HourOf(DateTimeValue dt);
std::int32_t MinuteOf(DateTimeValue dt);
std::int32_t SecondOf(DateTimeValue dt);
std::int32_t DayOfWeekOf(DateTimeValue dt);  // 1 Sunday .. 7 Saturday
double ClampDateTime(double d);

// ---- Text conversion at the GUI boundary ----
// Chinese literals live in the source as UTF-8; this converts one to GBK once.
TextValue Gbk(std::string_view utf8);
// GBK to UTF-8 for GTK; bytes that are not valid GBK become U+FFFD.
std::string ToUtf8(std::string_view gbk);

}  // namespace tessaro
