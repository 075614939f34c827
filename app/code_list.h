// The code list file: GBK codes separated by CR LF, read once when the window exists.
#pragma once

#include <cstdint>
#include <string_view>

#include "values/values.h"

namespace tessaro::app {

inline constexpr std::string_view kCodeListName = "Quorvel";

struct CodeList {
  ByteSet codeBytes;                // the whole file
  ValueArray<ByteSet> codeItems;    // codeBytes split at CR LF: the number of codes
  TextValue codeText;               // the file as text, up to its first NUL byte
};

// Reads the file into list, releasing what list held. A missing, locked or unreadable file
// and a folder all read as empty (no codes).
void LoadCodeList(std::string_view path, CodeList& list);

// "Tessaro（", the count, "个）", ten spaces, the credit and one space.
TextValue CountCaption(std::int32_t count);

// The two lines of the usage label: the instructions, then the credit between spaces.
TextValue UsageText();

}  // namespace tessaro::app
