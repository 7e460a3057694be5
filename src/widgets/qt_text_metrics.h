#pragma once
#include <QFont>
#include <QFontMetrics>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "markup/markup_layout.h"

class QEvent;
class QPaintDevice;

namespace brivane {

// The family of the desktop's sans-serif UI font (fontconfig's "sans-serif",
// "DejaVu Sans" when nothing answers).
QString uiFontFamily();

// A FontSpec as the QFont that paints it (sizes stay in points).
QFont toQFont(const FontSpec& fontSpec);

// True for the events after which measured fonts and picture sizes are
// stale: a font change, a move to another screen, a new device pixel ratio.
bool isMetricsChange(const QEvent* event);

// Text metrics of the fonts that paint, for the layout engine. Measured for
// a paint device (a widget: its screen's logical dpi), in device-independent
// pixels.
class QtTextMetrics : public TextMetrics {
 public:
  explicit QtTextMetrics(const QPaintDevice* device = nullptr) : device_(device) {}
  int width(std::string_view utf8, const FontSpec& font) const override;
  int lineHeight(const FontSpec& font) const override;
  // Grapheme boundaries as Qt's text engine finds them.
  std::vector<size_t> graphemeEnds(std::string_view utf8) const override;
  const QFontMetrics& fontMetrics(const FontSpec& font) const;
  // Forget cached fonts (after a dpi change).
  void reset() {
    cache_.clear();
    ++resets_;
  }
  // How often reset() ran.
  int resets() const { return resets_; }

 private:
  struct Entry {
    FontSpec fontSpec;
    std::unique_ptr<QFontMetrics> metrics;
    int height = -1;  // line height, once asked for
    // Widths already measured: a list rebuild measures the same texts again.
    StringKeyedMap<int> widths;
  };
  Entry& entry(const FontSpec& font) const;
  const QPaintDevice* device_;
  int resets_ = 0;
  // A row uses a handful of fonts: a short list searched without allocating.
  mutable std::vector<Entry> cache_;
  mutable size_t last_ = 0;
};

}  // namespace brivane
