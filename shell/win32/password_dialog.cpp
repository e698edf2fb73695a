// The dialog "Decrypt File": the entry's name, a masked password box, OK and Skip. A wrong
// password is answered with a message box and the dialog stays open.
#include "shell/win32/password_dialog.h"

#include <cstring>

#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/log_window.h"
#include "shell/win32/shell_state.h"

namespace zipsalvage {
namespace {

// What the open dialog works on; it lives on the worker's stack while the dialog is shown.
struct PasswordQuestion {
    const PasswordRequest* request;
    char* accepted;  // kPasswordBufferBytes
};

enum : INT_PTR { kDialogSkipped = 0, kDialogAccepted = 1 };

void tryTypedPassword(HWND dialog, PasswordQuestion& question) {
    char typed[kPasswordBufferBytes] = {};
    ::GetDlgItemTextA(dialog, IDC_PASSWORD_EDIT, typed, kPasswordBufferBytes);
    if (passwordPasses(*question.request, typed)) {
        std::memcpy(question.accepted, typed, kPasswordBufferBytes);
        ::EndDialog(dialog, kDialogAccepted);
        return;
    }
    const char* text = loadText(kTextPasswordIncorrect);
    ::MessageBoxA(dialog, text, loadText(kTextIncorrectPassword), MB_OK | MB_ICONERROR);
    ::SetFocus(::GetDlgItem(dialog, IDC_PASSWORD_EDIT));
}

}  // namespace

INT_PTR CALLBACK passwordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            ::SetWindowLongPtrA(dialog, DWLP_USER, lParam);
            auto* question = reinterpret_cast<PasswordQuestion*>(lParam);
            centerWindow(dialog, logWindow);
            // The name is shown as stored, without the code page conversion of the log.
            ::SetDlgItemTextA(dialog, IDC_ENCRYPTED_NAME, question->request->name);
            ::SetFocus(::GetDlgItem(dialog, IDC_PASSWORD_EDIT));
            return FALSE;  // the focus is set
        }
        case WM_COMMAND: {
            auto* question =
                reinterpret_cast<PasswordQuestion*>(::GetWindowLongPtrA(dialog, DWLP_USER));
            switch (LOWORD(wParam)) {
                case IDOK:
                    tryTypedPassword(dialog, *question);
                    return TRUE;
                case IDC_SKIP:
                    ::EndDialog(dialog, kDialogSkipped);
                    return TRUE;
                default:
                    // Escape (IDCANCEL) does not end the dialog: only OK and Skip do.
                    return TRUE;
            }
        }
        default:
            return FALSE;
    }
}

int showPasswordDialog(void*, const PasswordRequest& request, char* accepted) {
    PasswordQuestion question{&request, accepted};
    INT_PTR result = ::DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_DECRYPT_FILE), logWindow,
                                       passwordDialogProc, reinterpret_cast<LPARAM>(&question));
    // -1 (the dialog could not be shown, e.g. the wizard is gone) counts as Skip.
    return result == kDialogAccepted ? 1 : 0;
}

}  // namespace zipsalvage
