// copyText over the compiled-in copy of the string table (the console program).
#include "resources/copy_text.h"

#include <cstdio>

#include "resources/strings.h"

namespace zipsalvage {

void copyText(int id, char* buffer, int limit) {
    const char* text = textOf(id);
    std::snprintf(buffer, static_cast<size_t>(limit), "%s", text != nullptr ? text : "");
}

}  // namespace zipsalvage
