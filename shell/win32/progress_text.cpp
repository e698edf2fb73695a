// Byte counts and rates as the progress page shows them.
#include "shell/win32/progress_text.h"

#include <cstdio>

#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr uint64_t kMsBeforeRate = 500;
constexpr uint64_t kKiB = 1024;

}  // namespace

std::string byteCountText(uint64_t bytes) {
    char text[32];
    if (bytes < kKiB) {
        std::snprintf(text, sizeof text, "%u B", static_cast<unsigned>(bytes));
    } else if (bytes < kKiB * kKiB) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / kKiB);
    } else if (bytes < kKiB * kKiB * kKiB) {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (kKiB * kKiB));
    } else {
        std::snprintf(text, sizeof text, "%.2f GiB",
                      static_cast<double>(bytes) / (kKiB * kKiB * kKiB));
    }
    return text;
}

std::string progressText(uint64_t doneBytes, uint64_t totalBytes, uint64_t elapsedMs) {
    std::string done = byteCountText(doneBytes);
    std::string total = byteCountText(totalBytes);
    char line[128];
    if (elapsedMs < kMsBeforeRate || doneBytes == 0) {
        formatText(line, sizeof line, loadText(kTextProgressOf), done.c_str(), total.c_str());
        return line;
    }
    auto perSecond = static_cast<uint64_t>(static_cast<double>(doneBytes) * 1000.0 /
                                           static_cast<double>(elapsedMs));
    std::string rate = byteCountText(perSecond);
    formatText(line, sizeof line, loadText(kTextProgressRate), done.c_str(), total.c_str(),
               rate.c_str());
    return line;
}

}  // namespace zipsalvage
