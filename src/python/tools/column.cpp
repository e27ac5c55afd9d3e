#include "python/tools/column.h"

#include "python/tools/module_state.h"

#include <new>
#include <utility>

namespace tessellar::py {

namespace {

struct ColumnObject {
    PyObject_HEAD
    Column column;
};

Column& column_in(PyObject* self) { return reinterpret_cast<ColumnObject*>(self)->column; }

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    column_in(self).~Column();
    type->tp_free(self);
    Py_DECREF(type);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    Column& column = column_in(self);
    view->obj = Py_NewRef(self);
    view->buf = column.data;
    view->len = column.length * column.item_size;
    view->readonly = 0;
    view->itemsize = column.item_size;
    view->format = flags & PyBUF_FORMAT ? const_cast<char*>(column.format) : nullptr;
    view->ndim = 1;
    view->shape = flags & PyBUF_ND ? &column.length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &column.item_size : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_doc, const_cast<char*>("A column of results; wrap it with numpy.frombuffer.")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
    {0, nullptr},
};

PyType_Spec column_type_shape = {
    "tessellar_tools._native.Column",
    static_cast<int>(sizeof(ColumnObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyResult<PyRef> dict_of(std::vector<std::pair<const char*, PyRef>> entries) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return pending();
    for (auto& [key, value] : entries) {
        if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return pending();
    }
    return dict;
}

PyObject* create_column_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &column_type_shape, nullptr); }

PyRef to_python(Column column) {
    auto* type = reinterpret_cast<PyTypeObject*>(tools_state().column_type);
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return {};
    new (&column_in(object)) Column(std::move(column));
    return PyRef::steal(object);
}

}  // namespace tessellar::py
