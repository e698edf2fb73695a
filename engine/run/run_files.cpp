// Opening the damaged archive and creating the output, with the user's say on overwriting.
//
// The output is written under a partial name beside its final one and renamed into place only
// when the run completes, so a cancelled or failed run leaves any earlier output untouched.
#include <string>

#include "engine/run/salvage_run.h"
#include "engine/scan/archive_parts.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

bool showError(RunLog& run, int textId, const char* path, const std::string& reason) {
    std::string text(std::string(path).size() + reason.size() + 256, '\0');
    formatText(text.data(), static_cast<int>(text.size()), textOf(textId), path, reason.c_str());
    if (run.ui.showMessage != nullptr) {
        run.ui.showMessage(run.ui.context, text.c_str(), loadText(kTextFileError),
                           MessageKind::kError);
    }
    return false;
}

}  // namespace

bool openArchive(EntryContext& run, const char* path) {
    FileHandle handle = openExistingForRead(path);
    if (handle == kInvalidFile)
        return showError(run, kTextUnableToOpenBecause, path, lastSystemError());
    // The scan steps back after every entry and the extraction may read past one: a pipe
    // would lose those bytes, and the entries after them with them.
    if (!isSeekable(handle)) {
        closeFile(handle);
        return showError(run, kTextUnableToOpenBecause, path, textOf(kTextNotSeekable));
    }
    int64_t size = fileSize(handle);
    run.reader.archiveHandle = handle;
    run.reader.archiveSize = size > 0 ? static_cast<uint64_t>(size) : 1;
    openSiblingParts(run.reader, path);
    return true;
}

void openSiblingParts(ArchiveReader& reader, const char* path) {
    std::vector<PartName> names = findArchiveParts(path);
    if (names.empty()) return;
    uint64_t start = 0;
    for (const PartName& name : names) {
        ArchivePart part;
        part.path = name.path;
        part.start = start;
        if (name.path == path) {
            part.handle = reader.archiveHandle;
        } else if (name.present) {
            part.handle = openExistingForRead(name.path.c_str());
            // A part that cannot be read from an earlier offset again counts as missing.
            if (part.handle != kInvalidFile && !isSeekable(part.handle)) {
                closeFile(part.handle);
                part.handle = kInvalidFile;
            }
        }
        int64_t size = part.handle == kInvalidFile ? 0 : fileSize(part.handle);
        part.size = size > 0 ? static_cast<uint64_t>(size) : 0;
        start += part.size;
        reader.parts.push_back(std::move(part));
    }
    reader.archiveSize = start > 0 ? start : 1;
}

bool isPartOfArchive(const ArchiveReader& reader, const char* path) {
    if (isSameFile(reader.archiveHandle, path)) return true;
    for (const ArchivePart& part : reader.parts) {
        if (part.handle != kInvalidFile && isSameFile(part.handle, path)) return true;
    }
    return false;
}

bool checkTempFolder(RunLog& run) {
    // A folder that cannot be made, or a file in it that cannot take a block, would fail every
    // entry one by one; it is said once, before anything else happens.
    std::string folder = runTempFolder();
    if (folder.empty()) {
        std::string reason = lastSystemError();
        return showError(run, kTextTempFolderUnusable, tempFolderParent().c_str(), reason);
    }
    // A name of its own, made exclusively: on Win32 the folder is the user's shared one.
    std::string probePath;
    FileHandle probe = createPartialFile((folder + "zipsalvage-probe").c_str(), probePath);
    static constexpr uint32_t kProbeBytes = 4096;
    static const char zeros[kProbeBytes] = {};
    bool works = probe != kInvalidFile && writeFile(probe, zeros, kProbeBytes) == kProbeBytes;
    std::string reason = works ? std::string() : lastSystemError();
    closeFile(probe);
    if (!probePath.empty()) deleteFile(probePath.c_str());
    if (!works) return showError(run, kTextTempFolderUnusable, tempFolderParent().c_str(), reason);
    return true;
}

bool createOutput(SalvageRun& run, const char* path) {
    std::string finalPath = path;
    // The archive is only ever read: an output naming it, by any path or link, is refused
    // before anything is created.
    if (isPartOfArchive(run.reader, path))
        return showError(run, kTextUnableToCreateBecause, path, textOf(kTextIsTheArchive));
    PathKind kind = pathKind(path);
    // A device, FIFO or folder is never replaced (nor, as before, written through).
    if (kind == PathKind::kOther)
        return showError(run, kTextUnableToCreateBecause, path, textOf(kTextNotRegularFile));
    if (kind != PathKind::kMissing) {
        // The rename replaces a link itself, so the question says so rather than naming a file.
        int question = kind == PathKind::kSymbolicLink ? kTextReplaceLink : kTextAlreadyExists;
        std::string text(finalPath.size() + 256, '\0');
        formatText(text.data(), static_cast<int>(text.size()), textOf(question), path);
        bool yes = run.ui.showMessage != nullptr &&
                   run.ui.showMessage(run.ui.context, text.c_str(), loadText(kTextFileExists),
                                      MessageKind::kQuestion);
        if (!yes) return false;
    }
    std::string partialPath;
    FileHandle handle = createPartialFile(finalPath.c_str(), partialPath);
    if (handle == kInvalidFile)
        return showError(run, kTextUnableToCreateBecause, finalPath.c_str(), lastSystemError());
    run.output = makeZipOutput(handle, partialPath, finalPath);
    if (run.output == nullptr) {
        closeFile(handle);
        deleteFile(partialPath.c_str());
        return showError(run, kTextUnableToCreateBecause, finalPath.c_str(), lastSystemError());
    }
    run.outputPath = finalPath;
    return true;
}

bool commitOutput(EntryContext& run) { return run.output == nullptr || run.output->commit(); }

void discardOutput(EntryContext& run) {
    if (run.output != nullptr) run.output->discard();
    run.output.reset();
}

void closeRunFiles(EntryContext& run) {
    for (ArchivePart& part : run.reader.parts) {
        if (part.handle != run.reader.archiveHandle) closeFile(part.handle);
    }
    run.reader.parts.clear();
    closeFile(run.reader.archiveHandle);
    run.reader.archiveHandle = kInvalidFile;
    discardOutput(run);
}

SalvageRun::~SalvageRun() {
    closeRunFiles(*this);
    freeEntryList(*this);
}

void freeEntry(SalvagedEntry* entry) { delete entry; }

void freeEntryList(RunTally& tally) {
    while (tally.entryList != nullptr) {
        SalvagedEntry* next = tally.entryList->next;
        freeEntry(tally.entryList);
        tally.entryList = next;
    }
    tally.entryTail = nullptr;
}

std::string defaultOutputPath(const std::string& archivePath) {
    size_t slash = archivePath.find_last_of("/\\");
    std::string folder = slash == std::string::npos ? "" : archivePath.substr(0, slash + 1);
    return folder + "Salvaged.zip";
}

}  // namespace zipsalvage
