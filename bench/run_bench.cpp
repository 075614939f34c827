// The redemption run without a window: reads a code list file, redeems every code against
// the exchange host, and prints the number of steps and the wall time.
//
//   run_bench CODE_LIST HOST[:PORT]
#include <chrono>
#include <cstdio>

#include "app/code_list.h"
#include "app/run.h"

namespace {

// A window that is never closed and shows nothing.
class QuietView : public tessaro::app::RunView {
 public:
  void SetCaption(const tessaro::TextValue&) override {}
  void SetButtonEnabled(bool) override {}
  void ShowFinished(const tessaro::TextValue&) override {}
  bool Closing() const override { return false; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: run_bench CODE_LIST HOST[:PORT]\n");
    return 2;
  }
  tessaro::app::CodeList list;
  tessaro::app::LoadCodeList(argv[1], list);
  tessaro::HTTP类 http;
  QuietView view;
  std::int32_t redeemCount = 0;
  const auto start = std::chrono::steady_clock::now();
  tessaro::app::RedeemAll(http, {list.codeItems, list.codeText, argv[2]}, redeemCount, view);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%d codes in %.3f s\n", redeemCount - 1, took.count());
  return 0;
}
