// Method 8 (deflate): not decoded yet.
#include "huffman/huffman_decoders.h"

namespace zipsalvage {

int inflate(ExtractContext&) { return 0; }

}  // namespace zipsalvage
