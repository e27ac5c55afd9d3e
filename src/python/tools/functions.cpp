#include "python/tools/evaluation.h"
#include "python/tools/functions.h"

namespace tessellar::py {

// One table: the module's function definitions are added in one call.
const std::vector<Member>& tool_functions() {
    static const std::vector<Member> functions = [] {
        std::vector<Member> all;
        for (auto part : {evaluation_functions, file_functions, input_functions, output_functions}) {
            for (Member& member : part()) all.push_back(std::move(member));
        }
        return all;
    }();
    return functions;
}

}  // namespace tessellar::py
