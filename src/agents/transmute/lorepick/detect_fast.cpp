// The native fast path of detect_construct_categories. It will be taken only while the module's
// `re`, `re.sub` and `_CATEGORY_PATTERNS` (and its fourteen patterns) are the import-time
// objects; until the matching engine serves it, every call goes down the host path.
// Tested in tests/test_lorepick_detect.py.
#include "detect_paths.hpp"

namespace lorepick {

FastResult detect_fast(PyObject*, State*, PyObject*, PyObject*) { return FastResult::not_taken; }

}  // namespace lorepick
