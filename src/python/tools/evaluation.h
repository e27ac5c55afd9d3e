// The functions of tessellar_tools._native.
#pragma once

#include "python/boundary/declare.h"

#include <vector>

namespace tessellar::py {

const std::vector<Member>& tool_functions();

}  // namespace tessellar::py
