#include "markup/qt/qt_text_metrics.h"

#include <QFontInfo>
#include <QGuiApplication>
#include <cmath>

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

QFont toQFont(const FontSpec& spec) {
  QFont f(spec.family.empty() ? uiFontFamily() : QString::fromStdString(spec.family));
  f.setStyleHint(QFont::SansSerif);
  f.setPointSizeF(spec.points);
  f.setBold(spec.bold);
  f.setItalic(spec.italic);
  return f;
}

const QFontMetrics& QtTextMetrics::fontMetrics(const FontSpec& font) const {
  Key key{font.family, static_cast<int>(std::lround(font.points * 100)), font.bold, font.italic};
  auto it = cache_.find(key);
  if (it == cache_.end()) {
    if (cache_.size() > 64) cache_.clear();
    auto fm = device_ != nullptr ? std::make_unique<QFontMetrics>(toQFont(font), device_)
                                 : std::make_unique<QFontMetrics>(toQFont(font));
    it = cache_.emplace(key, std::move(fm)).first;
  }
  return *it->second;
}

int QtTextMetrics::width(std::string_view utf8, const FontSpec& font) const {
  return fontMetrics(font).horizontalAdvance(
      QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

int QtTextMetrics::lineHeight(const FontSpec& font) const { return fontMetrics(font).height(); }

}  // namespace brivane
