#include "markup/qt/qt_text_metrics.h"

#include <QFontInfo>
#include <QGuiApplication>

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

namespace {
constexpr size_t kMaxFonts = 32;
constexpr size_t kMaxWidthsPerFont = 4096;
constexpr size_t kMaxCachedText = 256;
}  // namespace

QtTextMetrics::Entry& QtTextMetrics::entry(const FontSpec& font) const {
  for (Entry& e : cache_) {
    if (e.fontSpec == font) return e;
  }
  if (cache_.size() >= kMaxFonts) cache_.clear();
  auto fm = device_ != nullptr ? std::make_unique<QFontMetrics>(toQFont(font), device_)
                               : std::make_unique<QFontMetrics>(toQFont(font));
  cache_.push_back({font, std::move(fm), {}});
  return cache_.back();
}

const QFontMetrics& QtTextMetrics::fontMetrics(const FontSpec& font) const {
  return *entry(font).metrics;
}

int QtTextMetrics::width(std::string_view utf8, const FontSpec& font) const {
  Entry& e = entry(font);
  bool cacheable = utf8.size() <= kMaxCachedText;
  if (cacheable) {
    auto it = e.widths.find(std::string(utf8));
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

int QtTextMetrics::lineHeight(const FontSpec& font) const { return fontMetrics(font).height(); }

}  // namespace brivane
