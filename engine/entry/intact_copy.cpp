// The copy of an intact entry's compressed bytes, read again from the archive.
#include "engine/entry/intact_copy.h"

#include <vector>

#include "core/zip_format.h"
#include "engine/output/zip_records.h"

namespace zipsalvage {

namespace {

constexpr uint32_t kCopyPieceBytes = 256u * 1024;

}  // namespace

void noteOriginalData(QueuedItem& item, uint16_t flags, uint16_t method, int64_t dataStart,
                      const Attempt& attempt) {
    const uint64_t consumed = attempt.result.consumed;
    const uint64_t compressedSize = attempt.compressedSize;
    item.original = OriginalData{};
    if ((flags & kFlagEncrypted) != 0) return;  // the output is never encrypted
    if (method != kMethodStored && method != kMethodDeflated) return;
    // A decoder that stopped short of the known size, or a size known from nowhere, leaves the
    // bytes that belong to the entry uncertain: re-encoding needs no such knowledge.
    if (!ranToEnd(attempt.result) || !attempt.compressedKnown || consumed != compressedSize ||
        dataStart < 0)
        return;
    if (!item.entry->zip64Local && needsZip64(compressedSize)) return;
    item.original = OriginalData{true, method, dataStart, compressedSize};
}

bool copiesOriginal(const SalvageRun& run, const QueuedItem& item, bool intact) {
    return run.copyIntact && intact && item.original.copyable && item.crcKnown &&
           !run.output->takesDecodedBytes();
}

Recompressed originalAsWritten(const QueuedItem& item) {
    Recompressed written;
    written.succeeded = true;
    written.method = item.original.method;
    written.crc = item.expectedCrc;
    written.compressedSize = item.original.size;
    return written;
}

OriginalCopy writeOriginalData(SalvageRun& run, const QueuedItem& item) {
    // The decoder has just read the bytes: most often they are still in the reader's buffer.
    const ArchiveReader& reader = run.reader;
    const int64_t start = item.original.start;
    if (start >= reader.bufferStart && item.original.size <= static_cast<uint64_t>(reader.fill) &&
        static_cast<uint64_t>(start - reader.bufferStart) + item.original.size <=
            static_cast<uint64_t>(reader.fill)) {
        const uint8_t* bytes =
            reader.buffer.data() + static_cast<size_t>(start - reader.bufferStart);
        auto count = static_cast<uint32_t>(item.original.size);
        return run.output->write(bytes, count) ? OriginalCopy::kCopied : OriginalCopy::kWriteFailed;
    }
    uint64_t pieceBytes =
        item.original.size < kCopyPieceBytes ? item.original.size : kCopyPieceBytes;
    std::vector<uint8_t> piece(static_cast<size_t>(pieceBytes));
    auto offset = static_cast<uint64_t>(start);
    for (uint64_t left = item.original.size; left > 0;) {
        auto wanted = static_cast<uint32_t>(left < pieceBytes ? left : pieceBytes);
        if (readArchiveAt(run.reader, offset, piece.data(), wanted) != wanted) {
            return OriginalCopy::kReadFailed;
        }
        if (!run.output->write(piece.data(), wanted)) return OriginalCopy::kWriteFailed;
        offset += wanted;
        left -= wanted;
    }
    return OriginalCopy::kCopied;
}

OriginalCopy writeOriginalEntry(SalvageRun& run, QueuedItem& item) {
    if (!beginOutputEntry(run, *item.entry)) {
        return run.outputFailed ? OriginalCopy::kWriteFailed : OriginalCopy::kLeftOut;
    }
    OriginalCopy copy = writeOriginalData(run, item);
    if (copy == OriginalCopy::kReadFailed && !run.output->dropEntry(item.entry->headerOffset)) {
        copy = OriginalCopy::kWriteFailed;
    }
    if (copy == OriginalCopy::kWriteFailed) run.outputFailed = true;
    return copy;
}

}  // namespace zipsalvage
