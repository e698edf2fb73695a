// Every user-visible text of the program, by string-table id.
#pragma once

namespace zipsalvage {

enum TextId : int {
#define STRING_ENTRY(id, name, text) name = id,
#include "resources/strings.def"
#undef STRING_ENTRY
};

// The text of `id` from the string table, or nullptr for an id the table lacks.
const char* textOf(int id);

// Loads text `id` into one of two 200-byte buffers used in turn (at most 99 characters are
// kept), so a message and its caption can be held at once; the third call on the same thread
// reuses the first buffer (each thread has its own two). An unknown id gives the empty text.
const char* loadText(int id);

// printf-style formatting of a string-table text into `out` (at most `capacity` - 1 bytes).
// %s takes a const char*, %d an int, %llu an unsigned long long (every size, offset and count);
// nothing else is used by the table.
void formatText(char* out, int capacity, const char* pattern, ...);

}  // namespace zipsalvage
