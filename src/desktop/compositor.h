#pragma once

class QWidget;

namespace brivane {

// True when window alpha reaches the screen: a compositing manager runs on
// X11, or the platform composites by itself (Wayland, offscreen). Without
// one, translucent pixels show black and window opacity does nothing.
bool compositorRunning();

// Sets a top-level window's opacity (0..255) as the compositing manager reads
// it (_NET_WM_WINDOW_OPACITY), on the window's native window as it is now.
// Qt's own window opacity can be left on a native window that Qt replaced
// when the window was shown again, and the window then stays faint. False
// off X11 (the caller uses Qt's window opacity there).
bool setCompositorOpacity(QWidget* window, int opacity);

// Has the X server fill the window's native window with `rgb` (0xRRGGBB)
// wherever it is exposed, so that a window of one colour needs no image of
// its own in the program. False off X11 or without a native window.
bool setServerBackground(QWidget* window, unsigned rgb);

}  // namespace brivane
