// loadText: the two buffers handed out in turn, one pair per thread, so that the worker and
// the interface thread never write into a text the other is reading.
#include "resources/copy_text.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr int kLoadBufferBytes = 200;
constexpr int kLoadLimit = 100;  // characters kept, terminator included

thread_local char loadBuffers[2][kLoadBufferBytes];
thread_local int nextBuffer = 0;

}  // namespace

const char* loadText(int id) {
    char* buffer = loadBuffers[nextBuffer];
    nextBuffer ^= 1;
    copyText(id, buffer, kLoadLimit);
    return buffer;
}

}  // namespace zipsalvage
