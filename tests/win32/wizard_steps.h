// The steps the wizard's scenarios share: starting the program and finding its sheet, the
// page it is on, the message boxes of Next, waiting for the run, and ending the program.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/win32/driver_support.h"

namespace zipsalvage::driver {

inline const std::string kSheetCaption = "Zav Uvov Udodov Azezada";
inline constexpr int kFinishButton = 12325;
inline constexpr DWORD kWindowWaitMs = 20000;
inline constexpr DWORD kRunWaitMs = 60000;
// The file dialogs' file name combo box (cmb13 of <dlgs.h>).
inline constexpr int kFileNameBox = 1148;

struct Wizard {
    Program program;
    HWND sheet = nullptr;
};

Wizard openWizard(const std::string& exe, const std::string& arguments);
// A wizard that never showed ends the scenario at once rather than waiting out every step.
bool abandoned(Wizard& wizard);
std::string pageTitle(const Wizard& wizard);
bool onFirstPage(const Wizard& wizard);
// The page the sheet shows (the parent of the control `id` it holds).
HWND pageHolding(const Wizard& wizard, int id);
// Presses Next and expects a message box: checks its caption and text, then presses `answer`.
void expectBoxAfterNext(Wizard& wizard, const std::string& caption, const std::string& text,
                        int answer, const char* shot = nullptr);
bool waitForCompletion(Wizard& wizard);
bool waitForTitle(Wizard& wizard, const std::string& title, DWORD milliseconds);
void finishAndExit(Wizard& wizard);
// The sheet's button that has the keyboard focus, as a control id (0 when none has it).
int focusedSheetButton(const Wizard& wizard);
// After a run: Finish has the focus and is the default, so Enter ends the program.
void enterFinishes(Wizard& wizard);
// The new private temporary folders since `before` was listed.
std::vector<std::string> newTempFolders(const std::vector<std::string>& before);
std::string joined(const std::vector<std::string>& lines);
bool startsWith(const std::string& text, const std::string& prefix);
int countLinesStarting(const std::vector<std::string>& lines, const std::string& prefix);
std::vector<std::string> logOf(const Wizard& wizard);

}  // namespace zipsalvage::driver
