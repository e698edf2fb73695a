// Opening the damaged archive and creating the output, with the user's say on overwriting.
#include <string>

#include "engine/salvage_run.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

bool showError(SalvageRun& run, int textId, const char* argument) {
    std::string text(4096, '\0');
    formatText(text.data(), static_cast<int>(text.size()), loadText(textId), argument);
    if (run.ui.showMessage != nullptr) {
        run.ui.showMessage(run.ui.context, text.c_str(), loadText(kTextFileError),
                           MessageKind::kError);
    }
    return false;
}

}  // namespace

bool openArchive(SalvageRun& run, const char* path) {
    FileHandle handle = openExistingForRead(path);
    if (handle == kInvalidFile) return showError(run, kTextUnableToOpen, path);
    int64_t size = fileSize(handle);
    run.reader.archiveHandle = handle;
    run.reader.archiveSize = size > 0 ? static_cast<uint64_t>(size) : 1;
    return true;
}

bool createOutput(SalvageRun& run, const char* path) {
    // The archive is only ever read: an output naming it, by any path or link, is refused
    // before anything is created or truncated.
    if (isSameFile(run.reader.archiveHandle, path))
        return showError(run, kTextUnableToCreate, path);
    if (fileExists(path)) {
        std::string text(4096, '\0');
        formatText(text.data(), static_cast<int>(text.size()), loadText(kTextAlreadyExists), path);
        bool yes = run.ui.showMessage != nullptr &&
                   run.ui.showMessage(run.ui.context, text.c_str(), loadText(kTextFileExists),
                                      MessageKind::kQuestion);
        if (!yes) return false;
    }
    FileHandle handle = createReadWrite(path);
    if (handle == kInvalidFile) return showError(run, kTextUnableToCreate, path);
    run.outputHandle = handle;
    return true;
}

void closeRunFiles(SalvageRun& run) {
    closeFile(run.reader.archiveHandle);
    run.reader.archiveHandle = kInvalidFile;
    closeFile(run.outputHandle);
    run.outputHandle = kInvalidFile;
}

void freeEntryList(SalvageRun& run) {
    while (run.entryList != nullptr) {
        SalvagedEntry* next = run.entryList->next;
        delete[] run.entryList->name;
        delete run.entryList;
        run.entryList = next;
    }
    run.entryTail = nullptr;
}

std::string defaultOutputPath(const std::string& archivePath) {
    size_t slash = archivePath.find_last_of("/\\");
    std::string folder = slash == std::string::npos ? "" : archivePath.substr(0, slash + 1);
    return folder + "Salvaged.zip";
}

}  // namespace zipsalvage
