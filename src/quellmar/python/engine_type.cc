#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/engine_type.h"

#include <new>
#include <string>
#include <vector>

#include "quellmar/core/str_cat.h"

namespace quellmar::python {

namespace {

PyTypeObject* g_engine_type = nullptr;  // made once per process

// Every group of Engine methods; a new group adds its table here.
std::span<const PyMethodDef> (*const METHOD_GROUPS[])() = {
    engine_lifecycle_methods,
    engine_cell_methods,
    engine_trace_methods,
    engine_settings_methods,
    engine_pack_methods,
    engine_pack_directory_methods,
    engine_maintenance_methods,
    engine_synaptic_methods,
    engine_snapshot_methods,
};

PyMethodDef* engine_methods() {
  static std::vector<PyMethodDef>* methods = [] {
    auto* all = new std::vector<PyMethodDef>();
    for (auto group : METHOD_GROUPS) {
      std::span<const PyMethodDef> defs = group();
      all->insert(all->end(), defs.begin(), defs.end());
    }
    all->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return methods->data();
}

// Destruction: the engine reference first (the engine closes here when no maintenance thread
// holds it), then the maintenance handle, which stops the thread and waits for it to end; the
// thread never takes the interpreter lock, so waiting with it held cannot deadlock.
void engine_dealloc(PyObject* obj) {
  PyEngine* self = reinterpret_cast<PyEngine*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  self->state.inner.reset();
  if (self->state.maintenance) {
    try {
      self->state.maintenance->stop();
    } catch (...) {
      // Only a failed join lands here; nobody can be given it, so it goes to the unraisable
      // hook, leaving alone any exception already pending.
      PyObject *pending_type, *pending_value, *pending_traceback;
      PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
      raise_current_exception();
      PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
      PyErr_Restore(pending_type, pending_value, pending_traceback);
    }
  }
  self->state.~EngineState();
  self->borrow.~BorrowFlag();
  type->tp_free(obj);
  Py_DECREF(type);
}

struct NewArgs {
  std::string path;
  std::optional<uint64_t> segment_size;
  std::optional<uint64_t> vamana_threshold;
};
constexpr auto ENGINE_NEW = signature("Engine", "__new__", required("path", &NewArgs::path),
                                      with_default("segment_size", &NewArgs::segment_size),
                                      with_default("vamana_threshold", &NewArgs::vamana_threshold));

PyObject* engine_new(PyTypeObject* /*type*/, NewArgs& args) {
  Result<std::unique_ptr<Engine>> engine = Engine::open(
      args.path, args.vamana_threshold.value_or(DEFAULT_VAMANA_THRESHOLD), args.segment_size);
  if (!engine) {
    raise_engine_error(engine.error());
    return nullptr;
  }
  return wrap_engine(std::move(engine).value());
}

PyObject* engine_repr(PyObject* obj) {
  return guarded([&]() -> PyObject* {
    PyEngine& self = *reinterpret_cast<PyEngine*>(obj);
    Borrow borrow = Borrow::take(self.borrow, BorrowMode::Shared);
    if (!borrow) return nullptr;
    std::optional<std::string> text = with_engine<Gil::Hold>(self, [](Engine& e) {
      return str_cat("Engine(path='", e.path(), "', cells=", e.cell_count(), ")");
    });
    if (!text) return nullptr;
    return to_py(*text);
  });
}

constexpr const char* ENGINE_DOC =
    "`Quellmar` engine \xe2\x80\x94 persistent KV cache memory for LLM agents.\n"
    "\n"
    "Thread-safe: the engine sits behind a shared lock, so the interpreter lock\n"
    "can be released during engine operations and several Python threads can\n"
    "share one instance.";

}  // namespace

PyTypeObject* engine_type() { return g_engine_type; }

PyTypeObject* setup_engine_type(PyObject* module) {
  if (g_engine_type != nullptr) return g_engine_type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(class_doc<ENGINE_NEW>(ENGINE_DOC))},
      {Py_tp_new, reinterpret_cast<void*>(&new_entry<ENGINE_NEW, engine_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&engine_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(&engine_repr)},
      {Py_tp_methods, engine_methods()},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quellmar._native.Engine", sizeof(PyEngine), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
  if (type == nullptr) {
    raise_panic("An error occurred while initializing class Engine");
    return nullptr;
  }
  g_engine_type = reinterpret_cast<PyTypeObject*>(type);
  return g_engine_type;
}

PyObject* wrap_engine(std::unique_ptr<Engine> engine) {
  auto inner = std::make_shared<EngineMutex>(std::move(engine));
  PyTypeObject* type = engine_type();
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;  // `inner` closes the engine
  PyEngine* self = reinterpret_cast<PyEngine*>(obj);
  new (&self->borrow) BorrowFlag();
  new (&self->state) EngineState{std::move(inner), nullptr};
  return obj;
}

bool ArgKind<EngineArg>::convert(PyObject* obj, EngineArg& out) {
  if (!PyObject_TypeCheck(obj, engine_type())) {
    raise_downcast_error(obj, "Engine");
    return false;
  }
  PyEngine* engine = reinterpret_cast<PyEngine*>(obj);
  Borrow borrow = Borrow::take(engine->borrow, BorrowMode::Shared);
  if (!borrow) return false;
  out.obj = PyRef::borrow(obj);
  out.borrow = std::move(borrow);
  out.engine = engine;
  return true;
}

}  // namespace quellmar::python
