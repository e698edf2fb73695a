// The window's DPI, looked up rather than imported so the program still starts on systems older
// than Windows 10, which lack GetDpiForWindow.
#include "shell/win32/dpi.h"

namespace zipsalvage {

int windowDpi(HWND window) {
    using DpiForWindow = UINT(WINAPI*)(HWND);
    static const auto dpiForWindow = [] {
        HMODULE user = ::GetModuleHandleW(L"user32.dll");
        FARPROC found = user != nullptr ? ::GetProcAddress(user, "GetDpiForWindow") : nullptr;
        // Through void (*)(), the one function type that casts to any other without a warning.
        return reinterpret_cast<DpiForWindow>(reinterpret_cast<void (*)()>(found));
    }();
    if (dpiForWindow != nullptr && window != nullptr) {
        UINT dpi = dpiForWindow(window);
        if (dpi > 0) return static_cast<int>(dpi);
    }
    HDC screen = ::GetDC(nullptr);
    int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kDefaultDpi;
}

int scaledForDpi(int pixels, int dpi) { return ::MulDiv(pixels, dpi, kDefaultDpi); }

}  // namespace zipsalvage
