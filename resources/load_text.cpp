// loadText over the compiled-in copy of the string table (the console program).
#include <cstdio>

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
    const char* text = textOf(id);
    std::snprintf(buffer, kLoadLimit, "%s", text != nullptr ? text : "");
    return buffer;
}

}  // namespace zipsalvage
