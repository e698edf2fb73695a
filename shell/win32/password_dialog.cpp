// The dialog "Decrypt File": the entry's name, a masked password box, OK and Skip. A wrong
// password is answered with a message box and the dialog stays open; Escape or the close box
// stops the whole run at once, without the question the wizard's Cancel asks.
#include "shell/win32/password_dialog.h"

#include <commctrl.h>

#include <cstring>
#include <string>

#include "engine/scan/entry_names.h"
#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/log_window.h"
#include "shell/win32/path_text.h"
#include "shell/win32/shell_state.h"
#include "shell/win32/shown_names.h"

namespace zipsalvage {
namespace {

// What the open dialog works on; it lives on the worker's stack while the dialog is shown.
struct PasswordQuestion {
    const WindowUi* ui;  // the worker's: the page to stand over, the run's flags
    const PasswordRequest* request;
    char* accepted;  // kPasswordBufferBytes
};

enum : INT_PTR { kDialogSkipped = 0, kDialogAccepted = 1, kDialogCancelled = 2 };

// The password as the bytes the cipher takes: the ANSI code page, as the program has always
// read it. False when it does not fit the password buffer (the edit box's limit keeps typed
// text below it, but a double-byte code page may need more bytes than characters).
bool typedPassword(HWND dialog, std::string& password) {
    HWND edit = ::GetDlgItem(dialog, IDC_PASSWORD_EDIT);
    int length = ::GetWindowTextLengthW(edit);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    int got = ::GetWindowTextW(edit, wide.data(), static_cast<int>(wide.size()));
    wide.resize(got > 0 ? static_cast<size_t>(got) : 0);
    password.clear();
    if (wide.empty()) return true;
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (bytes <= 0 || bytes > kPasswordBufferBytes - 1) return false;
    password.assign(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), password.data(),
                          bytes, nullptr, nullptr);
    return true;
}

// Focus back in the password box with its text selected, so typing again replaces it.
void selectPasswordText(HWND dialog) {
    HWND edit = ::GetDlgItem(dialog, IDC_PASSWORD_EDIT);
    ::SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
    ::SendMessageW(edit, EM_SETSEL, 0, -1);
}

// Posted to itself at creation, so the message box stands over a dialog already on screen.
constexpr UINT WM_SHOW_INCORRECT = WM_APP + 1;

void showIncorrectPassword(HWND dialog) {
    std::wstring text = wideFromUtf8(loadText(kTextPasswordIncorrect));
    ::MessageBoxW(dialog, text.c_str(), wideFromUtf8(loadText(kTextIncorrectPassword)).c_str(),
                  MB_OK | MB_ICONERROR);
    selectPasswordText(dialog);
}

void tryTypedPassword(HWND dialog, PasswordQuestion& question) {
    std::string typed;
    if (typedPassword(dialog, typed) && passwordPasses(*question.request, typed.c_str())) {
        std::memset(question.accepted, 0, kPasswordBufferBytes);
        std::memcpy(question.accepted, typed.data(), typed.size());
        ::EndDialog(dialog, kDialogAccepted);
        return;
    }
    showIncorrectPassword(dialog);
}

}  // namespace

INT_PTR CALLBACK passwordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            auto* question = reinterpret_cast<PasswordQuestion*>(lParam);
            centerWindow(dialog, question->ui->page);
            bool utf8 = (question->request->flags & kFlagUtf8Name) != 0;
            std::wstring name = wideFromUtf8(shownEntryName(question->request->name, utf8));
            ::SetDlgItemTextW(dialog, IDC_ENCRYPTED_NAME, name.c_str());
            // Longer text could not be kept whole: refuse it as it is typed, never cut it later.
            ::SendDlgItemMessageW(dialog, IDC_PASSWORD_EDIT, EM_LIMITTEXT,
                                  static_cast<WPARAM>(kPasswordBufferBytes - 1), 0);
            ::SetFocus(::GetDlgItem(dialog, IDC_PASSWORD_EDIT));
            // The password typed before decrypted the entry to bytes that failed its CRC-32.
            if (question->request->typedWasWrong) ::PostMessageW(dialog, WM_SHOW_INCORRECT, 0, 0);
            return FALSE;  // the focus is set
        }
        case WM_DRAWITEM:
            if (wParam != IDC_ENCRYPTED_NAME) return FALSE;
            drawPathText(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_COMMAND: {
            auto* question =
                reinterpret_cast<PasswordQuestion*>(::GetWindowLongPtrW(dialog, DWLP_USER));
            switch (LOWORD(wParam)) {
                case IDOK:
                    tryTypedPassword(dialog, *question);
                    return TRUE;
                case IDC_SKIP:
                    ::EndDialog(dialog, kDialogSkipped);
                    return TRUE;
                case IDCANCEL:
                    // Escape and the close box: the user wants out of the whole run, not just
                    // this entry. The flag is set before the dialog ends, so the run stops
                    // without calling the entry undecryptable.
                    requestCancel(*question->ui->flags);
                    ::EndDialog(dialog, kDialogCancelled);
                    return TRUE;
                default:
                    return TRUE;
            }
        }
        case WM_SHOW_INCORRECT:
            showIncorrectPassword(dialog);
            return TRUE;
        default:
            return FALSE;
    }
}

bool showPasswordDialog(void* dialogContext, const PasswordRequest& request, char* accepted) {
    const auto& ui = *static_cast<const WindowUi*>(dialogContext);
    PasswordQuestion question{&ui, &request, accepted};
    INT_PTR result = ::DialogBoxParamW(ui.instance, MAKEINTRESOURCEW(IDD_DECRYPT_FILE), ui.page,
                                       passwordDialogProc, reinterpret_cast<LPARAM>(&question));
    // Cancelled: the run's flag is set, so the run stops at once and the wizard shows it
    // stopped, its log kept. -1 (the dialog could not be shown, e.g. the wizard is gone) counts as
    // Skip.
    return result == kDialogAccepted;
}

}  // namespace zipsalvage
