// How the wizard is drawn: at a high DPI (the test script sets 144 before this scenario) the
// program is told the real DPI (its manifest says it is per-monitor aware) and scales the
// side picture and the title font itself; the screenshots show the themed controls.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/win32/scenarios.h"
#include "tests/win32/wizard_steps.h"

namespace zipsalvage::driver {
namespace {

// The screen's pixels in `area`, as 0x00RRGGBB, row by row.
struct ScreenArea {
    RECT area{};
    std::vector<DWORD> pixels;

    explicit ScreenArea(const RECT& where) : area(where) {
        int width = area.right - area.left;
        int height = area.bottom - area.top;
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        HDC screen = ::GetDC(nullptr);
        HDC memory = ::CreateCompatibleDC(screen);
        void* bits = nullptr;
        HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (bitmap != nullptr) {
            HGDIOBJ previous = ::SelectObject(memory, bitmap);
            ::BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
            ::GdiFlush();
            const auto* first = static_cast<const DWORD*>(bits);
            pixels.assign(first, first + static_cast<size_t>(width) * height);
            ::SelectObject(memory, previous);
            ::DeleteObject(bitmap);
        }
        ::DeleteDC(memory);
        ::ReleaseDC(nullptr, screen);
    }
    // The pixel at (x, y) from the area's corner; 0 outside it.
    DWORD at(int x, int y) const {
        int width = area.right - area.left;
        if (x < 0 || y < 0 || x >= width || y >= area.bottom - area.top) return 0;
        return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF;
    }
};

int colourDistance(DWORD first, DWORD second) {
    int distance = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        distance += std::abs(static_cast<int>((first >> shift) & 0xFF) -
                             static_cast<int>((second >> shift) & 0xFF));
    }
    return distance;
}

bool isDark(DWORD pixel) { return colourDistance(pixel, 0) < 200; }

// How many rows of the title hold dark (text) pixels: the height of its letters in pixels.
int titleTextRows(HWND title) {
    RECT box;
    ::GetWindowRect(title, &box);
    ScreenArea area(box);
    int rows = 0;
    for (int y = 0; y < box.bottom - box.top; ++y) {
        for (int x = 0; x < box.right - box.left; ++x) {
            if (isDark(area.at(x, y))) {
                ++rows;
                break;
            }
        }
    }
    return rows;
}

}  // namespace

void highDpi(const std::string& exe, const std::string& folder) {
    // The driver sees real pixels, not ones scaled down for a program unaware of the DPI.
    ::SetProcessDPIAware();
    HDC screen = ::GetDC(nullptr);
    int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    check(dpi == 144, "the screen is at " + std::to_string(dpi) + " DPI, not 144");
    Wizard wizard = openWizard(exe, "\"" + folder + "\\good.zip\"");
    if (abandoned(wizard)) return;
    HWND page = pageHolding(wizard, IDC_ARCHIVE_EDIT);
    requestScreenshot("19-select-page-144dpi");
    RECT pageBox;
    ::GetWindowRect(page, &pageBox);
    ScreenArea area(pageBox);
    DWORD background = area.at(pageBox.right - pageBox.left - 4, pageBox.bottom - pageBox.top - 4);
    // At 96 DPI the picture fills (2, 2) to (102, 252); at 144 DPI, (3, 3) to (153, 378).
    check(colourDistance(area.at(130, 12), background) > 60,
          "no picture at (130, 12): it is not scaled in width");
    check(colourDistance(area.at(50, 330), background) > 60,
          "no picture at (50, 330): it is not scaled in height");
    check(colourDistance(area.at(165, 12), background) < 30,
          "picture beyond (153, 12): it is scaled too far");
    // A 14-point title is some 26 pixels from its capitals to its descenders at 144 DPI, 17 at
    // 96.
    int rows = titleTextRows(findControl(wizard.sheet, IDC_PAGE_TITLE));
    check(rows >= 22, "the title's letters are " + std::to_string(rows) + " pixels high");
    finishCase("at 144 DPI the side picture and the title font are scaled by the program");

    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (waitForCompletion(wizard)) requestScreenshot("20-complete-page-144dpi");
    enterFinishes(wizard);
    finishCase("a run at 144 DPI completes");
}

}  // namespace zipsalvage::driver
