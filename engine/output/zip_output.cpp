// The Zip archive writer: local headers written as entries begin and again with their final
// fields, the data behind them, then the central directory and end records (APPNOTE 4.3.6).
// It writes under a partial name and renames into place on commit. Every header goes out in one
// write, and the writer keeps its own count of where the file stands: a salvage of many small
// entries is otherwise a few system calls per header field.
#include <new>
#include <string>
#include <vector>

#include "engine/output/output_writer.h"
#include "engine/output/zip_records.h"

namespace zipsalvage {
namespace {

uint32_t writeToFile(void* owner, const uint8_t* bytes, uint32_t count);

class ZipOutput final : public OutputWriter {
  public:
    ZipOutput(FileHandle handle, std::string partialPath, std::string finalPath)
        : handle_(handle), partialPath_(std::move(partialPath)), finalPath_(std::move(finalPath)) {}
    ~ZipOutput() override { discard(); }
    ZipOutput(const ZipOutput&) = delete;
    ZipOutput& operator=(const ZipOutput&) = delete;

    bool takesDecodedBytes() const override { return false; }
    int64_t position() override { return here(); }

    OutputStep beginEntry(SalvagedEntry& entry) override {
        buildHead(entry, writtenHead_);
        writtenHeadAt_ = here();
        if (writtenHeadAt_ < 0 || !write(writtenHead_.data(), size32(writtenHead_))) {
            writtenHeadAt_ = -1;
            return OutputStep::kFailed;
        }
        dataStart_ = here();
        return OutputStep::kDone;
    }

    bool write(const void* bytes, uint32_t count) override {
        if (count == 0) return true;  // empty extra fields and comments: nothing to write
        const uint32_t written = writeFile(handle_, bytes, count);
        // After a short write the position is the system's to say.
        position_ = written == count && position_ >= 0 ? position_ + count : -1;
        return written == count;
    }

    StreamOutput dataOutput() override { return StreamOutput{this, writeToFile}; }

    bool restartData() override {
        return dataStart_ >= 0 && seekTo(dataStart_) && truncateFileHere(handle_);
    }

    // The header again, now with the final method, CRC-32 and sizes; its length was fixed when
    // it was first written, since whether it carries the Zip64 extra was settled then. A header
    // that went out with its final fields already is not written twice.
    bool finishEntry(SalvagedEntry& entry) override {
        int64_t dataEnd = here();
        std::vector<uint8_t> head;
        buildHead(entry, head);
        const auto headerOffset = static_cast<int64_t>(entry.headerOffset);
        if (dataEnd >= 0 && headerOffset == writtenHeadAt_ && head == writtenHead_) return true;
        return dataEnd >= 0 && seekTo(headerOffset) && write(head.data(), size32(head)) &&
               seekTo(dataEnd);
    }

    bool dropEntry(int64_t start) override {
        writtenHeadAt_ = -1;
        return seekTo(start) && truncateFileHere(handle_);
    }

    bool finish(const SalvagedEntry* entries, const std::string& archiveComment) override;

    bool commit() override {
        if (partialPath_.empty()) return true;
        bool committed = commitPartialFile(handle_, partialPath_.c_str(), finalPath_.c_str());
        if (committed) {
            partialPath_.clear();
        } else {
            discard();
        }
        return committed;
    }

    void discard() override { discardPartialFile(handle_, partialPath_); }

  private:
    void buildHead(SalvagedEntry& entry, std::vector<uint8_t>& head);

    static uint32_t size32(const std::vector<uint8_t>& bytes) {
        return static_cast<uint32_t>(bytes.size());
    }

    // Where the handle stands: counted from the writes and seeks made here, asked of the system
    // only when unknown (-1).
    int64_t here() {
        if (position_ < 0) position_ = filePosition(handle_);
        return position_;
    }

    bool seekTo(int64_t offset) {
        position_ = -1;
        if (!seekFile(handle_, offset)) return false;
        position_ = offset;
        return true;
    }

    FileHandle handle_;
    std::string partialPath_;  // empty once committed or discarded
    std::string finalPath_;
    int64_t dataStart_ = -1;  // of the entry begun last
    int64_t position_ = -1;
    // The header image of the entry begun last, and where it went (-1: none).
    std::vector<uint8_t> writtenHead_;
    int64_t writtenHeadAt_ = -1;
};

uint32_t writeToFile(void* owner, const uint8_t* bytes, uint32_t count) {
    return static_cast<ZipOutput*>(owner)->write(bytes, count) ? count : 0;
}

// The local header, name and extra fields as they go out.
void ZipOutput::buildHead(SalvagedEntry& entry, std::vector<uint8_t>& head) {
    settleLocalSizes(entry);
    // The Zip64 field first, then the fields kept from the damaged header.
    uint8_t zip64Extra[kZip64LocalExtraSize];
    int zip64Length = buildLocalZip64Extra(entry, zip64Extra);
    const std::vector<uint8_t>& kept = entry.metadata.localExtra;
    size_t extraLength = static_cast<size_t>(zip64Length) + kept.size();
    setHeaderField16(entry.header, kLocalExtraLength, static_cast<uint16_t>(extraLength));
    uint16_t nameLength = headerField16(entry.header, kLocalNameLength);
    head.assign(entry.header.bytes, entry.header.bytes + kLocalHeaderSize);
    head.insert(head.end(), entry.name.data(), entry.name.data() + nameLength);
    head.insert(head.end(), zip64Extra, zip64Extra + zip64Length);
    head.insert(head.end(), kept.begin(), kept.end());
}

// Central directory, end record (with the Zip64 end record and locator before it when the
// directory needs them), truncation.
bool ZipOutput::finish(const SalvagedEntry* entries, const std::string& archiveComment) {
    int64_t start = here();
    if (start < 0) return false;
    DirectoryExtent directory;
    directory.offset = static_cast<uint64_t>(start);
    uint8_t image[kCentralHeaderSize];
    uint8_t zip64Extra[kZip64CentralExtraMaxSize];
    std::vector<uint8_t> central;  // one central header with its name, extras and comment
    for (const SalvagedEntry* entry = entries; entry != nullptr; entry = entry->next) {
        int extraLength = buildCentralZip64Extra(*entry, zip64Extra);
        size_t allExtras = static_cast<size_t>(extraLength) + entry->metadata.centralExtra.size();
        buildCentralHeader(*entry, static_cast<uint16_t>(allExtras), image);
        const EntryMetadata& metadata = entry->metadata;
        central.assign(image, image + kCentralHeaderSize);
        central.insert(central.end(), entry->name.data(),
                       entry->name.data() + headerField16(entry->header, kLocalNameLength));
        central.insert(central.end(), zip64Extra, zip64Extra + extraLength);
        central.insert(central.end(), metadata.centralExtra.begin(), metadata.centralExtra.end());
        central.insert(central.end(), metadata.comment.begin(), metadata.comment.end());
        if (!write(central.data(), size32(central))) return false;
        ++directory.entryCount;
    }
    int64_t end = here();
    if (end < start) return false;
    directory.size = static_cast<uint64_t>(end - start);
    if (needsZip64End(directory)) {
        uint8_t zip64End[kZip64EndRecordSize];
        uint8_t locator[kZip64LocatorSize];
        buildZip64EndRecord(directory, zip64End);
        buildZip64Locator(static_cast<uint64_t>(end), locator);
        if (!write(zip64End, kZip64EndRecordSize) || !write(locator, kZip64LocatorSize)) {
            return false;
        }
    }
    uint8_t record[kEndRecordSize];
    buildEndRecord(directory, record);
    storeLE16(record + kEndCommentLength, static_cast<uint16_t>(archiveComment.size()));
    if (!write(record, kEndRecordSize) ||
        !write(archiveComment.data(), static_cast<uint32_t>(archiveComment.size()))) {
        return false;
    }
    return truncateFileHere(handle_);
}

}  // namespace

std::unique_ptr<OutputWriter> makeZipOutput(FileHandle handle, const std::string& partialPath,
                                            const std::string& finalPath) {
    return std::unique_ptr<OutputWriter>(new (std::nothrow)
                                             ZipOutput(handle, partialPath, finalPath));
}

}  // namespace zipsalvage
