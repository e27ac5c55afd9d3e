#include "python/tessellar/store.h"

#include "core/collection/entity_store.h"
#include "python/tessellar/metadata.h"

#include <new>
#include <string>
#include <vector>

namespace tessellar::py {

namespace {

struct StoreObject {
    PyObject_HEAD
    std::vector<Entity> entities;
};

// Borrowed: the module's state owns the type.
PyTypeObject* store_type = nullptr;

StoreObject* store_of(void* handle) noexcept { return static_cast<StoreObject*>(handle); }

void* make_store() noexcept {
    PyObject* object = store_type->tp_alloc(store_type, 0);
    if (!object) {
        PyErr_Clear();  // the core reports running out of memory itself
        return nullptr;
    }
    new (&store_of(object)->entities) std::vector<Entity>();
    return object;
}

void retain(void* handle) noexcept { Py_INCREF(static_cast<PyObject*>(handle)); }
void release(void* handle) noexcept { Py_DECREF(static_cast<PyObject*>(handle)); }
bool shared(void* handle) noexcept { return Py_REFCNT(static_cast<PyObject*>(handle)) > 1; }
std::vector<Entity>& entities(void* handle) noexcept { return store_of(handle)->entities; }

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (const Entity& entity : store_of(self)->entities) {
        if (int result = visit_metadata(entity, visit, arg)) return result;
    }
    return 0;
}

int clear(PyObject* self) {
    for (Entity& entity : store_of(self)->entities) entity.clear_metadata();
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    store_of(self)->entities.~vector();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

PyObject* create_store_type(PyObject* module) {
    static std::string name;
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return nullptr;
    name = std::string(module_name) + ".EntityStore";
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&clear)},
        {0, nullptr},
    };
    PyType_Spec store_type_shape = {name.c_str(), static_cast<int>(sizeof(StoreObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        slots};
    return PyType_FromModuleAndSpec(module, &store_type_shape, nullptr);
}

void install_python_stores(PyTypeObject* type) noexcept {
    store_type = type;
    install_store_ops({make_store, retain, release, shared, entities});
}

}  // namespace tessellar::py
