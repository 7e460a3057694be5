#pragma once

namespace brivane {

// True when window alpha reaches the screen: a compositing manager runs on
// X11, or the platform composites by itself (Wayland, offscreen). Without
// one, translucent pixels show black and window opacity does nothing.
bool compositorRunning();

}  // namespace brivane
