// The preview of an HTML-only newsletter whose kept text is 4, 16 and 64
// KiB: a table layout with an inline style and a tracking script per block,
// the shape that makes many dropped elements. The time per byte should stay
// flat from 4 to 64 KiB (one pass over the HTML).
#include <benchmark/benchmark.h>

#include <string>

#include "protocols/message_preview.h"

namespace {

const char* const kHeader = "MIME-Version: 1.0\r\nContent-Type: text/html; charset=\"utf-8\"\r\n";

std::string newsletter(size_t bytes) {
  std::string html =
      "<!DOCTYPE html><html><head><title>Offers</title><style>body{margin:0}</style></head><body>";
  for (int block = 0; html.size() < bytes; ++block) {
    html += "<table class=\"row\"><tr><td><style>.b" + std::to_string(block) +
            "{color:#333;font:14px sans-serif}</style><p class=\"b" + std::to_string(block) +
            "\">Offer " + std::to_string(block) +
            ": save&nbsp;20&#37; on garden tools &amp; more this week only.</p>"
            "<script>track(" + std::to_string(block) + ");</script></td></tr></table>\r\n";
  }
  html.resize(bytes);
  return html;
}

void BM_HtmlPreview(benchmark::State& state) {
  const std::string body = newsletter(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(brivane::messagePreviewText(kHeader, body, 80));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_HtmlPreview)->Arg(4 << 10)->Arg(16 << 10)->Arg(64 << 10);

void BM_HtmlToText(benchmark::State& state) {
  const std::string body = newsletter(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(brivane::htmlToText(body));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_HtmlToText)->Arg(4 << 10)->Arg(16 << 10)->Arg(64 << 10);

}  // namespace
