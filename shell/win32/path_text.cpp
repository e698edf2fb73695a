// Shortening a path-like line to its box, and drawing it in an owner-drawn static.
#include "shell/win32/path_text.h"

namespace zipsalvage {
namespace {

const std::wstring kEllipsis = L"...";

int widthOf(HDC dc, const std::wstring& text) {
    SIZE extent = {};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    return extent.cx;
}

// The longest keep (0..limit) for which make(keep) fits, by bisection: the width grows with
// the number of characters kept, and a path may be thousands of characters long.
template <typename Make>
std::wstring longestFitting(HDC dc, int width, size_t limit, Make make) {
    size_t low = 0;  // make(low) is the fallback even if it does not fit
    size_t high = limit;
    while (low < high) {
        size_t middle = low + (high - low + 1) / 2;
        if (widthOf(dc, make(middle)) <= width) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return make(low);
}

}  // namespace

std::wstring fitPathText(HDC dc, const std::wstring& text, int width) {
    if (widthOf(dc, text) <= width) return text;
    size_t lastSeparator = text.find_last_of(L"\\/");
    std::wstring last = lastSeparator == std::wstring::npos ? L"" : text.substr(lastSeparator);
    size_t head = text.size() - last.size();
    if (widthOf(dc, kEllipsis + last) <= width) {
        return longestFitting(dc, width, head,
                              [&](size_t keep) { return text.substr(0, keep) + kEllipsis + last; });
    }
    // Not even the last part fits: keep as much of the start as fits.
    return longestFitting(dc, width, text.size(),
                          [&](size_t keep) { return text.substr(0, keep) + kEllipsis; });
}

void drawPathText(const DRAWITEMSTRUCT& item) {
    HWND control = item.hwndItem;
    int length = ::GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    int got = ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);

    HDC dc = item.hDC;
    // The dialog answers with its background brush and sets the text colours, as for a plain
    // static control.
    auto brush = reinterpret_cast<HBRUSH>(::SendMessageW(::GetParent(control), WM_CTLCOLORSTATIC,
                                                         reinterpret_cast<WPARAM>(dc),
                                                         reinterpret_cast<LPARAM>(control)));
    ::FillRect(dc, &item.rcItem, brush != nullptr ? brush : ::GetSysColorBrush(COLOR_BTNFACE));
    auto font = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font != nullptr ? ::SelectObject(dc, font) : nullptr;
    ::SetBkMode(dc, TRANSPARENT);
    RECT box = item.rcItem;
    // Drawn glyphs can reach past their advance widths (hinting, overhang): one average
    // character is kept free, so the last one is never clipped by the box.
    TEXTMETRICW metrics = {};
    ::GetTextMetricsW(dc, &metrics);
    std::wstring shown = fitPathText(dc, text, box.right - box.left - metrics.tmAveCharWidth);
    ::DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &box,
                DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    if (previous != nullptr) ::SelectObject(dc, previous);
}

}  // namespace zipsalvage
