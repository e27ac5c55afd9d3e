#include "python/boundary/functions.h"

#include "python/boundary/type_factory.h"

#include <string>

namespace tessellar::py {

bool add_functions(PyObject* module, const std::vector<Member>& functions, BoundaryState& state) {
    // The interpreter keeps pointers into these for the module's life.
    static std::vector<std::string> docs;
    static std::vector<PyMethodDef> methods;
    docs.clear();
    docs.reserve(functions.size());
    methods.clear();
    for (const Member& function : functions) {
        if (!bind_declaration(*function.binding, std::string(function.name) + "()", function.params, state)) {
            return false;
        }
        const std::string& doc = docs.emplace_back(function.name + text_signature(function.params, false) +
                                                   "\n--\n\n" + function.description);
        methods.push_back({function.name, function.function, METH_FASTCALL | METH_KEYWORDS, doc.c_str()});
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return PyModule_AddFunctions(module, methods.data()) == 0;
}

}  // namespace tessellar::py
