#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Colours as the store keeps them: a 32-bit value 0x00BBGGRR (red in the
// lowest byte), or a system colour 0xFF000000 + index, or one of the two
// special values clNone and clDefault. "backColor" holds their text form.
namespace brivane {

using TColor = uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clNone = 0x1FFFFFFF;
inline constexpr TColor clDefault = 0x20000000;
inline constexpr TColor kSystemColorBase = 0xFF000000;

// The text form: one of the 52 colour identifiers (compared without regard to
// case), or "$" and up to eight hexadecimal digits. Nothing for any other text.
std::optional<TColor> StringToColor(std::string_view text);

// The identifier when the value has one, else "$" and eight upper-case hex digits.
std::string ColorToString(TColor color);

// The colour to draw, as 0xRRGGBB. System colours take the usual light desktop
// scheme; other values use their low three bytes (clNone is then white,
// clDefault black).
uint32_t ColorToRgb(TColor color);

}  // namespace brivane
