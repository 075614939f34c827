// FindText, FindTextReverse and the cuts against the reference reading, plus the
// conversions for crashes.
#include <cstdlib>
#include <string>

#include "reference.h"
#include "values/values.h"

using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::int32_t start = static_cast<std::int8_t>(data[0]);
  const bool ic = data[1] & 1;
  const std::size_t split = data[2] % 8;
  std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
  const std::string_view sought = rest.substr(0, std::min(split, rest.size()));
  const std::string_view text = rest.substr(sought.size());

  if (FindText(text, sought, start, ic) != fuzzref::Find(text, sought, start, ic)) std::abort();
  if (FindTextReverse(text, sought, start, ic) != fuzzref::FindReverse(text, sought, start, ic))
    std::abort();
  const TextValue mid = TextMid(text, start, static_cast<std::int32_t>(split));
  if (mid.size() > split) std::abort();
  const TextValue replaced = ReplaceTextAt(text, start, static_cast<std::int32_t>(split), sought);
  if (replaced.size() > text.size() + sought.size()) std::abort();
  if (ToLowerCase(text).size() != text.size()) std::abort();
  (void)RemoveAllSpaces(text);
  (void)ToNumber(text);
  (void)CompareText(text, sought, ic);
  (void)ToUtf8(text);
  return 0;
}
