// Lays out 500 typical message-list rows (headers, folders, sender groups
// with previews, status rows), as one rebuild of the message panel does; and
// cuts a hostile row to a list's width (goal: under 50 ms a row, so a resize
// never freezes the list).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "markup/markup_layout.h"
#include "markup/markup_parser.h"

#ifdef BRIVANE_BENCH_QT
#include <QGuiApplication>

#include "widgets/qt_text_metrics.h"
#endif

namespace {

using namespace brivane;

std::vector<std::string> typicalRows(size_t count) {
  // Every row differs (names, subjects, times), as in a real list.
  auto header = [](size_t i) {
    return "<IMG src=\"idx:0\" align=\"middle\"><FONT size=\"11\"><B>  Account " +
           std::to_string(i) + "</B></FONT><BR><IMG src=\"hrfullwide\" align=\"middle\"><BR>";
  };
  auto folder = [](size_t i) {
    return "<IMG src=\"idx:1\" align=\"middle\"> Inbox (" + std::to_string(i % 40) + ")";
  };
  auto message = [](size_t i) {
    return "<IND x=\"24\"><IMG src=\"idx:3\" align=\"middle\"><FONT color=\"clGray\">" +
           EscapeMarkup("Re: Quarterly figures & the <draft> plan #" + std::to_string(i)) +
           "          " + std::to_string(i % 59 + 1) + " mins ago</FONT>"
           "<BR><IND x=\"46\"><FONT color=\"clGray\" size=\"8\">Hi all, attached are the "
           "numbers for week " + std::to_string(i) + " that we talked about on Monday...</FONT>";
  };
  auto sender = [&](size_t i) {
    return "<IND x=\"12\"><FONT color=\"clGray\"><B>- Sender " + std::to_string(i) +
           " (3)</B></FONT><BR>" + message(i);
  };
  auto status = [](size_t i) {
    return "<I></I><B></B><B></B><IMG src=\"throbbersml\" align=\"middle\">  Connecting to "
           "imap" + std::to_string(i) + ".example.com";
  };
  std::vector<std::string> rows;
  // Per account: header, folder, a sender group of three, two single
  // senders, and a status row of another account.
  while (rows.size() < count) {
    size_t i = rows.size();
    for (std::string r : {header(i), folder(i), sender(i), message(i + 1), message(i + 2),
                          sender(i + 3), sender(i + 4), status(i)}) {
      if (rows.size() < count) rows.push_back(std::move(r));
    }
  }
  return rows;
}

PictureCatalog listPictures() {
  PictureCatalog c;
  c.imageCount = 6;
  c.addPicture("hrfullwide", {334, 6});
  c.addPicture("throbbersml", {16, 16});
  return c;
}

template <typename BeforeEach>
void layoutRows(benchmark::State& state, const TextMetrics& metrics, BeforeEach beforeEach) {
  std::vector<std::string> rows = typicalRows(500);
  PictureCatalog pictures = listPictures();
  LayoutStyle style;
  style.font = {"DejaVu Sans", 9, false, false};
  style.color = {255, 255, 255};
  style.width = 334;
  for (auto _ : state) {
    beforeEach();
    int total = 0;
    for (const std::string& r : rows) total += layoutMarkup(r, style, pictures, metrics).listRowHeight();
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows.size()));
}

void BM_Layout500Rows_FixedMetrics(benchmark::State& state) {
  FixedMetrics metrics;
  layoutRows(state, metrics, [] {});
}
BENCHMARK(BM_Layout500Rows_FixedMetrics)->Unit(benchmark::kMicrosecond);

// 20,000 zero-width characters and "WWWW" (within the 64 KiB row cap; an
// IMAP folder name can reach the folder list like this) cut to 20 pixels.
template <typename Metrics>
void elideHostileRow(benchmark::State& state, const Metrics& metrics) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "\xE2\x80\x8B";
  text += "WWWW";
  LayoutStyle style;
  style.font = {"DejaVu Sans", 9, false, false};
  const RowLayout laid = layoutMarkup(text, style, listPictures(), metrics);
  for (auto _ : state) {
    RowLayout row = laid;
    elideRow(row, 20, metrics);
    benchmark::DoNotOptimize(row.width);
  }
}

void BM_ElideZeroWidthRow_FixedMetrics(benchmark::State& state) { elideHostileRow(state, FixedMetrics()); }
BENCHMARK(BM_ElideZeroWidthRow_FixedMetrics)->Unit(benchmark::kMillisecond);

#ifdef BRIVANE_BENCH_QT
void ensureApplication() {
  static int argc = 1;
  static char name[] = "markup_bench";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QGuiApplication app(argc, argv);
}

// With the fonts that paint (offscreen platform), as a list rebuild lays the
// rows out again: the widths measured before are remembered.
void BM_Layout500Rows_QtMetrics(benchmark::State& state) {
  ensureApplication();
  QtTextMetrics metrics;
  layoutRows(state, metrics, [] {});
}
BENCHMARK(BM_Layout500Rows_QtMetrics)->Unit(benchmark::kMicrosecond);

// The first layout: every width is measured by the font engine.
void BM_Layout500Rows_QtMetricsCold(benchmark::State& state) {
  ensureApplication();
  QtTextMetrics metrics;
  layoutRows(state, metrics, [&] { metrics.reset(); });
}
BENCHMARK(BM_Layout500Rows_QtMetricsCold)->Unit(benchmark::kMicrosecond);

void BM_ElideZeroWidthRow_QtMetrics(benchmark::State& state) {
  ensureApplication();
  elideHostileRow(state, QtTextMetrics());
}
BENCHMARK(BM_ElideZeroWidthRow_QtMetrics)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
