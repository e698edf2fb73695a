// Where the salvage goes and where the dialogs that choose it start: the archive's file-open
// dialog, the output folder box with its folder dialog, and the refusals of Next.
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "tests/win32/scenarios.h"
#include "tests/win32/wizard_steps.h"

namespace zipsalvage::driver {
namespace {

const std::string kOpenTitle = "Select a Zip Archive to Salvage";
const std::string kFolderTitle = "Select the Folder for Salvaged.zip";
// The folder dialog's name box (edt1 of <dlgs.h>).
constexpr int kFolderNameBox = 1152;

std::string documentsFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return {};
    return utf8FromWide(folder, std::wcslen(folder));
}

bool waitForClosed(const Wizard& wizard, const std::string& title) {
    return waitUntil([&] { return findTopWindow(wizard.program, title) == nullptr; },
                     kWindowWaitMs);
}

// Browse, a bare name typed into the dialog, OK: the box then holds the path it was found at.
void pickByBareName(Wizard& wizard, HWND page, const std::string& name) {
    clickButton(page, IDC_BROWSE);
    HWND dialog = waitForTopWindow(wizard.program, kOpenTitle, kWindowWaitMs);
    if (dialog == nullptr) return;
    setControlText(dialog, kFileNameBox, name);
    clickButton(dialog, IDOK);
    check(waitForClosed(wizard, kOpenTitle), "the file-open dialog did not close on OK");
}

void expectFocusInOutputBox(const Wizard& wizard) {
    HWND box = findControl(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT);
    check(waitUntil([&] { return focusedWindow(wizard.sheet) == box; }, 5000),
          "the output folder box lacks the focus");
}

}  // namespace

void browseStartFolders(const std::string& exe, const std::string& folder) {
    std::string archive = folder + "\\good.zip";
    Wizard wizard = openWizard(exe, "\"" + folder + "\\missing.zip\"");
    if (abandoned(wizard)) return;
    HWND page = pageHolding(wizard, IDC_ARCHIVE_EDIT);
    pickByBareName(wizard, page, "good.zip");
    check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive,
          "after OK the box shows \"" + controlText(wizard.sheet, IDC_ARCHIVE_EDIT) + "\"");
    clickButton(page, IDC_BROWSE);
    if (HWND dialog = waitForTopWindow(wizard.program, kOpenTitle, kWindowWaitMs)) {
        clickButton(dialog, IDCANCEL);
        waitForClosed(wizard, kOpenTitle);
        check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive, "Cancel changed the box");
    }
    finishCase("Browse starts in the archive's folder and puts the chosen full path in the box");

    // A file only the Documents folder holds is found by its bare name.
    std::string documents = documentsFolder();
    std::string planted = documents + "\\zipsalvage browse test.zip";
    check(!documents.empty() &&
              ::CopyFileW(wideFromUtf8(archive).c_str(), wideFromUtf8(planted).c_str(), FALSE) != 0,
          "could not put a file into the Documents folder \"" + documents + "\"");
    setControlText(wizard.sheet, IDC_ARCHIVE_EDIT, "");
    pickByBareName(wizard, page, "zipsalvage browse test.zip");
    check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == planted,
          "from an empty box the dialog found \"" + controlText(wizard.sheet, IDC_ARCHIVE_EDIT) +
              "\", expected \"" + planted + "\"");
    ::DeleteFileW(wideFromUtf8(planted).c_str());
    pressSheetButton(wizard.sheet, PSBTN_CANCEL);
    check(waitForExit(wizard.program, kWindowWaitMs) == 1, "no clean exit after Cancel");
    finishCase("Browse starts in the Documents folder when the archive box is empty");
}

void chosenOutputFolder(const std::string& exe, const std::string& folder) {
    std::string archive = folder + "\\good.zip";
    std::string chosen = folder + "\\out";
    Wizard wizard = openWizard(exe, "\"" + archive + "\"");
    if (abandoned(wizard)) return;
    HWND page = pageHolding(wizard, IDC_ARCHIVE_EDIT);
    check(controlText(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT).empty(), "the output box is not empty");

    std::string missing = folder + "\\missing";
    setControlText(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT, missing);
    expectBoxAfterNext(
        wizard, "Output Folder",
        "Unable to write to the folder " + missing + ": it does not exist.  Choose another folder?",
        IDNO);
    expectFocusInOutputBox(wizard);
    finishCase("a missing output folder is named with its reason; No stays on the page");

    // sysfs takes no new files, not even from root: a folder no one can write to.
    const std::string locked = "Z:\\sys";
    setControlText(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT, locked);
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (HWND box = waitForTopWindow(wizard.program, "Output Folder", kWindowWaitMs)) {
        std::string text = staticTexts(box);
        std::string start = "Unable to write to the folder " + locked + ": ";
        std::string end = ".  Choose another folder?";
        check(startsWith(text, start) && text.size() > start.size() + end.size() &&
                  text.compare(text.size() - end.size(), end.size(), end) == 0,
              "the box says \"" + text + "\"");
        requestScreenshot("17-folder-not-writable");
        clickButton(box, IDYES);
        HWND dialog = waitForTopWindow(wizard.program, kFolderTitle, kWindowWaitMs);
        if (dialog != nullptr) {
            clickButton(dialog, IDCANCEL);
            check(waitForClosed(wizard, kFolderTitle), "the folder dialog did not close");
        }
        check(controlText(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT) == locked,
              "Cancel in the folder dialog changed the box");
        check(onFirstPage(wizard), "left the first page");
    }
    finishCase(
        "a folder that cannot be written is named with the system's reason; Yes opens "
        "the folder dialog to choose another");

    setControlText(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT, "");
    clickButton(page, IDC_BROWSE_FOLDER);
    if (HWND dialog = waitForTopWindow(wizard.program, kFolderTitle, kWindowWaitMs)) {
        requestScreenshot("18-folder-dialog");
        // The subfolder's bare name is found only where the dialog started.
        setControlText(dialog, kFolderNameBox, "out");
        clickButton(dialog, IDOK);
        check(waitForClosed(wizard, kFolderTitle), "the folder dialog did not close on OK");
        check(controlText(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT) == chosen,
              "\"out\" chose \"" + controlText(wizard.sheet, IDC_OUTPUT_FOLDER_EDIT) +
                  "\", not the archive's folder's \"out\"");
    }
    finishCase("the folder dialog starts in the archive's folder");

    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (waitForCompletion(wizard)) {
        check(controlText(wizard.sheet, IDC_COMPLETION_TEXT) ==
                  "Salvaged data stored in " + chosen + "\\Salvaged.zip",
              "completion text \"" + controlText(wizard.sheet, IDC_COMPLETION_TEXT) + "\"");
    }
    finishAndExit(wizard);
    check(fileExists(chosen + "\\Salvaged.zip"), "no Salvaged.zip in the chosen folder");
    check(!fileExists(folder + "\\Salvaged.zip"), "a Salvaged.zip beside the archive");
    finishCase("the chosen folder receives Salvaged.zip and nothing is written beside the archive");
}

}  // namespace zipsalvage::driver
