#pragma once
// The three widths of the message panel that the settings dialog offers.
// The dialog writes them and recognises a stored "previewWidth" by them.

namespace brivane {

inline constexpr int kWidthSlim = 290;
inline constexpr int kWidthModerate = 350;
inline constexpr int kWidthWide = 550;
// The message panel's client width when no "previewWidth" is stored.
inline constexpr int kDefaultPanelWidth = kWidthModerate;

}  // namespace brivane
