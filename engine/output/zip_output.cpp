// The Zip archive writer: local headers written as entries begin and again with their final
// fields, the data behind them, then the central directory and end records (APPNOTE 4.3.6).
// It writes under a partial name and renames into place on commit.
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
    int64_t position() override { return filePosition(handle_); }

    OutputStep beginEntry(SalvagedEntry& entry) override {
        if (!writeHead(entry)) return OutputStep::kFailed;
        dataStart_ = filePosition(handle_);
        return OutputStep::kDone;
    }

    bool write(const void* bytes, uint32_t count) override {
        if (count == 0) return true;  // empty extra fields and comments: nothing to write
        return writeFile(handle_, bytes, count) == count;
    }

    StreamOutput dataOutput() override { return StreamOutput{this, writeToFile}; }

    bool restartData() override {
        return dataStart_ >= 0 && seekFile(handle_, dataStart_) && truncateFileHere(handle_);
    }

    // The header again, now with the final method, CRC-32 and sizes; its length was fixed when
    // it was first written, since whether it carries the Zip64 extra was settled then.
    bool finishEntry(SalvagedEntry& entry) override {
        int64_t dataEnd = filePosition(handle_);
        return dataEnd >= 0 && seekFile(handle_, static_cast<int64_t>(entry.headerOffset)) &&
               writeHead(entry) && seekFile(handle_, dataEnd);
    }

    bool dropEntry(int64_t start) override {
        return seekFile(handle_, start) && truncateFileHere(handle_);
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
    bool writeHead(SalvagedEntry& entry);

    FileHandle handle_;
    std::string partialPath_;  // empty once committed or discarded
    std::string finalPath_;
    int64_t dataStart_ = -1;  // of the entry begun last
};

uint32_t writeToFile(void* owner, const uint8_t* bytes, uint32_t count) {
    return static_cast<ZipOutput*>(owner)->write(bytes, count) ? count : 0;
}

// The local header, name and extra fields at the output's current position.
bool ZipOutput::writeHead(SalvagedEntry& entry) {
    settleLocalSizes(entry);
    // The Zip64 field first, then the fields kept from the damaged header.
    uint8_t zip64Extra[kZip64LocalExtraSize];
    int zip64Length = buildLocalZip64Extra(entry, zip64Extra);
    const std::vector<uint8_t>& kept = entry.metadata.localExtra;
    size_t extraLength = static_cast<size_t>(zip64Length) + kept.size();
    setHeaderField16(entry.header, kLocalExtraLength, static_cast<uint16_t>(extraLength));
    uint16_t nameLength = headerField16(entry.header, kLocalNameLength);
    return write(entry.header.bytes, kLocalHeaderSize) && write(entry.name.data(), nameLength) &&
           write(zip64Extra, static_cast<uint32_t>(zip64Length)) &&
           write(kept.data(), static_cast<uint32_t>(kept.size()));
}

// Central directory, end record (with the Zip64 end record and locator before it when the
// directory needs them), truncation.
bool ZipOutput::finish(const SalvagedEntry* entries, const std::string& archiveComment) {
    int64_t start = filePosition(handle_);
    if (start < 0) return false;
    DirectoryExtent directory;
    directory.offset = static_cast<uint64_t>(start);
    uint8_t image[kCentralHeaderSize];
    uint8_t zip64Extra[kZip64CentralExtraMaxSize];
    for (const SalvagedEntry* entry = entries; entry != nullptr; entry = entry->next) {
        int extraLength = buildCentralZip64Extra(*entry, zip64Extra);
        size_t allExtras = static_cast<size_t>(extraLength) + entry->metadata.centralExtra.size();
        buildCentralHeader(*entry, static_cast<uint16_t>(allExtras), image);
        const EntryMetadata& metadata = entry->metadata;
        if (!write(image, kCentralHeaderSize) ||
            !write(entry->name.data(), headerField16(entry->header, kLocalNameLength)) ||
            !write(zip64Extra, static_cast<uint32_t>(extraLength)) ||
            !write(metadata.centralExtra.data(),
                   static_cast<uint32_t>(metadata.centralExtra.size())) ||
            !write(metadata.comment.data(), static_cast<uint32_t>(metadata.comment.size()))) {
            return false;
        }
        ++directory.entryCount;
    }
    int64_t end = filePosition(handle_);
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
