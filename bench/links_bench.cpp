// GetPageLinks on large pages held in memory: the object's table hands the page out in
// place of GetPageText, so only the scan and the records are measured. The time per MB
// should not grow with the page. A single memmem pass for "<a" over the same page is the
// floor.
//
//   bench_links --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>

#include "http/http_class.h"

namespace {

// One anchor pattern with its surroundings: a target, a nested tag before the text, an
// image, and bytes between anchors that the scan has to pass over.
constexpr std::string_view kPattern =
    "<li class=\"entry\"><span>2024-04-24</span> "
    "<a href=\"/event/item.htm?id=12345\" title=\"Item\"><b>New</b> item text</a> "
    "<a href=\"detail.htm\"><img border=0 src=\"/i/more.gif\"></a> "
    "<em>short note on the item, so the page has text between its anchors</em></li>\n";

const std::string& PageOf(std::int64_t megabytes) {
  static std::map<std::int64_t, std::string> pages;
  std::string& page = pages[megabytes];
  if (page.empty()) {
    const auto size = static_cast<std::size_t>(megabytes) << 20;
    page.reserve(size + kPattern.size());
    while (page.size() + kPattern.size() <= size) page += kPattern;
  }
  return page;
}

// The copy of the page that the next GetPageText call hands out. It is made outside the
// timed part: a fetched page arrives as a fresh text too, and copying it is not the scan.
std::string handedOut;

tessaro::TextValue MemoryPage(tessaro::HTTP类&, const tessaro::TextValue&) {
  return std::move(handedOut);
}

void SetRates(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
  // Seconds per MB (shown with an SI prefix: "m" is ms).
  state.counters["s_per_MB"] = benchmark::Counter(
      static_cast<double>(bytes) / (1 << 20),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_GetPageLinks(benchmark::State& state) {
  const std::string& page = PageOf(state.range(0));
  tessaro::HttpMethodTable table = tessaro::kHttpMethodTable;
  table.GetPageText = MemoryPage;
  tessaro::HTTP类 http(&table);
  const tessaro::TextValue url = "http://srv/dir/page.htm";
  std::int32_t count = 0;
  for (auto _ : state) {
    state.PauseTiming();
    handedOut = page;
    tessaro::ValueArray<tessaro::LinkRecord> links;
    state.ResumeTiming();
    count = http.GetPageLinks(url, links);
    benchmark::DoNotOptimize(links);
    state.PauseTiming();
    links = {};
    state.ResumeTiming();
  }
  state.counters["links"] = count;
  SetRates(state, page.size());
}

void BM_MemmemFloor(benchmark::State& state) {
  const std::string& page = PageOf(state.range(0));
  std::int64_t count = 0;
  for (auto _ : state) {
    count = 0;
    const char* p = page.data();
    const char* end = page.data() + page.size();
    while (const void* hit = memmem(p, static_cast<std::size_t>(end - p), "<a", 2)) {
      ++count;
      p = static_cast<const char*>(hit) + 2;
    }
    benchmark::DoNotOptimize(count);
  }
  state.counters["anchors"] = static_cast<double>(count);
  SetRates(state, page.size());
}

BENCHMARK(BM_GetPageLinks)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemmemFloor)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
