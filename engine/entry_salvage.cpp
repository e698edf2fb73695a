// salvageEntryData: password, extraction into the temporary file, judging, re-encoding.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/crc32.h"
#include "engine/entry_names.h"
#include "engine/salvage_run.h"
#include "extract/extract_context.h"
#include "recompress/deflate.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr const char* kTempFileName = "klv.tmp";

bool readFromArchive(void* owner, uint8_t* destination, int32_t count) {
    return readExact(*static_cast<ArchiveReader*>(owner), destination, count);
}

// Logs a string-table text whose first placeholder is the entry's name; sizes follow it.
void logAboutName(SalvageRun& run, int textId, const std::string& name, uint64_t first = 0,
                  uint64_t second = 0) {
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(textId), name.c_str(),
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(second));
    logText(run, line.c_str());
}

FileHandle createTempFile(std::string& path) {
    path.clear();
    std::string folder = runTempFolder();
    if (folder.empty()) return kInvalidFile;
    path = folder + kTempFileName;
    return createTempFileAt(path.c_str());
}

struct RecordedCrc {
    uint32_t value;
    bool known;  // false: the header does not record it
};

// CRC-32 of the whole temporary file, read back from its start; false when it cannot be read.
bool crcOfFile(FileHandle file, uint32_t& crc) {
    if (!seekFile(file, 0)) return false;
    uint8_t buffer[16384];
    uint32_t state = 0xFFFFFFFFu;
    while (uint32_t count = readFile(file, buffer, sizeof buffer)) {
        state = crc32Update(state, buffer, count);
    }
    crc = ~state;
    return true;
}

// Endings the data decides; a system failure or a cancel says nothing about a password.
bool judgedByData(const DecodeResult& result) {
    return result.end == DecodeEnd::kDone || result.end == DecodeEnd::kCorruptData ||
           result.end == DecodeEnd::kInputEnded;
}

// True when the decoded bytes are shown to be the entry's: the method ran to its end and,
// where a CRC-32 is recorded, they match it.
bool outputMatches(const DecodeResult& result, FileHandle temp, const RecordedCrc& recorded) {
    if (!ranToEnd(result)) return false;
    if (!recorded.known) return true;
    uint32_t crc = 0;
    return crcOfFile(temp, crc) && crc == recorded.value;
}

// A write to the temporary file failed: the folder and the system's reason are named, since
// the remedy (room in $TMPDIR) is the user's and the archive is not at fault.
void logTempWriteFailed(SalvageRun& run, const std::string& name, const std::string& reason) {
    std::string folder = tempFolderParent();
    std::string line(name.size() + folder.size() + reason.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextTempFolderWriteFailed),
               name.c_str(), folder.c_str(), reason.c_str());
    logText(run, line.c_str());
}

void logCrcMismatch(SalvageRun& run, const std::string& name, uint32_t found, uint32_t expected) {
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextCrcMismatch), name.c_str(),
               found, expected);
    logText(run, line.c_str());
}

struct Recompressed {
    bool succeeded = false;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
};

Recompressed recompressEntry(SalvageRun& run, const char* name, const std::string& tempPath,
                             uint64_t recoveredSize, bool storeAnyway) {
    Recompressed result;
    FileHandle input = openExistingForRead(tempPath.c_str());
    if (input == kInvalidFile) {
        logAboutName(run, kTextCannotOpen, tempPath);
        return result;
    }
    RecompressStream stream;
    if (!initRecompressStream(stream, input, run.outputHandle, run.flags)) {
        // No memory for the stream's buffers: the entry is lost, and the log says which.
        logAboutName(run, kTextUnableToRecompress, shownName(run, name));
        closeFile(input);
        return result;
    }
    bool stored = storeAnyway || recoveredSize < kStoreBelowBytes || isPrecompressedName(name);
    // Only the output is written from here on: a write failing now is the output's.
    bool failedBefore = hasWriteFailed(run.flags);
    int copied = stored ? storeFile(stream) : deflateFile(stream);
    if (copied) {
        // The pending bytes are part of the entry: a short write here loses data, so it fails
        // the entry like any other short write.
        uint32_t pending = static_cast<uint32_t>(stream.outFill);
        if (writeFile(run.outputHandle, stream.outBuffer, pending) != pending) {
            markWriteFailed(run.flags);
            copied = 0;
        }
    }
    if (!copied && !failedBefore && hasWriteFailed(run.flags)) {
        // A full or failing output disk: the run ends with that message, not with a verdict
        // on this entry.
        run.outputFailed = true;
    } else if (!copied) {
        logAboutName(run, kTextUnableToRecompress, shownName(run, name));
    } else {
        result.succeeded = true;
        result.method = stored ? 0 : 8;
        result.crc = stream.crc;
        result.compressedSize = stream.bytesWritten;
    }
    closeFile(input);
    freeRecompressStream(stream);
    return result;
}

// Writes the entry's local header and then its data. Whether the header carries the Zip64
// extra is settled by the recovered size before any data is written; deflate output that would
// reach 4 GiB from less (incompressible data just under 4 GiB) is replaced by a stored copy,
// which fits the header as written.
bool writeEntry(SalvageRun& run, SalvagedEntry& entry, const std::string& tempPath,
                uint64_t recovered, Recompressed& written) {
    entry.sizes = EntrySizes{0, recovered};
    entry.zip64Local = needsZip64(recovered);
    if (!writeEntryHead(run, entry)) return false;  // the run ends on run.outputFailed
    int64_t dataStart = filePosition(run.outputHandle);
    written = recompressEntry(run, entry.name, tempPath, recovered, false);
    if (written.succeeded && !entry.zip64Local && needsZip64(written.compressedSize)) {
        if (dataStart < 0 || !seekFile(run.outputHandle, dataStart) ||
            !truncateFileHere(run.outputHandle)) {
            run.outputFailed = true;
            return false;
        }
        written = recompressEntry(run, entry.name, tempPath, recovered, true);
    }
    return written.succeeded;
}

}  // namespace

void discardTempFile() {
    std::string folder = runTempFolder();
    if (!folder.empty()) deleteFile((folder + kTempFileName).c_str());
}

bool salvageEntryData(SalvageRun& run, SalvagedEntry& entry, const EntrySizes& recorded) {
    ++run.filesFound;
    bool damaged = false;
    LocalHeader& header = entry.header;
    const char* name = entry.name;
    uint16_t flags = headerField16(header, kLocalFlags);
    int encrypted = (flags & kFlagEncrypted) != 0 ? 1 : 0;
    uint8_t encryptionHeader[kEncryptionHeaderBytes] = {};
    uint64_t recordedSize = recorded.uncompressed;
    RecordedCrc recordedCrc{headerField32(header, kLocalCrc32), true};
    // A streaming writer leaves the field 0 and puts the CRC-32 after the data (APPNOTE 4.4.4).
    if ((flags & kFlagDataDescriptor) != 0 && recordedCrc.value == 0) recordedCrc.known = false;
    std::string shown = shownName(run, name);

    PasswordRequest request{name, encryptionHeader, recordedCrc.value,
                            headerField16(header, kLocalModTime), flags};
    PasswordSearch search;
    int64_t dataStart = 0;
    if (encrypted) {
        readUpTo(run.reader, encryptionHeader, kEncryptionHeaderBytes);
        dataStart = logicalPosition(run.reader);
        if (!nextPassword(run.passwords, request, search)) {
            // A prompt ended by a cancel is no verdict on the entry: say nothing.
            if (isCancelled(run.flags)) return false;
            logAboutName(run, kTextCannotDecrypt, shown);
            ++run.undecryptableCount;
            return false;
        }
    }

    std::string tempPath;
    FileHandle temp = createTempFile(tempPath);
    if (temp == kInvalidFile) {
        logAboutName(run, kTextNoTempFile, tempPath);
        ++run.systemErrorCount;
        return false;
    }

    EntryByteSource source{&run.reader, readFromArchive};
    DecodeResult extracted;
    while (true) {
        extracted = extractEntry(header.bytes, RecordedSizes{recorded.compressed, recordedSize},
                                 temp, encrypted, run.passwords.currentPassword, encryptionHeader,
                                 source, run.flags);
        if (!encrypted || !judgedByData(extracted) || outputMatches(extracted, temp, recordedCrc)) {
            break;
        }
        // One wrong password in 256 passes the check byte: the decrypted data has the last word.
        // The next candidate starts again at the entry's first data byte, read anew from the
        // archive, so an entry of any size is tried whole.
        search.provenWrong.emplace_back(run.passwords.currentPassword);
        request.typedWasWrong = search.source == PasswordSource::kTyped;
        PasswordSource triedSource = search.source;
        std::string tried = run.passwords.currentPassword;
        if (!nextPassword(run.passwords, request, search)) {
            if (isCancelled(run.flags)) {
                extracted.end = DecodeEnd::kCancelled;
                break;
            }
            // No candidate left: the last attempt's bytes stay, judged like any others.
            std::snprintf(run.passwords.currentPassword, kPasswordBufferBytes, "%s", tried.c_str());
            search.source = triedSource;
            break;
        }
        moveTo(run.reader, dataStart);
        if (!seekFile(temp, 0) || !truncateFileHere(temp)) {
            extracted.end = DecodeEnd::kOutputFailed;
            break;
        }
    }
    // Only the temporary file is written while extracting; its failure's reason is taken
    // before any later call can replace it.
    std::string tempFailure =
        extracted.end == DecodeEnd::kOutputFailed ? lastSystemError() : std::string();
    // A password that opened an entry is tried first on the later ones.
    if (encrypted && search.source != PasswordSource::kRemembered) {
        rememberPassword(run.passwords, run.passwords.currentPassword);
    }
    if (extracted.end == DecodeEnd::kCancelled) {
        closeFile(temp);
        deleteFile(tempPath.c_str());
        return false;
    }
    if (extracted.end == DecodeEnd::kOutputFailed) {
        // The temporary file did not take what was decoded (a full or failing temporary
        // folder): what it holds is not the entry's data, so nothing of it is kept. The system
        // failed, not the data. Only this entry is lost: its file is removed to give the room
        // back and the flag is cleared, so that later entries, which may well fit, are salvaged.
        logTempWriteFailed(run, shown, tempFailure);
        ++run.systemErrorCount;
        closeFile(temp);
        deleteFile(tempPath.c_str());
        clearWriteFailed(run.flags);
        return false;
    }
    if (!ranToEnd(extracted)) {
        int64_t salvaged = fileSize(temp);
        if (extracted.end == DecodeEnd::kNoMemory) {
            // Not the data's fault: counted as a system error, and what was decoded is kept.
            logAboutName(run, kTextNoMemoryForEntry, shown,
                         static_cast<uint64_t>(salvaged < 0 ? 0 : salvaged), recordedSize);
            ++run.systemErrorCount;
        } else {
            logAboutName(run, kTextFileCorrupt, shown,
                         static_cast<uint64_t>(salvaged < 0 ? 0 : salvaged), recordedSize);
            if (salvaged <= 0) {
                ++run.unrecoverableCount;
            } else {
                ++run.partialCount;
            }
        }
        damaged = true;
    }

    int64_t size = fileSize(temp);
    uint64_t recovered = static_cast<uint64_t>(size < 0 ? 0 : size);
    if (!damaged && recovered != recordedSize) {
        logAboutName(run, kTextSizeWarning, shown, recovered, recordedSize);
        damaged = true;
        ++run.partialCount;
    }
    closeFile(temp);

    // The file stays for the next entry to empty and reuse; the run deletes it at its end.
    Recompressed written;
    if (!writeEntry(run, entry, tempPath, recovered, written)) return false;

    setHeaderField16(header, kLocalMethod, written.method);
    setHeaderField32(header, kLocalCrc32, written.crc);
    entry.sizes.compressed = written.compressedSize;
    if (!damaged && recordedCrc.known && written.crc != recordedCrc.value) {
        // The bytes are kept (they may still serve), but they are not what was stored.
        logCrcMismatch(run, shown, written.crc, recordedCrc.value);
        ++run.partialCount;
        damaged = true;
    }
    if (!damaged) logAboutName(run, kTextFileOk, shown, recovered);
    return true;
}

}  // namespace zipsalvage
