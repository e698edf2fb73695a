// Services of the wizard shared with the salvage run: the log list, progress, window placement
// and the side picture; and the run's user interface built on them.
#pragma once

#include <windows.h>

#include "engine/run/salvage_run.h"

namespace zipsalvage {

struct WindowUi;

// Appends a line (UTF-8) to the log list of `page`, disables the sheet's Finish button and
// keeps the last line in view. Called on the worker thread; reaches the page by sent messages.
void logLine(HWND page, const char* text);
// Sends WM_SALVAGE_PROGRESS (0 to 1000) to `page`.
void postProgress(HWND page, int thousandths);
// Scrolls the page's log list so that its last line is the last fully visible one.
void scrollLogToEnd(HWND page);

// Where centerWindow puts a window of `window`'s size over `reference`, pulled back onto a
// screen of the given size.
POINT centeredOrigin(const RECT& window, const RECT& reference, int screenWidth, int screenHeight);
// Centres `window` over `reference` (the desktop when null), keeping it on the screen.
void centerWindow(HWND window, HWND reference);

// Paints `bitmap` (nothing when null) at (2, 2) inside a sunken edge from (0, 0) to (104, 254),
// all scaled from 96 DPI to `dpi`.
void drawSideBitmap(HDC dc, HBITMAP bitmap, int dpi);

// Points the run's log, progress, entry names, message boxes, name display and password dialog
// at the wizard through `ui`, which must outlive their use and not change while a thread uses them.
void attachWindowUi(EntryContext& run, WindowUi& ui);

}  // namespace zipsalvage
