// copyText over the program's STRINGTABLE resource (LoadStringA), built from strings.def.
#include <windows.h>

#include "resources/copy_text.h"

namespace zipsalvage {

void copyText(int id, char* buffer, int limit) {
    // The resources live in the executable, whatever module calls.
    if (::LoadStringA(::GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, limit) <= 0) {
        buffer[0] = '\0';
    }
}

}  // namespace zipsalvage
