// deflateFile: not written yet; callers store instead.
#include "recompress/deflate.h"

namespace zipsalvage {

int deflateFile(RecompressStream&) { return 0; }

}  // namespace zipsalvage
