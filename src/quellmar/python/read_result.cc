#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/read_result.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <string>

namespace quellmar::python {

namespace {

PyTypeObject* g_read_result_type = nullptr;  // made once per process

void read_result_dealloc(PyObject* obj) {
  PyReadResult* self = reinterpret_cast<PyReadResult*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  self->fields.~ReadResultFields();
  self->borrow.~BorrowFlag();
  type->tp_free(obj);
  Py_DECREF(type);
}

// A getter or no-argument method body over the fields, run under a shared borrow.
template <class Read>
PyObject* read_fields(PyObject* obj, Read read) {
  return guarded([&]() -> PyObject* {
    PyReadResult* self = reinterpret_cast<PyReadResult*>(obj);
    Borrow borrow = Borrow::take(self->borrow, BorrowMode::Shared);
    if (!borrow) return nullptr;
    return read(self->fields);
  });
}

template <auto Field>
PyObject* get_field(PyObject* obj, void* /*closure*/) {
  return read_fields(obj, [](const ReadResultFields& f) { return to_py(f.*Field); });
}

PyObject* key(PyReadResult& self) { return to_py(self.fields.key); }
PyObject* value(PyReadResult& self) { return to_py(self.fields.value); }

// "ReadResult(cell_id={}, owner={}, score={:.4}, tier={})": the score's exact value rounded to four
// decimals, NaN as "NaN", infinities as "inf" and "-inf".
PyObject* read_result_repr(PyObject* obj) {
  return read_fields(obj, [](const ReadResultFields& f) -> PyObject* {
    char score[64];
    if (std::isnan(f.score)) {
      std::snprintf(score, sizeof score, "NaN");
    } else if (std::isinf(f.score)) {
      std::snprintf(score, sizeof score, "%s", f.score > 0 ? "inf" : "-inf");
    } else {
      std::snprintf(score, sizeof score, "%.4f", static_cast<double>(f.score));
    }
    return PyUnicode_FromFormat("ReadResult(cell_id=%llu, owner=%llu, score=%s, tier=%u)",
                                static_cast<unsigned long long>(f.cell_id),
                                static_cast<unsigned long long>(f.owner), score,
                                static_cast<unsigned>(f.tier));
  });
}

PyGetSetDef GETTERS[] = {
    {"cell_id", get_field<&ReadResultFields::cell_id>, nullptr, nullptr, nullptr},
    {"owner", get_field<&ReadResultFields::owner>, nullptr, nullptr, nullptr},
    {"layer", get_field<&ReadResultFields::layer>, nullptr, nullptr, nullptr},
    {"score", get_field<&ReadResultFields::score>, nullptr, nullptr, nullptr},
    {"tier", get_field<&ReadResultFields::tier>, nullptr, nullptr, nullptr},
    {"importance", get_field<&ReadResultFields::importance>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef* read_result_methods() {
  static PyMethodDef methods[] = {
      method_noargs<key>("key", "Get the key vector as a list of floats."),
      method_noargs<value>("value", "Get the value vector as a list of floats."),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace

PyTypeObject* read_result_type() { return g_read_result_type; }

PyTypeObject* setup_read_result_type(PyObject* module) {
  if (g_read_result_type != nullptr) return g_read_result_type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A single retrieval result returned from `mem_read`.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(&read_result_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(&read_result_repr)},
      {Py_tp_getset, GETTERS},
      {Py_tp_methods, read_result_methods()},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      "quellmar._native.ReadResult", sizeof(PyReadResult), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
  if (type == nullptr) {
    raise_panic("An error occurred while initializing class ReadResult");
    return nullptr;
  }
  g_read_result_type = reinterpret_cast<PyTypeObject*>(type);
  return g_read_result_type;
}

PyObject* make_read_result(CellReadResult&& hit, float importance) {
  PyTypeObject* type = read_result_type();
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  PyReadResult* self = reinterpret_cast<PyReadResult*>(obj);
  new (&self->borrow) BorrowFlag();
  new (&self->fields) ReadResultFields{hit.record.cell_id,
                                       hit.record.owner,
                                       hit.score,
                                       importance,
                                       hit.record.layer,
                                       hit.tier,
                                       std::move(hit.record.key),
                                       std::move(hit.record.value)};
  return obj;
}

}  // namespace quellmar::python
