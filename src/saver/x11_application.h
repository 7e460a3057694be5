#pragma once
#include <string>

struct _XDisplay;  // Xlib's Display

namespace brivane {

// True when the X display named by $DISPLAY can be opened; otherwise `error`
// says why (Qt would abort without one).
bool CanOpenX11Display(std::string& error);

// The application's own X connection, or nullptr on another platform.
_XDisplay* ApplicationX11Display();

// Sends what the application's X connection still buffers (after releasing
// grabs and hiding windows, before a long wait). Nothing without X11.
void FlushX11Display();

}  // namespace brivane
