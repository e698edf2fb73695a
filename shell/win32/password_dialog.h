// The dialog "Decrypt File": asks for the password of one encrypted entry.
#pragma once

#include <windows.h>

#include "extract/password_prompt.h"

namespace zipsalvage {

// The PasswordDialog of the run (context: the worker's WindowUi): shows the dialog modally over
// its page on the calling (worker) thread. 1 with the accepted password in `accepted`, 0 for
// Skip.
bool showPasswordDialog(void* dialogContext, const PasswordRequest& request, char* accepted);

// The dialog procedure; lParam of WM_INITDIALOG is the dialog's PasswordQuestion.
INT_PTR CALLBACK passwordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace zipsalvage
