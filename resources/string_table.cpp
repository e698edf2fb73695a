// The compiled-in copy of the string table and printf-style formatting of its texts.
#include <cstdarg>
#include <cstdio>

#include "resources/strings.h"

namespace zipsalvage {
namespace {

struct TableEntry {
    int id;
    const char* text;
};

constexpr TableEntry kTable[] = {
#define STRING_ENTRY(id, name, text) {id, text},
#include "resources/strings.def"
#undef STRING_ENTRY
};

}  // namespace

const char* textOf(int id) {
    for (const TableEntry& entry : kTable) {
        if (entry.id == id) return entry.text;
    }
    return nullptr;
}

void formatText(char* out, int capacity, const char* pattern, ...) {
    if (capacity <= 0) return;
    va_list arguments;
    va_start(arguments, pattern);
    // The patterns come from our own string table, never from input.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(out, static_cast<size_t>(capacity), pattern, arguments);
#pragma GCC diagnostic pop
    va_end(arguments);
}

}  // namespace zipsalvage
