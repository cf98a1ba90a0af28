// The module: its definition, its execution (the attributes in order, with __all__) and the
// module function find_chunk_boundary. This is the one translation unit that imports NumPy's C
// API.
#include "quellmar/python/py.h"

#include <string>

#include "quellmar/core/quote.h"
#include "quellmar/core/salience_mode.h"
#include "quellmar/engine/chunk_boundary.h"
#include "quellmar/python/call_frame.h"
#include "quellmar/python/checkpoint_type.h"
#include "quellmar/python/engine_type.h"
#include "quellmar/python/read_result.h"
#include "quellmar/retrieval/key_view.h"

namespace quellmar::python {

namespace {

struct FindChunkBoundaryArgs {
  std::string text;
  uint64_t max_pos = 0;
  std::string strategy;
};
constexpr auto FIND_CHUNK_BOUNDARY =
    signature(nullptr, "find_chunk_boundary", required("text", &FindChunkBoundaryArgs::text),
              required("max_pos", &FindChunkBoundaryArgs::max_pos),
              required("strategy", &FindChunkBoundaryArgs::strategy));

PyObject* find_chunk_boundary(FindChunkBoundaryArgs& args) {
  std::optional<BoundaryStrategy> strategy = parse_boundary_strategy(args.strategy);
  if (!strategy) {
    std::string text = "unknown boundary strategy " + quote_for_message(args.strategy) +
                       "; expected one of \"whitespace\", \"sentence\", \"paragraph\"";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  return to_py(quellmar::find_chunk_boundary(args.text, args.max_pos, *strategy));
}

PyMethodDef* find_chunk_boundary_def() {
  static PyMethodDef def = function<FIND_CHUNK_BOUNDARY, find_chunk_boundary>(
      "Find a byte position `<= max_pos` to split `text` at, preferring the\n"
      "strategy's natural break.\n\n"
      "`strategy` is \"whitespace\" (the last whitespace), \"sentence\" (the end of the\n"
      "last sentence, else the last whitespace) or \"paragraph\" (the last blank line,\n"
      "else a sentence end); the engine's chunk-boundary rules give the precise\n"
      "semantics. The position never splits a UTF-8 character.");
  return &def;
}

// Appends `name` to __all__ (made when missing), then sets the attribute. Takes over `value`.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned) return -1;
  PyObject* dict = PyModule_GetDict(module);              // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyRef list(PyList_New(0));
    if (!list || PyDict_SetItemString(dict, "__all__", list.get()) < 0) return -1;
    all = list.get();
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
    return -1;
  }
  PyRef name_obj(PyUnicode_FromString(name));
  if (!name_obj || PyList_Append(all, name_obj.get()) < 0) return -1;
  return PyObject_SetAttr(module, name_obj.get(), owned.get());
}

PyObject* new_type_ref(PyTypeObject* type) {
  return type != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(type)) : nullptr;
}

// NumPy's C API table, shared by every translation unit of the module.
int import_numpy() {
  import_array1(-1);
  return 0;
}

int exec_module(PyObject* module) {
  if (import_numpy() < 0) return -1;
  if (panic_exception_type() == nullptr) return -1;
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  if (add_attribute(module, "__version__", PyUnicode_FromString("0.6.0")) < 0 ||
      add_attribute(module, "Engine", new_type_ref(setup_engine_type(module))) < 0 ||
      add_attribute(module, "ReadResult", new_type_ref(setup_read_result_type(module))) < 0 ||
      add_attribute(module, "CheckpointRepository",
                    new_type_ref(setup_checkpoint_repository_type(module))) < 0 ||
      add_attribute(module, "ENCODING_HEADER_SIZE",
                    to_py(static_cast<uint64_t>(ENCODING_HEADER_SIZE))) < 0 ||
      add_attribute(module, "ENCODING_SENTINEL", to_py(-1e9)) < 0 ||
      add_attribute(module, "ENCODING_N_TOKENS_IDX",
                    to_py(static_cast<uint64_t>(ENCODING_N_TOKENS_IDX))) < 0 ||
      add_attribute(module, "ENCODING_DIM_IDX", to_py(static_cast<uint64_t>(ENCODING_DIM_IDX))) <
          0 ||
      add_attribute(module, "SALIENCE_SCALE", to_py(SALIENCE_SCALE)) < 0 ||
      add_attribute(module, "SALIENCE_CAP", to_py(SALIENCE_CAP)) < 0 ||
      add_attribute(module, "find_chunk_boundary",
                    PyCFunction_NewEx(find_chunk_boundary_def(), nullptr, module_name.get())) < 0) {
    return -1;
  }
  return 0;
}

// The first failure ends the execution with its exception, so the import fails.
int native_module_exec(PyObject* module) {
  try {
    return exec_module(module);
  } catch (...) {
    if (interpreter_ended_this_thread()) throw;  // py.h
    raise_current_exception();
    return -1;
  }
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&native_module_exec)},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "`Quellmar` \xe2\x80\x94 LLM-native database kernel for persistent KV cache memory.",
    0,
    nullptr,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quellmar::python

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quellmar::python::MODULE_DEF); }
