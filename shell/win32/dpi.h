// The DPI a window is shown at, for what the program draws in pixels of its own (the side
// picture, the title font): the manifest makes it aware of each monitor's DPI, so nothing is
// stretched for it.
#pragma once

#include <windows.h>

namespace zipsalvage {

inline constexpr int kDefaultDpi = 96;
// WM_DPICHANGED_AFTERPARENT: a child window (a wizard page) now has its parent's new DPI.
inline constexpr UINT kDpiChangedAfterParent = 0x02E3;

// GetDpiForWindow where the system has it (Windows 10 1607 on), the screen's LOGPIXELSY
// otherwise.
int windowDpi(HWND window);

// `pixels` at 96 DPI, scaled to `dpi` (rounded to the nearest pixel).
int scaledForDpi(int pixels, int dpi);

}  // namespace zipsalvage
