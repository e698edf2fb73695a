// salvageEntryData: password, extraction into the temporary file, judging, re-encoding.
#include <cstring>
#include <string>

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

// Logs a string-table text whose first placeholder is the entry's name.
void logAboutName(SalvageRun& run, int textId, const std::string& name, int first = 0,
                  int second = 0) {
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(textId), name.c_str(), first,
               second);
    logText(run, line.c_str());
}

FileHandle createTempFile(std::string& path) {
    path.clear();
    std::string folder = runTempFolder();
    if (folder.empty()) return kInvalidFile;
    path = folder + kTempFileName;
    return createTempFileAt(path.c_str());
}

struct Recompressed {
    bool succeeded = false;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
};

Recompressed recompressEntry(SalvageRun& run, const char* name, const std::string& tempPath,
                             uint32_t recoveredSize) {
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
    bool stored =
        recoveredSize < kStoreBelowBytes || isPrecompressedName(name) || !kDeflateEncoderReady;
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
        result.compressedSize = static_cast<uint32_t>(stream.bytesWritten);
    }
    closeFile(input);
    freeRecompressStream(stream);
    return result;
}

}  // namespace

void discardTempFile() {
    std::string folder = runTempFolder();
    if (!folder.empty()) deleteFile((folder + kTempFileName).c_str());
}

bool salvageEntryData(SalvageRun& run, LocalHeader& header, const char* name) {
    ++run.filesFound;
    bool damaged = false;
    uint16_t flags = headerField16(header, kLocalFlags);
    int encrypted = (flags & 1) != 0 ? 1 : 0;
    uint8_t encryptionHeader[kEncryptionHeaderBytes] = {};
    uint32_t recordedSize = headerField32(header, kLocalUncompressedSize);
    std::string shown = shownName(run, name);

    if (encrypted) {
        readUpTo(run.reader, encryptionHeader, kEncryptionHeaderBytes);
        PasswordRequest request{name, encryptionHeader, headerField32(header, kLocalCrc32),
                                headerField16(header, kLocalModTime), flags};
        if (!askPassword(run.passwords, request)) {
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
    int extracted = extractEntry(header.bytes, temp, encrypted, run.passwords.currentPassword,
                                 encryptionHeader, source, run.flags);
    if (!extracted) {
        if (isCancelled(run.flags)) {
            closeFile(temp);
            deleteFile(tempPath.c_str());
            return false;
        }
        int64_t salvaged = fileSize(temp);
        logAboutName(run, kTextFileCorrupt, shown, static_cast<int>(salvaged),
                     static_cast<int>(recordedSize));
        if (salvaged <= 0) {
            ++run.unrecoverableCount;
        } else {
            ++run.partialCount;
        }
        damaged = true;
    }

    int64_t size = fileSize(temp);
    auto recovered = static_cast<uint32_t>(size < 0 ? 0 : size);
    if (!damaged && recovered != recordedSize) {
        logAboutName(run, kTextSizeWarning, shown, static_cast<int>(recovered),
                     static_cast<int>(recordedSize));
        damaged = true;
        ++run.partialCount;
    }
    setHeaderField32(header, kLocalUncompressedSize, recovered);
    closeFile(temp);

    // The file stays for the next entry to empty and reuse; the run deletes it at its end.
    Recompressed written = recompressEntry(run, name, tempPath, recovered);
    if (!written.succeeded) return false;

    setHeaderField16(header, kLocalMethod, written.method);
    setHeaderField32(header, kLocalCompressedSize, written.compressedSize);
    setHeaderField32(header, kLocalCrc32, written.crc);
    if (!damaged) logAboutName(run, kTextFileOk, shown, static_cast<int>(recovered));
    return true;
}

}  // namespace zipsalvage
