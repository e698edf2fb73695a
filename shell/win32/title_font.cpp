// The title font: 14-point bold Arial at the screen's vertical resolution.
#include "shell/win32/title_font.h"

namespace zipsalvage {
namespace {

constexpr int kTitlePoints = 14;
constexpr int kPointsPerInch = 72;

}  // namespace

int titleFontHeight(int logPixelsY) { return logPixelsY * kTitlePoints / -kPointsPerInch; }

HFONT createTitleFont() {
    HDC screen = ::CreateCompatibleDC(nullptr);
    int height = titleFontHeight(::GetDeviceCaps(screen, LOGPIXELSY));
    ::DeleteDC(screen);
    return ::CreateFontA(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_DONTCARE, "Arial");
}

}  // namespace zipsalvage
