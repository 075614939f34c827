#include "app/run.h"

namespace tessaro::app {

TextValue ExchangeUrl(std::string_view host, std::string_view code) {
  return ConcatText("http://", host, "/cf/a20140424cfplive/exchange.php?sKey=", code, "&t=0.584");
}

RunEnd RedeemAll(HTTP类& http, const RunInput& input, std::int32_t& redeemCount, RunView& view) {
  static const TextValue started = Gbk("兑换开始!!");
  static const TextValue stepHead = Gbk("第");
  static const TextValue stepTail = Gbk("个领取成功");
  static const TextValue finished = Gbk("领取完毕");

  redeemCount = 0;
  view.SetButtonEnabled(false);
  view.SetCaption(started);

  // The text does not change during a run, so one split serves every step.
  const ValueArray<TextValue> codes = SplitText(input.codeText, "\r\n");
  const std::int32_t count = ArrayCount(input.codeItems);
  const std::int32_t known = ArrayCount(codes);

  for (;;) {
    if (view.Closing()) return RunEnd::kClosed;
    const std::int32_t n = ++redeemCount;
    if (n > count) {
      view.ShowFinished(finished);
      if (view.Closing()) return RunEnd::kClosed;
      view.SetButtonEnabled(true);
      return RunEnd::kFinished;
    }
    view.SetCaption(ConcatText(stepHead, ToText(n), stepTail));
    if (n > known) continue;  // no such code in the text: nothing to send
    // A GET with no verb, proxy, headers or data of its own; the answer is not looked at.
    http.WebAccess(ExchangeUrl(input.exchangeHost, codes[n]));
  }
}

}  // namespace tessaro::app
