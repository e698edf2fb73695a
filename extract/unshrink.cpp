// Method 1 (shrink): not decoded yet; the entry is kept empty and reported by its size.
#include "extract/methods.h"

namespace zipsalvage {

int unshrink(ExtractContext&) { return 1; }

}  // namespace zipsalvage
