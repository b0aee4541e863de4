#pragma once
// Whether the system has a font for the window's Chinese captions. Without one, every caption
// and button shows as boxes and nothing says why; the program then says so on standard error.

#include <QString>

namespace karvello {

// The package that gives the window the Song face it is drawn in.
inline constexpr char kChineseFontPackage[] = "fonts-arphic-uming";

// True when some font installed on the system has a glyph for every character of `text`
// (blanks and other characters of the Basic Latin block aside).
bool SomeFontDraws(const QString& text);

// The one line written to standard error when no font draws the captions.
QString MissingFontWarning();

}  // namespace karvello
