// The copy of an intact entry's compressed bytes, read again from the archive.
#include "engine/entry/intact_copy.h"

#include <cstring>
#include <vector>

#include "core/crc32.h"
#include "core/zip_format.h"
#include "engine/output/zip_records.h"

namespace zipsalvage {

namespace {

constexpr uint32_t kCopyPieceBytes = 256u * 1024;

// The held bytes as the decoder's source: the data, then what followed it in the archive, as
// the scanning thread's reader would have delivered them. The bytes taken behind the data are
// counted: that reader would have stood behind them.
struct HeldSource {
    const uint8_t* bytes;
    size_t size;
    size_t dataBytes;
    size_t position;
};

int32_t readUpToHeld(void* owner, uint8_t* destination, int32_t count) {
    auto& source = *static_cast<HeldSource*>(owner);
    size_t left = source.size - source.position;
    auto wanted = static_cast<size_t>(count < 0 ? 0 : count);
    if (wanted > left) wanted = left;
    if (wanted > 0) std::memcpy(destination, source.bytes + source.position, wanted);
    source.position += wanted;
    return static_cast<int32_t>(wanted);
}

bool readExactHeld(void* owner, uint8_t* destination, int32_t count) {
    return readUpToHeld(owner, destination, count) == count;
}

// The decoded bytes, counted and run through the CRC-32; only bytes written in order count.
struct CrcSink {
    uint32_t crcRegister = 0xFFFFFFFFu;
    uint64_t produced = 0;
    bool inOrder = true;
};

uint32_t writeToSink(void* owner, int64_t position, const uint8_t* bytes, uint32_t count) {
    auto& sink = *static_cast<CrcSink*>(owner);
    if (position < 0 || static_cast<uint64_t>(position) != sink.produced) sink.inOrder = false;
    sink.crcRegister = crc32Update(sink.crcRegister, bytes, count);
    sink.produced += count;
    return count;
}

bool truncateSink(void* owner, uint64_t size) {
    auto& sink = *static_cast<CrcSink*>(owner);
    if (size != sink.produced) sink.inOrder = false;
    return true;
}

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

bool copiesOriginal(const EntryContext& run, const QueuedItem& item, bool intact) {
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

OriginalCopy writeOriginalData(EntryContext& run, const QueuedItem& item) {
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

OriginalCopy writeOriginalEntry(EntryContext& run, QueuedItem& item) {
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

void CheckRelease::operator()(CheckAhead* check) const { delete check; }

void runCheckAhead(CheckAhead& check) {
    HeldSource held{check.held.get(), check.heldBytes, check.dataBytes, 0};
    EntryByteSource source{&held, readExactHeld, readUpToHeld};
    CrcSink sink;
    EntryOutput output{&sink, writeToSink, truncateSink};
    // The entry's facts as the scanning thread's judging gives them to the decoder.
    UnknownRanges unknown;
    DataRepair repair;
    EntryData data;
    data.method = check.method;
    data.generalFlags = check.flags;
    data.compressedSize = check.dataBytes;
    data.uncompressedSize = check.recordedSize;
    data.unknown = &unknown;
    data.crc32 = check.recordedCrc;
    data.crcKnown = true;
    data.repair = &repair;
    RunFlags own;
    DecodeResult result = extractEntryData(data, output, false, "", nullptr, source, own);
    check.intact = ranToEnd(result) && result.consumed == check.dataBytes && sink.inOrder &&
                   sink.produced == check.recordedSize && ~sink.crcRegister == check.recordedCrc &&
                   !repair.made && unknown.ranges.empty() && !shouldStop(own);
    check.bytesPastData = held.position > check.dataBytes ? held.position - check.dataBytes : 0;
}

}  // namespace zipsalvage
