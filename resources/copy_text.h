// Where loadText's texts come from: the compiled-in table (console) or the program's
// STRINGTABLE resource (Win32). Each build links one of the two definitions.
#pragma once

namespace zipsalvage {

// Copies text `id` into `buffer` (at most `limit` - 1 characters and a terminator); an unknown
// id gives the empty text.
void copyText(int id, char* buffer, int limit);

}  // namespace zipsalvage
