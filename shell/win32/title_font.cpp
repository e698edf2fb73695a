// The title font: 14-point bold Arial at the DPI of the window it is for.
#include "shell/win32/title_font.h"

namespace zipsalvage {
namespace {

constexpr int kTitlePoints = 14;
constexpr int kPointsPerInch = 72;

}  // namespace

int titleFontHeight(int logPixelsY) { return logPixelsY * kTitlePoints / -kPointsPerInch; }

HFONT createTitleFont(int dpi) {
    return ::CreateFontA(titleFontHeight(dpi), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_DONTCARE, "Arial");
}

}  // namespace zipsalvage
