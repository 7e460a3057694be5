// Lays out 500 typical message-list rows (headers, folders, sender groups
// with previews, status rows), as one rebuild of the message panel does.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "markup/markup_layout.h"
#include "markup/markup_parser.h"

#ifdef BRIVANE_BENCH_QT
#include <QGuiApplication>

#include "markup/qt/qt_text_metrics.h"
#endif

namespace {

using namespace brivane;

std::vector<std::string> typicalRows(size_t count) {
  const std::string header =
      "<IMG src=\"idx:0\" align=\"middle\"><FONT size=\"11\"><B>  Account</B></FONT><BR>"
      "<IMG src=\"hrfullwide\" align=\"middle\"><BR>";
  const std::string folder = "<IMG src=\"idx:1\" align=\"middle\"> Inbox (12)";
  const std::string message =
      "<IND x=\"24\"><IMG src=\"idx:3\" align=\"middle\"><FONT color=\"clGray\">" +
      EscapeMarkup("Re: Quarterly figures & the <draft> plan") + "          2 mins ago</FONT>"
      "<BR><IND x=\"46\"><FONT color=\"clGray\" size=\"8\">Hi all, attached are the numbers "
      "we talked about on Monday...</FONT>";
  const std::string sender = "<IND x=\"12\"><FONT color=\"clGray\"><B>- Alice Martin (3)</B></FONT><BR>" + message;
  const std::string status =
      "<I></I><B></B><B></B><IMG src=\"throbbersml\" align=\"middle\">  Connecting to "
      "imap.example.com";
  std::vector<std::string> rows;
  // Per account: header, folder, a sender group of three, two single
  // senders, and now and then a status row.
  while (rows.size() < count) {
    for (const std::string* r : {&header, &folder, &sender, &message, &message, &sender, &sender,
                                 &status}) {
      if (rows.size() < count) rows.push_back(*r);
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

void layoutRows(benchmark::State& state, const TextMetrics& metrics) {
  std::vector<std::string> rows = typicalRows(500);
  PictureCatalog pictures = listPictures();
  LayoutStyle style;
  style.font = {"DejaVu Sans", 9, false, false};
  style.color = {255, 255, 255};
  style.width = 334;
  for (auto _ : state) {
    int total = 0;
    for (const std::string& r : rows) total += layoutMarkup(r, style, pictures, metrics).listRowHeight();
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows.size()));
}

void BM_Layout500Rows_FixedMetrics(benchmark::State& state) {
  FixedMetrics metrics;
  layoutRows(state, metrics);
}
BENCHMARK(BM_Layout500Rows_FixedMetrics)->Unit(benchmark::kMicrosecond);

#ifdef BRIVANE_BENCH_QT
// The same with the fonts that paint (offscreen platform).
void BM_Layout500Rows_QtMetrics(benchmark::State& state) {
  static int argc = 1;
  static char name[] = "markup_bench";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QGuiApplication app(argc, argv);
  QtTextMetrics metrics;
  layoutRows(state, metrics);
}
BENCHMARK(BM_Layout500Rows_QtMetrics)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace
