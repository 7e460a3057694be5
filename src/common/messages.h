#pragma once
#include <cstdint>

// Numbers of the private messages that worker threads post to the windows
// that own them. lParam is always 0.
namespace brivane {

inline constexpr uint32_t WM_IMAPCHECKDONE = 0x953D;
inline constexpr uint32_t WM_POPCHECKDONE = 0x953E;
inline constexpr uint32_t WM_FOLDERGETDONE = 0x953F;
inline constexpr uint32_t WM_UPDATECHECKDONE = 0x9540;
// The account editor's connection test ended (wParam: the test's number).
inline constexpr uint32_t WM_CONNECTIONTESTDONE = 0x9541;
// A checker published rows while the saver's list was up to date.
inline constexpr uint32_t WM_LISTCHANGED = 0x9542;

}  // namespace brivane
