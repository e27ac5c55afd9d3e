#include "core/collection/compare.h"

#include "core/entity/similarity.h"

namespace tessellar {

Result<std::vector<double>> compare(const Collection& a, const Collection& b) {
    if (a.size() != b.size()) {
        return fail(ErrorKind::ValueError, "Collections must have the same number of entities to compare");
    }
    std::vector<double> scores(a.size());
    for (size_t i = 0; i < scores.size(); ++i) scores[i] = jaccard_similarity(a.entities()[i], b.entities()[i]);
    return scores;
}

}  // namespace tessellar
