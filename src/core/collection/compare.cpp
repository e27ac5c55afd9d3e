#include "core/collection/compare.h"

#include "core/entity/similarity.h"

namespace tessellar {

Result<Comparison> compare(const Collection& a, const Collection& b) {
    if (a.size() != b.size()) {
        return fail(ErrorKind::InvalidValue, "Collections must have the same number of entities to compare");
    }
    Comparison result{a.process_name(), b.process_name(), std::vector<double>(a.size())};
    for (size_t i = 0; i < a.size(); ++i) result.jaccard[i] = jaccard_similarity(a.entities()[i], b.entities()[i]);
    return result;
}

}  // namespace tessellar
