// Entities from the output of resolution tools: matched pairs (connected
// components), and membership vectors (a label per record), built natively
// and added to a frame as a method, all or nothing.
#include "python/tools/functions.h"

#include "core/convert/record_groups.h"
#include "python/boundary/functions.h"
#include "python/tessellar/classes.h"
#include "python/tools/text_columns.h"

#include <array>
#include <string>
#include <utility>

namespace tessellar::py {
namespace {

std::unexpected<Failure> value_error(std::string message) {
    return std::unexpected(Failure{PyExc_ValueError, std::move(message)});
}

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// Records of one or more columns, numbered as first seen, and labels.
class RecordReader {
public:
    // The numbers of a column of record IDs, in row order. `datasets` is a
    // str naming every row's dataset, or a column naming each row's. With
    // `unique`, a record met before in any column is an error.
    PyResult<std::vector<uint32_t>> read(PyObject* ids, PyObject* datasets, const std::string& what, bool unique) {
        std::vector<uint32_t> dataset_of_row;
        uint32_t every_row = 0;
        const bool one = PyUnicode_Check(datasets);
        if (one) {
            auto name = text_from(datasets);
            if (!name) return std::unexpected(std::move(name.error()));
            auto number = dataset_names_.number(0, *name);
            if (!number) return std::unexpected(Failure(std::move(number.error())));
            every_row = *number;
        } else {
            PyStatus status = texts_.read(datasets, what + " datasets", [&](size_t, std::string_view name) -> PyStatus {
                auto number = dataset_names_.number(0, name);
                if (!number) return std::unexpected(Failure(std::move(number.error())));
                dataset_of_row.push_back(*number);
                return {};
            });
            if (!status) return std::unexpected(std::move(status.error()));
        }
        std::vector<uint32_t> numbers;
        const size_t rows = TextColumns::rows_hint(ids);
        numbers.reserve(rows);
        records.reserve(records.size() + rows);  // no growing on the way
        // Each row is hashed some rows before it is numbered, while its slot
        // and then its record are on the way in.
        std::array<Pending, kAhead> pending;
        size_t queued = 0;
        auto resolve = [&](const Pending& row) -> PyStatus {
            const size_t known = records.size();
            auto number = records.number(row.record);
            if (!number) return std::unexpected(Failure(std::move(number.error())));
            if (unique && *number < known) {
                return value_error(what + "[" + std::to_string(row.row) + "]: record " + quoted(row.record.record.text) +
                                   " of dataset " + quoted(dataset_names_[row.record.record.dataset].text) +
                                   " is there twice");
            }
            numbers.push_back(*number);
            return {};
        };
        bool resolve_failed = false;
        PyStatus status = texts_.read(ids, what, [&](size_t row, std::string_view text) -> PyStatus {
            if (!one && row >= dataset_of_row.size()) return value_error(too_short(what, dataset_of_row.size()));
            if (queued >= kAhead) {
                PyStatus resolved = resolve(pending[queued % kAhead]);
                resolve_failed = !resolved;
                if (!resolved) return resolved;
            }
            if (queued >= kAhead / 2) records.prefetch(pending[(queued - kAhead / 2) % kAhead].record);
            pending[queued++ % kAhead] = {records.hashed(one ? every_row : dataset_of_row[row], text), row};
            return {};
        });
        if (resolve_failed) return std::unexpected(std::move(status.error()));
        // The rows still waiting come before any row that failed to read.
        for (size_t next = queued > kAhead ? queued - kAhead : 0; next < queued; ++next) {
            if (PyStatus resolved = resolve(pending[next % kAhead]); !resolved) {
                return std::unexpected(std::move(resolved.error()));
            }
        }
        if (!status) return std::unexpected(std::move(status.error()));
        if (!one && numbers.size() != dataset_of_row.size()) {
            return value_error(what + " has " + std::to_string(numbers.size()) + " rows, its datasets " +
                               std::to_string(dataset_of_row.size()));
        }
        return numbers;
    }

    // The numbers of a column of labels, in row order.
    PyResult<std::vector<uint32_t>> read_labels(PyObject* column, const std::string& what) {
        std::vector<uint32_t> numbers;
        PyStatus status = texts_.read(column, what, [&](size_t, std::string_view text) -> PyStatus {
            auto number = labels.number(0, text);
            if (!number) return std::unexpected(Failure(std::move(number.error())));
            numbers.push_back(*number);
            return {};
        });
        if (!status) return std::unexpected(std::move(status.error()));
        return numbers;
    }

    // The whole batch: one entity per group, records by dataset.
    Status add_to(Frame& frame, std::string_view method, std::span<const uint32_t> group_of, size_t group_count) {
        std::vector<std::string_view> names;
        for (uint32_t i = 0; i < dataset_names_.size(); ++i) names.push_back(dataset_names_[i].text);
        IngestBatch batch;
        fill_batch(records, group_of, group_count, names, batch);
        return frame.add_method(method, batch);
    }

    RecordTable records;
    RecordTable labels;

private:
    struct Pending {
        RecordTable::Hashed record;
        size_t row;
    };
    static constexpr size_t kAhead = 16;

    static std::string too_short(const std::string& what, size_t rows) {
        return what + " has more rows than its datasets (" + std::to_string(rows) + ")";
    }

    TextColumns texts_;
    RecordTable dataset_names_;
};

PyStatus added(Status status) {
    if (!status) return std::unexpected(Failure(std::move(status.error())));
    return {};
}

// `universe` is a list of (dataset, column) pairs: records to keep even
// when no pair names them.
PyStatus from_pairs(Frame& frame, std::string_view method, PyObject* left, PyObject* left_datasets, PyObject* right,
                    PyObject* right_datasets, PyObject* universe) {
    if (!PyList_CheckExact(universe)) return std::unexpected(conversion_error(universe, "list"));
    RecordReader reader;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(universe); ++i) {
        PyObject* entry = PyList_GET_ITEM(universe, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(entry, 0))) {
            return type_error("universe items must be (dataset name, column) pairs");
        }
        auto name = text_from(PyTuple_GET_ITEM(entry, 0));
        if (!name) return std::unexpected(std::move(name.error()));
        auto read = reader.read(PyTuple_GET_ITEM(entry, 1), PyTuple_GET_ITEM(entry, 0), "universe " + quoted(*name), false);
        if (!read) return std::unexpected(std::move(read.error()));
    }
    auto lefts = reader.read(left, left_datasets, "left", false);
    if (!lefts) return std::unexpected(std::move(lefts.error()));
    auto rights = reader.read(right, right_datasets, "right", false);
    if (!rights) return std::unexpected(std::move(rights.error()));
    if (lefts->size() != rights->size()) {
        return value_error("left has " + std::to_string(lefts->size()) + " rows, right " +
                           std::to_string(rights->size()));
    }
    Components components;
    components.grow(reader.records.size());
    for (size_t row = 0; row < lefts->size(); ++row) components.link((*lefts)[row], (*rights)[row]);
    size_t count = 0;
    const std::vector<uint32_t> labels = components.labels(count);
    return added(reader.add_to(frame, method, labels, count));
}

PyStatus from_membership(Frame& frame, std::string_view method, PyObject* records, PyObject* datasets,
                         PyObject* labels) {
    RecordReader reader;
    auto numbers = reader.read(records, datasets, "records", true);
    if (!numbers) return std::unexpected(std::move(numbers.error()));
    // Each row brought a new record, so record numbers are row numbers.
    auto groups = reader.read_labels(labels, "labels");
    if (!groups) return std::unexpected(std::move(groups.error()));
    if (groups->size() != numbers->size()) {
        return value_error("records has " + std::to_string(numbers->size()) + " rows, labels " +
                           std::to_string(groups->size()));
    }
    return added(reader.add_to(frame, method, *groups, reader.labels.size()));
}

}  // namespace

std::vector<Member> input_functions() {
    return {
        function<&from_pairs>("from_pairs", "Adds the connected components of matched pairs as a method", "frame",
                              "method", "left", "left_datasets", "right", "right_datasets", "universe"),
        function<&from_membership>("from_membership", "Adds the groups of a membership vector as a method", "frame",
                                   "method", "records", "datasets", "labels"),
    };
}

}  // namespace tessellar::py
