#pragma once
#include <QFont>
#include <QFontMetrics>
#include <QString>
#include <map>
#include <memory>
#include <tuple>

#include "markup/markup_layout.h"

class QPaintDevice;

namespace brivane {

// The family of the desktop's sans-serif UI font (fontconfig's "sans-serif",
// "DejaVu Sans" when nothing answers).
QString uiFontFamily();

// A FontSpec as the QFont that paints it (sizes stay in points).
QFont toQFont(const FontSpec& spec);

// Text metrics of the fonts that paint, for the layout engine. Measured for
// a paint device (a widget: its screen's logical dpi), in device-independent
// pixels.
class QtTextMetrics : public TextMetrics {
 public:
  explicit QtTextMetrics(const QPaintDevice* device = nullptr) : device_(device) {}
  int width(std::string_view utf8, const FontSpec& font) const override;
  int lineHeight(const FontSpec& font) const override;
  const QFontMetrics& fontMetrics(const FontSpec& font) const;
  // Forget cached fonts (after a dpi change).
  void reset() { cache_.clear(); }

 private:
  using Key = std::tuple<std::string, int, bool, bool>;
  const QPaintDevice* device_;
  mutable std::map<Key, std::unique_ptr<QFontMetrics>> cache_;
};

}  // namespace brivane
