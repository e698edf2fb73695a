// loadText: the two buffers handed out in turn.
#include "resources/copy_text.h"
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
    copyText(id, buffer, kLoadLimit);
    return buffer;
}

}  // namespace zipsalvage
