// A frame's contents as columns: collections as rows of (entity, dataset,
// record), comparison scores and digests. Numbers go out as buffers NumPy
// wraps without copying; texts as lists of str.
#include "python/tools/functions.h"

#include "core/collection/batch_hash.h"
#include "core/convert/rows.h"
#include "core/evaluate/digest_diff.h"
#include "python/boundary/functions.h"
#include "python/boundary/result.h"
#include "python/tessellar/classes.h"
#include "python/tools/column.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <utility>

namespace tessellar::py {
namespace {

PyResult<PyRef> texts_of(std::span<const uint32_t> ids, const StringInterner& interner) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return pending();
    for (size_t row = 0; row < ids.size(); ++row) {
        PyRef text = to_python(interner.string_at(ids[row]));
        if (!text) return pending();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), text.release());
    }
    return list;
}

// {"entity", "dataset" (codes into "dataset_names"), "dataset_names",
// "record"}; `order` is "entity" (the collection's) or "record" (by dataset
// name, then record ID).
PyResult<PyRef> rows(const Frame& frame, std::string_view collection, std::string_view order) {
    if (order != "entity" && order != "record") {
        return std::unexpected(Failure{PyExc_ValueError, "order must be 'entity' or 'record'"});
    }
    auto found = frame.collection(collection);
    if (!found) return std::unexpected(Failure(std::move(found.error())));
    auto rows = rows_of(**found, frame.interner());
    if (!rows) return std::unexpected(Failure(std::move(rows.error())));
    if (order == "record") order_by_record(*rows, frame.interner());

    boost::unordered_flat_map<uint32_t, long> codes;
    std::vector<uint32_t> names;
    std::vector<long> dataset(rows->dataset.size());
    for (size_t row = 0; row < dataset.size(); ++row) {
        const auto [code, added] = codes.try_emplace(rows->dataset[row], static_cast<long>(names.size()));
        if (added) names.push_back(rows->dataset[row]);
        dataset[row] = code->second;
    }
    auto name_list = texts_of(names, frame.interner());
    if (!name_list) return name_list;
    auto records = texts_of(rows->record, frame.interner());
    if (!records) return records;
    return dict_of({
        {"entity", to_python(column_of(std::move(rows->entity)))},
        {"dataset", to_python(column_of(std::move(dataset)))},
        {"dataset_names", std::move(*name_list)},
        {"record", std::move(*records)},
    });
}

PyResult<PyRef> comparison(const Frame& frame, std::string_view first, std::string_view second) {
    auto compared = frame.compare(first, second);
    if (!compared) return std::unexpected(Failure(std::move(compared.error())));
    return dict_of({
        {"jaccard", to_python(column_of(std::move(compared->jaccard)))},
        {"process1", to_python(compared->process1)},
        {"process2", to_python(compared->process2)},
    });
}

// {"digests": every digest back to back, "size": bytes per digest}.
PyResult<PyRef> digests(const Frame& frame, std::string_view collection, std::string_view algorithm) {
    auto size = digest_size_of(algorithm);
    if (!size) return std::unexpected(Failure(std::move(size.error())));
    auto found = frame.collection(collection);
    if (!found) return std::unexpected(Failure(std::move(found.error())));
    auto list = hash_all_entities(**found, frame.interner(), algorithm);
    if (!list) return std::unexpected(Failure(std::move(list.error())));
    std::vector<uint8_t> bytes;
    bytes.reserve(list->size() * *size);
    for (size_t index = 0; index < list->size(); ++index) {
        const auto digest = (*list)[index];
        bytes.insert(bytes.end(), digest.begin(), digest.end());
    }
    return dict_of({{"digests", to_python(column_of(std::move(bytes)))}, {"size", to_python(uint64_t{*size})}});
}

}  // namespace

std::vector<Member> output_functions() {
    return {
        function<&rows>("rows", "A collection's (entity, dataset, record) rows as columns", "frame", "collection", "order"),
        function<&comparison>("comparison", "Positional Jaccard scores of two collections as a column", "frame", "first", "second"),
        function<&digests>("digests", "Every entity's digest, back to back", "frame", "collection", "algorithm"),
    };
}

}  // namespace tessellar::py
