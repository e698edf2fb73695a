// The undo of a text-mode transfer over the whole archive, before the scan: detection and the
// entry searches (extract/text_transfer_archive.h) decide which CRs go back; this writes the
// undone bytes out and swaps them in under the reader.
#include "engine/run/line_end_repair.h"

#include <cstring>
#include <vector>

#include "extract/text_transfer_archive.h"
#include "resources/strings.h"

namespace zipsalvage {

namespace {

inline constexpr const char* kUndoneCopyName = "undone.zip";
inline constexpr uint32_t kPieceBytes = 1u << 20;

// The archive's handle, a window of it (the detection reads the whole archive in order, then
// records here and there: one read of the file serves many of them), and whether a read came up
// short before the end of the file: a read error must not pass for a converted archive.
struct ArchiveFile {
    ArchiveReader* reader = nullptr;
    uint64_t size = 0;
    bool readFailed = false;
    std::vector<uint8_t> window;
    uint64_t windowStart = 0;
};

uint32_t readFileAt(ArchiveFile& file, uint64_t offset, uint8_t* into, uint32_t count) {
    uint32_t total = readArchiveAt(*file.reader, offset, into, count);
    if (total < count && offset + total < file.size) file.readFailed = true;
    return total;
}

uint32_t readWindowAt(void* owner, uint64_t offset, uint8_t* into, uint32_t count) {
    auto& file = *static_cast<ArchiveFile*>(owner);
    if (count > kPieceBytes) return readFileAt(file, offset, into, count);
    uint64_t windowEnd = file.windowStart + file.window.size();
    if (offset < file.windowStart || offset + count > windowEnd) {
        file.window.resize(kPieceBytes);
        file.windowStart = offset;
        file.window.resize(readFileAt(file, offset, file.window.data(), kPieceBytes));
        windowEnd = offset + file.window.size();
    }
    uint64_t available = windowEnd > offset ? windowEnd - offset : 0;
    auto taken = static_cast<uint32_t>(available < count ? available : count);
    if (taken != 0)
        std::memcpy(into, file.window.data() + static_cast<size_t>(offset - file.windowStart),
                    taken);
    return taken;
}

int changeDescription(LineEndChange change) {
    switch (change) {
        case LineEndChange::kEveryLfToCrLf:
            return kTextEveryLfBecameCrLf;
        case LineEndChange::kLoneLfToCrLf:
            return kTextLoneLfBecameCrLf;
        case LineEndChange::kCrLfToLf:
            return kTextCrLfBecameLf;
        case LineEndChange::kNone:
            break;
    }
    return kTextEveryLfBecameCrLf;
}

void logLine(RunLog& run, int pattern, const char* detail, const std::string& more) {
    std::string line(2048, '\0');
    formatText(line.data(), static_cast<int>(line.size()), textOf(pattern), detail, more.c_str());
    line.resize(std::char_traits<char>::length(line.c_str()));
    logText(run, line.c_str());
}

// Streams the undone archive into `copy`, a piece at a time. False when a read or write fails.
bool writeUndoneCopy(const ArchiveBytes& archive, const LineEndUndo& undo, FileHandle copy) {
    std::vector<uint8_t> piece(kPieceBytes);
    std::vector<uint8_t> out;
    UndoCursor cursor;
    for (uint64_t offset = 0; offset < archive.size;) {
        uint64_t left = archive.size - offset;
        uint32_t wanted = left < kPieceBytes ? static_cast<uint32_t>(left) : kPieceBytes;
        uint32_t got = archive.readAt(archive.owner, offset, piece.data(), wanted);
        if (got != wanted) return false;
        out.clear();
        undoPiece(undo, cursor, piece.data(), got, out);
        auto size = static_cast<uint32_t>(out.size());
        if (size != 0 && writeFile(copy, out.data(), size) != size) return false;
        offset += got;
    }
    out.clear();
    finishUndo(cursor, out);
    auto size = static_cast<uint32_t>(out.size());
    return size == 0 || writeFile(copy, out.data(), size) == size;
}

}  // namespace

LineEndRepair::~LineEndRepair() {
    if (reader == nullptr) return;
    closeFile(reader->archiveHandle);
    reader->archiveHandle = archiveHandle;
    reader->parts = std::move(parts);
    reader->archiveSize = archiveSize;
    forgetBuffer(*reader);
    deleteFile(copyPath.c_str());
}

bool repairLineEnds(EntryContext& run, LineEndRepair& repair) {
    FileHandle handle = run.reader.archiveHandle;
    int64_t size =
        run.reader.parts.empty() ? fileSize(handle) : static_cast<int64_t>(run.reader.archiveSize);
    if (handle == kInvalidFile || size <= 0) return true;
    ArchiveFile file;
    file.reader = &run.reader;
    file.size = static_cast<uint64_t>(size);
    ArchiveBytes archive{&file, file.size, readWindowAt};
    TransferVerdict verdict = detectLineEndChange(archive);
    bool converted = verdict.change != LineEndChange::kNone && !file.readFailed;
    ArchiveTransferUndo undo;
    if (converted) undo = undoArchiveTransfer(archive, verdict.change);
    // An undo that puts no CR back changes nothing: the archive is salvaged as it is.
    if (verdict.change == LineEndChange::kCrLfToLf && undo.undo.crPutBackAt.empty())
        converted = false;
    if (file.readFailed) converted = false;
    if (isCancelled(run.flags)) return false;
    if (!converted) {
        // The reader stands where it stood: at the start, its handle moved by the reads above.
        moveTo(run.reader, 0);
        return true;
    }
    const char* description = textOf(changeDescription(verdict.change));
    std::string folder = runTempFolder();
    std::string path = folder.empty() ? std::string() : folder + kUndoneCopyName;
    FileHandle copy = path.empty() ? kInvalidFile : createTempFileAt(path.c_str());
    bool written =
        copy != kInvalidFile && writeUndoneCopy(archive, undo.undo, copy) && !file.readFailed;
    int64_t copySize = written ? fileSize(copy) : -1;
    if (!written || copySize <= 0 || !seekFile(copy, 0)) {
        std::string reason = lastSystemError();
        if (copy != kInvalidFile) {
            closeFile(copy);
            deleteFile(path.c_str());
        }
        // Salvaged as it is, the archive still gives every entry before the first converted LF.
        logLine(run, kTextLineEndsNotUndone, description, reason);
        moveTo(run.reader, 0);
        return true;
    }
    repair.reader = &run.reader;
    repair.archiveHandle = handle;
    repair.archiveSize = run.reader.archiveSize;
    repair.copyPath = path;
    repair.parts = std::move(run.reader.parts);
    run.reader.parts.clear();
    run.reader.archiveHandle = copy;
    run.reader.archiveSize = static_cast<uint64_t>(copySize);
    forgetBuffer(run.reader);
    moveTo(run.reader, 0);
    logLine(run, kTextLineEndsUndone, description, std::string());
    return true;
}

}  // namespace zipsalvage
