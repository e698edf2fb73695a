// Output names and refusals for several archives in one call.
#include "shell/console/archive_batch.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "resources/strings.h"
#include "shell/console/stop_signals.h"

namespace zipsalvage {
namespace {

void showFileError(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", textOf(kTextFileError), text.c_str());
}

std::string formatted(int textId, const std::string& first, const std::string& second = "") {
    std::string line(first.size() + second.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), textOf(textId), first.c_str(),
               second.c_str());
    return line.c_str();
}

}  // namespace

std::string batchOutputPath(const std::string& archivePath, const std::string& folder) {
    size_t slash = archivePath.rfind('/');
    std::string name = slash == std::string::npos ? archivePath : archivePath.substr(slash + 1);
    std::string beside = slash == std::string::npos ? "" : archivePath.substr(0, slash + 1);
    // The extension is what follows the name's last dot, unless that dot begins the name
    // (".zip" alone is a name without one).
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) dot = name.size();
    std::string output = name.substr(0, dot) + ".salvaged" + name.substr(dot);
    if (folder.empty()) return beside + output;
    return folder.back() == '/' ? folder + output : folder + "/" + output;
}

bool prepareOutputFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0777) == 0) return true;
    int reason = errno;
    struct stat info {};
    if (reason == EEXIST && ::stat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        showFileError(formatted(kTextUnableToUseFolder, folder, textOf(kTextNotAFolder)));
        return false;
    }
    showFileError(
        formatted(kTextUnableToUseFolder, folder, std::generic_category().message(reason)));
    return false;
}

bool namesSameFile(const std::string& first, const std::string& second) {
    struct stat one {};
    struct stat other {};
    return ::stat(first.c_str(), &one) == 0 && ::stat(second.c_str(), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

bool outputRefused(const std::string& output, const std::vector<std::string>& archives,
                   const std::vector<std::string>& writtenOutputs,
                   const std::vector<std::string>& writtenFor) {
    // Salvaging a.zip and a.salvaged.zip together (a second `zipsalvage *.zip`): the first
    // output would replace the second archive, which is only ever read.
    for (const std::string& archive : archives) {
        if (namesSameFile(output, archive)) {
            showFileError(formatted(kTextOutputIsAnArchive, output));
            return true;
        }
    }
    // The same name from two folders into one -o folder, or one archive given twice.
    for (size_t index = 0; index < writtenOutputs.size(); ++index) {
        if (namesSameFile(output, writtenOutputs[index])) {
            showFileError(formatted(kTextOutputShared, output, writtenFor[index]));
            return true;
        }
    }
    return false;
}

void countArchive(BatchTally& tally, int exitStatus) {
    ++tally.archives;
    if (exitStatus == kExitWhole) ++tally.whole;
    if (exitStatus == kExitDamaged) ++tally.damaged;
    if (exitStatus == kExitNoRun) ++tally.notRun;
    if (exitStatus == kExitWriteFailed) ++tally.writeFailed;
}

std::string batchClosingLine(const BatchTally& tally, bool listing) {
    char line[256];
    if (listing) {
        formatText(line, sizeof line, textOf(kTextArchivesListed),
                   static_cast<unsigned long long>(tally.archives),
                   static_cast<unsigned long long>(tally.whole),
                   static_cast<unsigned long long>(tally.damaged),
                   static_cast<unsigned long long>(tally.notRun));
    } else {
        formatText(line, sizeof line, textOf(kTextArchivesSalvaged),
                   static_cast<unsigned long long>(tally.archives),
                   static_cast<unsigned long long>(tally.whole),
                   static_cast<unsigned long long>(tally.damaged),
                   static_cast<unsigned long long>(tally.notRun),
                   static_cast<unsigned long long>(tally.writeFailed));
    }
    return line;
}

}  // namespace zipsalvage
