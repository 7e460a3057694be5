#include "widgets/qt_text_metrics.h"

#include <QEvent>
#include <QFontInfo>
#include <QGuiApplication>
#include <QTextBoundaryFinder>

#include "common/text.h"

namespace brivane {

QString uiFontFamily() {
  static const QString family = [] {
    QFont probe(QStringLiteral("sans-serif"));
    probe.setStyleHint(QFont::SansSerif);
    QString f = QFontInfo(probe).family();
    return f.isEmpty() ? QStringLiteral("DejaVu Sans") : f;
  }();
  return family;
}

QFont toQFont(const FontSpec& fontSpec) {
  QFont f(fontSpec.family.empty() ? uiFontFamily() : QString::fromStdString(fontSpec.family));
  f.setStyleHint(QFont::SansSerif);
  f.setPointSizeF(fontSpec.points);
  f.setBold(fontSpec.bold);
  f.setItalic(fontSpec.italic);
  return f;
}

bool isMetricsChange(const QEvent* event) {
  switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::ApplicationFontChange:
    case QEvent::ScreenChangeInternal:
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    case QEvent::DevicePixelRatioChange:
#endif
      return true;
    default:
      return false;
  }
}

namespace {
constexpr size_t kMaxFonts = 32;
constexpr size_t kMaxWidthsPerFont = 4096;
constexpr size_t kMaxCachedText = 256;
}  // namespace

QtTextMetrics::Entry& QtTextMetrics::entry(const FontSpec& font) const {
  // Runs of a row mostly keep the font of the run before.
  if (last_ < cache_.size() && cache_[last_].fontSpec == font) return cache_[last_];
  for (size_t i = 0; i < cache_.size(); ++i) {
    if (cache_[i].fontSpec == font) {
      last_ = i;
      return cache_[i];
    }
  }
  if (cache_.size() >= kMaxFonts) cache_.clear();
  last_ = cache_.size();
  auto fm = device_ != nullptr ? std::make_unique<QFontMetrics>(toQFont(font), device_)
                               : std::make_unique<QFontMetrics>(toQFont(font));
  cache_.push_back({font, std::move(fm), -1, {}});
  return cache_.back();
}

const QFontMetrics& QtTextMetrics::fontMetrics(const FontSpec& font) const {
  return *entry(font).metrics;
}

int QtTextMetrics::width(std::string_view utf8, const FontSpec& font) const {
  Entry& e = entry(font);
  bool cacheable = utf8.size() <= kMaxCachedText;
  if (cacheable) {
    auto it = e.widths.find(utf8);
    if (it != e.widths.end()) return it->second;
  }
  int w = e.metrics->horizontalAdvance(
      QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
  if (cacheable) {
    if (e.widths.size() >= kMaxWidthsPerFont) e.widths.clear();
    e.widths.emplace(std::string(utf8), w);
  }
  return w;
}

int QtTextMetrics::lineHeight(const FontSpec& font) const {
  Entry& e = entry(font);
  if (e.height < 0) e.height = e.metrics->height();
  return e.height;
}

std::vector<size_t> QtTextMetrics::graphemeEnds(std::string_view utf8) const {
  // Qt decodes bytes that are not UTF-8 its own way: keep the plain rule then.
  if (!isValidUtf8(utf8)) return TextMetrics::graphemeEnds(utf8);
  const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  // Byte offset of every UTF-16 position.
  std::vector<size_t> byteAt(static_cast<size_t>(text.size()) + 1, utf8.size());
  size_t unit = 0;
  for (size_t i = 0; i < utf8.size();) {
    size_t n = 0;
    const char32_t c = decodeUtf8(utf8.substr(i), n);
    byteAt[unit] = i;
    unit += c >= 0x10000 ? 2 : 1;
    i += n;
  }
  std::vector<size_t> ends;
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary())
    ends.push_back(byteAt[static_cast<size_t>(at)]);
  if (ends.empty() || ends.back() != utf8.size()) ends.push_back(utf8.size());
  return ends;
}

}  // namespace brivane
