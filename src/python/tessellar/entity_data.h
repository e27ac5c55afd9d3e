// Reading add_method's `entity_data` from Python.
#pragma once

#include "core/collection/ingest.h"
#include "core/interner/interner.h"
#include "core/entity/metadata.h"
#include "python/boundary/failure.h"
#include "python/boundary/pyref.h"

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

namespace tessellar::py {

// The converted input of one add_method call. The batch's string views point
// into Python str objects. When reading may have run Python code (a sequence
// type written in Python), `pinned` keeps them alive, so that this code
// cannot free them.
class EntityData {
public:
    EntityData() = default;
    EntityData(const EntityData&) = delete;
    EntityData& operator=(const EntityData&) = delete;
    ~EntityData();

    IngestBatch batch;

    void pin(PyObject* text) {
        pinned_.push_back(text);
        Py_INCREF(text);
    }
    // Forgets everything read, for reading again.
    void clear() {
        batch = IngestBatch();
        for (PyObject* text : pinned_) Py_DECREF(text);
        pinned_.clear();
    }

private:
    std::vector<PyObject*> pinned_;
};

// Converts every element, each of which must be an entity dict. Metadata
// keys are interned into `interner` as they are met.
PyStatus read_entity_data(std::span<const PyRef> elements, StringInterner& interner, EntityData& out);

}  // namespace tessellar::py
