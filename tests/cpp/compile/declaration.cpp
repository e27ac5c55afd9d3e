// Compiled, never run: a declaration must name exactly the parameters of its
// function. The build of DECLARATION_MISMATCHED has to fail.
#include "python/boundary/declare.h"

namespace tessellar::py {

uint32_t one_argument(uint32_t id) { return id; }

#ifdef DECLARATION_MISMATCHED
const Member declared = static_method<&one_argument>("f", "One argument declared as three.", "a", "b", "c");
#else
const Member declared = static_method<&one_argument>("f", "One argument declared as one.", "a");
#endif

}  // namespace tessellar::py
