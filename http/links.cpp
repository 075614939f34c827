// GetPageLinks: a scanner over the page text, not an HTML parser. It finds anchors by the
// texts "<a" and "</a>" and takes the first attribute value of each as its target, so its
// quirks (single quotes kept, "<abbr>" opening a piece, an unquoted value cut by a later
// blank) are part of what callers get.
//
// One pass: every search runs forward from where the last one stopped, inside a view of
// the page, and no part of the page is copied except the fields of the records.
#include "http/links.h"

#include <cstring>
#include <string_view>

namespace tessaro::http {
namespace {

// 1-based byte positions, -1 for "not found", as the text operations use them.
using Pos = std::int64_t;
constexpr Pos kNone = -1;

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool SameBytes(std::string_view a, std::string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

// True when offset c starts a character for a scan that began at offset origin: a byte of
// 0x80 or more leads a double-byte character, so c is a trail byte exactly when an odd run
// of such bytes stands directly before it.
bool AtCharStart(std::string_view t, std::size_t origin, std::size_t c) {
  std::size_t run = 0;
  while (c > origin && IsLeadByte(static_cast<unsigned char>(t[c - 1]))) {
    --c;
    ++run;
  }
  return run % 2 == 0;
}

// FindText's forward search (character-aware, ASCII letters folded on request), driven by
// memchr on the first byte of sought that is not a letter.
Pos Find(std::string_view t, std::string_view sought, Pos start, bool ignoreCase = false) {
  const std::size_t origin = start < 1 ? 0 : static_cast<std::size_t>(start - 1);
  if (origin >= t.size() || sought.empty()) return kNone;
  std::size_t key = 0;
  while (key < sought.size() && IsAsciiLetter(sought[key])) ++key;
  if (key == sought.size()) {
    // Only letters: no byte to hand to memchr, so try every offset.
    for (std::size_t c = origin; c + sought.size() <= t.size(); ++c)
      if (SameBytes(t.substr(c, sought.size()), sought, ignoreCase) && AtCharStart(t, origin, c))
        return static_cast<Pos>(c) + 1;
    return kNone;
  }
  std::size_t from = origin + key;
  while (from < t.size()) {
    const void* hit = std::memchr(t.data() + from, sought[key], t.size() - from);
    if (!hit) return kNone;
    const auto h = static_cast<std::size_t>(static_cast<const char*>(hit) - t.data());
    const std::size_t c = h - key;
    if (c + sought.size() <= t.size() &&
        SameBytes(t.substr(c, sought.size()), sought, ignoreCase) && AtCharStart(t, origin, c))
      return static_cast<Pos>(c) + 1;
    from = h + 1;
  }
  return kNone;
}

// The byte at a 1-based position, or 0 outside the text.
char ByteAt(std::string_view t, Pos p) {
  return p >= 1 && p <= static_cast<Pos>(t.size()) ? t[static_cast<std::size_t>(p - 1)] : '\0';
}

// The bytes strictly between two 1-based positions.
std::string_view Between(std::string_view t, Pos open, Pos close) {
  return t.substr(static_cast<std::size_t>(open), static_cast<std::size_t>(close - open - 1));
}

// The nearer of the next blank and the next double quote after from, or -1.
Pos ValueStop(std::string_view piece, Pos from) {
  const Pos blank = Find(piece, " ", from);
  const Pos quote = Find(piece, "\"", from);
  if (blank == kNone) return quote;
  return quote != kNone && quote < blank ? quote : blank;
}

// Where a value that ends in neither a blank nor a quote stops: at the next ">", unless a
// "<" comes first; -1 then.
Pos UnquotedStop(std::string_view piece, Pos from) {
  const Pos gt = Find(piece, ">", from);
  const Pos lt = Find(piece, "<", from);
  return lt < gt ? kNone : gt;
}

// Targets are joined to the page's root or folder, not resolved; only exact lower-case
// "http://" (and "mailto:" for anchors) count as absolute.
TextValue Absolute(std::string_view value, const TextValue& root, const TextValue& dir,
                   bool keepMailto) {
  if (!value.empty() && value[0] == '/') return ConcatText(root, value);
  if (keepMailto && value.substr(0, 7) == "mailto:") return TextValue(value);
  if (value.substr(0, 7) != "http://") return ConcatText(dir, value);
  return TextValue(value);
}

// The target of an anchor piece, or false when the anchor yields no record. eq is left on
// the "=" or on the opening quote.
bool ReadTarget(std::string_view piece, Pos& eq, std::string_view& target) {
  eq = Find(piece, "=", 1);
  if (eq == kNone) return false;
  if (ByteAt(piece, eq + 1) == '"') ++eq;
  Pos stop = ValueStop(piece, eq + 1);
  if (stop == kNone) stop = UnquotedStop(piece, eq + 1);
  if (stop == kNone) return false;
  // The value must end inside the opening tag.
  if (Find(piece, ">", 1) < stop) return false;
  target = Between(piece, eq, stop);
  return true;
}

// The first run of text after a ">" behind the target that is not directly followed by "<".
std::string_view ReadText(std::string_view piece, Pos p) {
  for (;;) {
    p = Find(piece, ">", p + 1);
    if (p == kNone) return {};  // cannot happen: the piece ends with ">"
    if (ByteAt(piece, p + 1) != '<') {
      const Pos lt = Find(piece, "<", p);
      return lt == kNone ? std::string_view() : Between(piece, p, lt);
    }
  }
}

// The source of the first "<img" in the piece, or false when there is none or it cannot be
// read.
bool ReadImageSource(std::string_view piece, std::string_view& source) {
  const Pos img = Find(piece, "<img", 1, true);
  if (img == kNone) return false;
  const Pos s = Find(piece, "src=", img, true);
  if (s == kNone) return false;
  const Pos q = ByteAt(piece, s + 4) == '"' ? s + 4 : s + 3;
  Pos stop = ValueStop(piece, q + 1);
  if (stop == kNone) stop = UnquotedStop(piece, q + 1);
  if (stop == kNone) return false;
  // The value must end inside the image tag.
  if (Find(piece, ">", q) < stop) return false;
  source = Between(piece, q, stop);
  return true;
}

}  // namespace

std::int32_t GetPageLinks(HTTP类& self, const TextValue& url, ValueArray<LinkRecord>& links) {
  const HttpMethodTable& table = self.Table();
  const TextValue page = table.GetPageText(self, url);
  const TextValue root = table.GetRootUrl(self, url);
  const TextValue dir = table.GetDirectoryUrl(self, url);

  ValueArray<LinkRecord> found;
  const std::string_view text(page);
  Pos close = 0;
  for (;;) {
    const Pos start = Find(text, "<a", close + 1, true);
    if (start == kNone) break;
    close = Find(text, "</a>", start, true);
    // An anchor without "</a>" ends the scan; no later anchor is read.
    if (close == kNone) break;
    const std::string_view piece = text.substr(static_cast<std::size_t>(start - 1),
                                               static_cast<std::size_t>(close - start + 4));

    Pos eq = kNone;
    std::string_view target;
    if (!ReadTarget(piece, eq, target)) continue;

    LinkRecord record;
    record.href = Absolute(target, root, dir, true);
    record.text = TextValue(ReadText(piece, eq));
    std::string_view source;
    if (ReadImageSource(piece, source)) record.imageSrc = Absolute(source, root, dir, false);
    found.Append(std::move(record));
  }

  links = std::move(found);
  return links.Count();
}

}  // namespace tessaro::http
