// Method 6 (implode): not decoded yet.
#include "huffman/huffman_decoders.h"

namespace zipsalvage {

int explode(ExtractContext&, uint16_t) { return 0; }

}  // namespace zipsalvage
