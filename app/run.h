// The redemption run behind the button, apart from any toolkit: the window is one user of
// it, the tests and the benchmark are others.
#pragma once

#include <cstdint>
#include <string_view>

#include "http/http_class.h"
#include "values/values.h"

namespace tessaro::app {

// What a run shows, and how it learns that its window has been closed.
class RunView {
 public:
  virtual ~RunView() = default;
  virtual void SetCaption(const TextValue& caption) = 0;
  virtual void SetButtonEnabled(bool enabled) = 0;
  // The final message; returns when the user has closed it.
  virtual void ShowFinished(const TextValue& text) = 0;
  // True once the window is closing: the run then stops before its next request and
  // touches the view no more.
  virtual bool Closing() const = 0;
};

// "http://HOST/cf/a20140424cfplive/exchange.php?sKey=CODE&t=0.584", the code byte for byte.
TextValue ExchangeUrl(std::string_view host, std::string_view code);

enum class RunEnd { kFinished, kClosed };

struct RunInput {
  const ValueArray<ByteSet>& codeItems;  // its count is the number of steps
  const TextValue& codeText;             // the codes, CR LF separated
  std::string_view exchangeHost;
};

// Redeems every code in order, one GET per code through http, and shows the progress.
// redeemCount is n during step n and N + 1 once the run has finished. A step whose code the
// text does not hold (the text ended at a NUL byte, or a CR LF was taken as the second byte
// of a GBK character) shows its caption and sends nothing.
RunEnd RedeemAll(HTTP类& http, const RunInput& input, std::int32_t& redeemCount, RunView& view);

}  // namespace tessaro::app
