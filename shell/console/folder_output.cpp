// The folder writer: each entry's decoded bytes go to a partial file beside its final name,
// renamed into place when the entry ends; Unix modes, modification times and symbolic links,
// which the archive's directory may only witness after the scan, are settled at the end.
#include "shell/console/folder_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "engine/entry/entry_copy.h"
#include "engine/scan/extra_fields.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr uint16_t kHostUnix = 3;  // APPNOTE 4.4.2.2: version made by, upper byte
constexpr uint8_t kTimestampHasModTime = 0x01;

// A file or folder written, for what is settled at the end.
struct WrittenPath {
    const SalvagedEntry* entry;
    std::string path;
    bool isFolder;
};

std::vector<std::string> componentsOf(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// The modification time an entry records: the extended timestamp's (UTC seconds) when its
// local header kept one, the MS-DOS date and time (local time, APPNOTE 4.4.6) otherwise.
time_t modificationTime(const SalvagedEntry& entry) {
    const std::vector<uint8_t>& extra = entry.metadata.localExtra;
    size_t at = 0;
    while (at + kExtraFieldHeaderSize <= extra.size()) {
        uint16_t id = loadLE16(extra.data() + at);
        size_t size = loadLE16(extra.data() + at + kExtraFieldDataSize);
        const uint8_t* data = extra.data() + at + kExtraFieldHeaderSize;
        if (at + kExtraFieldHeaderSize + size > extra.size()) break;
        if (id == kExtraExtendedTimestamp && size >= 5 && (data[0] & kTimestampHasModTime) != 0) {
            return static_cast<time_t>(static_cast<int32_t>(loadLE32(data + 1)));
        }
        at += kExtraFieldHeaderSize + size;
    }
    uint16_t time = headerField16(entry.header, kLocalModTime);
    uint16_t date = headerField16(entry.header, kLocalModDate);
    struct tm local {};
    local.tm_year = ((date >> 9) & 0x7F) + 80;
    local.tm_mon = ((date >> 5) & 0x0F) - 1;
    local.tm_mday = date & 0x1F;
    local.tm_hour = (time >> 11) & 0x1F;
    local.tm_min = (time >> 5) & 0x3F;
    local.tm_sec = (time & 0x1F) * 2;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

// The Unix mode the archive's directory recorded, 0 when it recorded none.
uint32_t unixMode(const SalvagedEntry& entry) {
    const EntryMetadata& metadata = entry.metadata;
    if (!metadata.witnessed || (metadata.versionMadeBy >> 8) != kHostUnix) return 0;
    return metadata.externalAttributes >> 16;
}

void setTime(const std::string& path, time_t when, bool isLink) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, isLink ? AT_SYMLINK_NOFOLLOW : 0);
}

class FolderOutput final : public OutputWriter {
  public:
    FolderOutput(EntryContext& run, std::string folder) : run_(run), folder_(std::move(folder)) {}
    ~FolderOutput() override { discard(); }
    FolderOutput(const FolderOutput&) = delete;
    FolderOutput& operator=(const FolderOutput&) = delete;

    bool takesDecodedBytes() const override { return true; }
    int64_t position() override { return 0; }
    OutputStep beginEntry(SalvagedEntry& entry) override;

    bool write(const void* bytes, uint32_t count) override {
        if (count == 0 || handle_ == kInvalidFile) return true;
        return writeFile(handle_, bytes, count) == count;
    }
    StreamOutput dataOutput() override { return StreamOutput{this, writeToFile}; }
    bool restartData() override {
        return handle_ == kInvalidFile || (seekFile(handle_, 0) && truncateFileHere(handle_));
    }
    bool finishEntry(SalvagedEntry& entry) override;
    bool dropEntry(int64_t) override {
        discard();
        return true;
    }
    bool finish(const SalvagedEntry* entries, const std::string& archiveComment) override;
    bool commit() override { return true; }
    void discard() override { discardPartialFile(handle_, partialPath_); }

  private:
    static uint32_t writeToFile(void* owner, const uint8_t* bytes, uint32_t count) {
        return static_cast<FolderOutput*>(owner)->write(bytes, count) ? count : 0;
    }
    void logAbout(int textId, const std::string& first, const std::string& second = "");
    bool makeFolders(const std::string& relative, size_t count);
    OutputStep leaveOut(int textId, const std::string& shown, const std::string& reason = "") {
        logAbout(textId, shown, reason);
        return OutputStep::kLeftOut;
    }
    void settleLink(const WrittenPath& written, const std::string& relative);

    EntryContext& run_;
    std::string folder_;  // ends with "/"
    FileHandle handle_ = kInvalidFile;
    std::string partialPath_;
    std::string finalPath_;
    std::string relativePath_;
    bool entryIsFolder_ = false;
    std::vector<WrittenPath> written_;
    std::vector<std::string> writtenRelative_;
};

void FolderOutput::logAbout(int textId, const std::string& first, const std::string& second) {
    std::string line(first.size() + second.size() + 512, '\0');
    formatText(line.data(), static_cast<int>(line.size()), textOf(textId), first.c_str(),
               second.c_str());
    logText(run_, line.c_str());
}

// Makes the first `count` components of `relative` as folders. A component that exists must
// be a folder itself, not a link to one: a link the archive or anyone planted would lead the
// files behind it out of the folder.
bool FolderOutput::makeFolders(const std::string& relative, size_t count) {
    std::vector<std::string> parts = componentsOf(relative);
    std::string path = folder_;
    for (size_t index = 0; index < count && index < parts.size(); ++index) {
        path += parts[index];
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (::mkdir(path.c_str(), 0777) != 0) return false;
        } else if (!S_ISDIR(info.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        path += '/';
    }
    return true;
}

OutputStep FolderOutput::beginEntry(SalvagedEntry& entry) {
    std::string shown = shownName(run_, entry);
    if (keepsMethodAsIs(entry)) {
        return leaveOut(kTextNotDecodedForFolder, shown);
    }
    // An entry no password opened comes as it lies: only an archive can keep it encrypted.
    if ((headerField16(entry.header, kLocalFlags) & kFlagEncrypted) != 0) {
        return leaveOut(kTextEncryptedForFolder, shown);
    }
    entryIsFolder_ = !shown.empty() && (shown.back() == '/' || shown.back() == '\\');
    relativePath_ = pathInsideFolder(shown);
    if (relativePath_.empty()) return leaveOut(kTextNoNameLeft, shown);
    std::string asShown = shown;
    if (entryIsFolder_) asShown.pop_back();
    for (char& letter : asShown) {
        if (letter == '\\') letter = '/';
    }
    if (relativePath_ != asShown) logAbout(kTextNameMadeSafe, shown, relativePath_);
    finalPath_ = folder_ + relativePath_;
    size_t depth = componentsOf(relativePath_).size();
    if (!makeFolders(relativePath_, entryIsFolder_ ? depth : depth - 1)) {
        return leaveOut(kTextUnableToWriteFile, finalPath_, lastSystemError());
    }
    if (entryIsFolder_) return OutputStep::kDone;
    struct stat info {};
    if (::lstat(finalPath_.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return leaveOut(kTextUnableToWriteFile, finalPath_, textOf(kTextNotRegularFile));
        }
        // The archive is only ever read, even where one of its entries bears its name.
        if (isPartOfArchive(run_.reader, finalPath_.c_str())) {
            return leaveOut(kTextUnableToWriteFile, finalPath_, textOf(kTextIsTheArchive));
        }
        std::string question(finalPath_.size() + 256, '\0');
        formatText(question.data(), static_cast<int>(question.size()), textOf(kTextAlreadyExists),
                   finalPath_.c_str());
        bool yes = run_.ui.showMessage != nullptr &&
                   run_.ui.showMessage(run_.ui.context, question.c_str(), textOf(kTextFileExists),
                                       MessageKind::kQuestion);
        if (!yes) return leaveOut(kTextNotReplaced, finalPath_);
    }
    handle_ = createPartialFile(finalPath_.c_str(), partialPath_);
    if (handle_ == kInvalidFile) {
        partialPath_.clear();
        return leaveOut(kTextUnableToWriteFile, finalPath_, lastSystemError());
    }
    return OutputStep::kDone;
}

bool FolderOutput::finishEntry(SalvagedEntry& entry) {
    if (!entryIsFolder_) {
        if (!commitPartialFile(handle_, partialPath_.c_str(), finalPath_.c_str())) {
            discard();
            return false;
        }
        partialPath_.clear();
    }
    written_.push_back(WrittenPath{&entry, finalPath_, entryIsFolder_});
    writtenRelative_.push_back(relativePath_);
    return true;
}

// A link's target is the file's content. It becomes a link only where the target stays
// inside the folder; otherwise the file holding the target is what the folder keeps.
void FolderOutput::settleLink(const WrittenPath& written, const std::string& relative) {
    std::string target;
    FileHandle file = openExistingForRead(written.path.c_str());
    char buffer[4096];
    uint32_t got = 0;
    while (file != kInvalidFile && (got = readFile(file, buffer, sizeof buffer)) > 0) {
        target.append(buffer, got);
    }
    closeFile(file);
    if (target.empty() || !linkStaysInside(relative, target)) {
        logAbout(kTextLinkLeavesFolder, written.path, target);
        return;
    }
    std::string partial = written.path + ".link-partial";
    ::unlink(partial.c_str());
    if (::symlink(target.c_str(), partial.c_str()) != 0 ||
        ::rename(partial.c_str(), written.path.c_str()) != 0) {
        ::unlink(partial.c_str());
    }
}

bool FolderOutput::finish(const SalvagedEntry*, const std::string&) {
    // Folders last and deepest first, so that nothing written into one changes its time.
    for (size_t index = 0; index < written_.size(); ++index) {
        const WrittenPath& written = written_[index];
        if (written.isFolder) continue;
        uint32_t mode = unixMode(*written.entry);
        bool isLink = S_ISLNK(mode);
        if (isLink) {
            settleLink(written, writtenRelative_[index]);
            struct stat info {};
            isLink = ::lstat(written.path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        }
        // Set-user and set-group bits are not restored: the files are the runner's now.
        // A link kept as a file keeps the mode it was made with, not the link's 0777.
        if (!S_ISLNK(mode) && mode != 0) ::chmod(written.path.c_str(), mode & 01777);
        setTime(written.path, modificationTime(*written.entry), isLink);
    }
    for (size_t index = written_.size(); index-- > 0;) {
        const WrittenPath& written = written_[index];
        if (!written.isFolder) continue;
        uint32_t mode = unixMode(*written.entry);
        if (mode != 0) ::chmod(written.path.c_str(), (mode & 01777) | 0700);
        setTime(written.path, modificationTime(*written.entry), false);
    }
    return true;
}

}  // namespace

std::string pathInsideFolder(const std::string& name) {
    std::string path = name;
    for (char& letter : path) {
        if (letter == '\\') letter = '/';
    }
    // A drive letter ("C:"), as a Windows writer may leave before an absolute name.
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        path.erase(0, 2);
    }
    std::string inside;
    for (const std::string& part : componentsOf(path)) {
        if (part.empty() || part == "." || part == "..") continue;
        if (!inside.empty()) inside += '/';
        inside += part;
    }
    return inside;
}

bool linkStaysInside(const std::string& linkPath, const std::string& target) {
    if (target[0] == '/') return false;
    // The link's own folder lies this many levels below the folder.
    long depth = static_cast<long>(componentsOf(linkPath).size()) - 1;
    for (const std::string& part : componentsOf(target)) {
        if (part == "..") {
            if (--depth < 0) return false;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
    }
    return true;
}

bool createFolderOutput(EntryContext& run, const std::string& folder) {
    std::string path;
    for (const std::string& part : componentsOf(folder)) {
        path += part;
        // The folder the user names may lie behind links: mkdir follows them as given.
        if (!path.empty() && ::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) break;
        path += '/';
    }
    struct stat info {};
    std::string reason;
    if (::stat(folder.c_str(), &info) != 0) {
        reason = lastSystemError();
    } else if (!S_ISDIR(info.st_mode)) {
        reason = textOf(kTextNotAFolder);
    }
    if (reason.empty()) {
        std::string inside = folder.back() == '/' ? folder : folder + "/";
        run.output.reset(new (std::nothrow) FolderOutput(run, inside));
        if (run.output != nullptr) return true;
        reason = lastSystemError();
    }
    std::string text(folder.size() + reason.size() + 256, '\0');
    formatText(text.data(), static_cast<int>(text.size()), textOf(kTextUnableToCreateBecause),
               folder.c_str(), reason.c_str());
    if (run.ui.showMessage != nullptr) {
        run.ui.showMessage(run.ui.context, text.c_str(), textOf(kTextFileError),
                           MessageKind::kError);
    }
    return false;
}

}  // namespace zipsalvage
