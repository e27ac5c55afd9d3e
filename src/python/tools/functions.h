// The functions of tessellar_tools._native, by theme.
#pragma once

#include "python/boundary/declare.h"

#include <vector>

namespace tessellar::py {

std::vector<Member> evaluation_functions();  // evaluation.cpp
std::vector<Member> file_functions();        // files.cpp
std::vector<Member> input_functions();       // inputs.cpp
std::vector<Member> output_functions();      // outputs.cpp

}  // namespace tessellar::py
