// loadText over the program's STRINGTABLE resource (LoadStringA), built from strings.def.
#include <windows.h>

#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr int kLoadBufferBytes = 200;
constexpr int kLoadLimit = 100;  // characters kept, terminator included

char loadBuffers[2][kLoadBufferBytes];
int nextBuffer = 0;

}  // namespace

const char* loadText(int id) {
    char* buffer = loadBuffers[nextBuffer];
    nextBuffer ^= 1;
    // The resources live in the executable, whatever module calls.
    if (::LoadStringA(::GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, kLoadLimit) <=
        0) {
        buffer[0] = '\0';
    }
    return buffer;
}

}  // namespace zipsalvage
