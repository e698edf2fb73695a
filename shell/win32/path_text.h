// One line of text that ends in a path or an entry name, shortened in its middle when it does
// not fit: the start and the last part (after the last '\' or '/') stay in view, "..." stands
// for what was left out. Drawn by the program itself: the system's path ellipsis knows only
// '\' (entry names use '/'), and some implementations let the shortened line overrun its box.
#pragma once

#include <windows.h>

#include <string>

namespace zipsalvage {

// The longest form of `text` of at most `width` pixels in the font selected into `dc`.
std::wstring fitPathText(HDC dc, const std::wstring& text, int width);

// WM_DRAWITEM of an owner-drawn static (SS_OWNERDRAW) that shows its own window text so
// shortened, in its font, on its dialog's background. The window text itself stays whole.
void drawPathText(const DRAWITEMSTRUCT& item);

}  // namespace zipsalvage
