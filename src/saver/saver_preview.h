#pragma once
#include <QImage>
#include <chrono>
#include <functional>
#include <string>

#include "saver/panel_place.h"
#include "settings/settings.h"

// Preview mode: the saver's miniature drawn with Xlib into a foreign X11
// window (the display settings' preview area), until that window is hidden
// or destroyed. Runs on the calling thread with a connection of its own; no
// Qt event loop is needed (the pictures are drawn into QImages, no text).
namespace brivane {

struct PreviewOptions {
  std::string displayName;                         // empty: $DISPLAY
  std::chrono::milliseconds passInterval{100};     // sleep after every pass
  int passesPerPicture = 30;                       // a new place every 3 s
  RandomInRange random;                            // empty: seeded from the clock
};

// Draws the preview into the window `parentWindowId`:
// - waits while the window exists but is not viewable, and ends (0) when it
//   does not exist or disappears, also before it was ever shown;
// - calls `releaseGuard` once, when drawing starts;
// - on passes 0, 30, 60, ...: fills the window black, puts the panel
//   miniature at a random place in [0, w - 49) x [0, h - 40) (0 on an axis
//   where the window is smaller), and the date/time miniature (when date or
//   time is shown) with its bottom-right corner at the window's; between
//   those, redraws the same picture when the window is exposed;
// - ends when the window is unmapped or destroyed.
// Returns 0, or 1 when the X display cannot be opened. X errors caused by
// the foreign window vanishing are caught, never fatal.
int RunSaverPreview(unsigned long parentWindowId, const SaverSettings& settings,
                    std::function<void()> releaseGuard, const PreviewOptions& options = {});

// The pictures: the message panel (49x40) and the date/time panel for both
// (34x15), date only (34x8) or time only (34x7); a null image for neither.
QImage PreviewPanelPicture();
QImage PreviewDateTimePicture(bool displayDate, bool displayTime);

}  // namespace brivane
