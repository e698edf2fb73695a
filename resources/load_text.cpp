// loadText over the compiled-in copy of the string table.
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

constexpr int kLoadBufferBytes = 200;
constexpr int kLoadLimit = 100;  // characters kept, terminator included

char loadBuffers[2][kLoadBufferBytes];
int nextBuffer = 0;

}  // namespace

const char* textOf(int id) {
    for (const TableEntry& entry : kTable) {
        if (entry.id == id) return entry.text;
    }
    return nullptr;
}

const char* loadText(int id) {
    char* buffer = loadBuffers[nextBuffer];
    nextBuffer ^= 1;
    const char* text = textOf(id);
    std::snprintf(buffer, kLoadLimit, "%s", text != nullptr ? text : "");
    return buffer;
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
