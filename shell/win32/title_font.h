// The bold Arial title font of both wizard pages.
#pragma once

#include <windows.h>

namespace zipsalvage {

// The character height of a 14-point font at `logPixelsY` pixels per inch (negative: a
// character height, not a cell height), truncated toward zero.
int titleFontHeight(int logPixelsY);

// Creates the font for a window shown at `dpi`.
HFONT createTitleFont(int dpi);

}  // namespace zipsalvage
