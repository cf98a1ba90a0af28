#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/checkpoint_type.h"

#include <new>
#include <string>

namespace quellmar::python {

namespace {

PyTypeObject* g_checkpoint_repository_type = nullptr;  // made once per process

void checkpoint_repository_dealloc(PyObject* obj) {
  PyCheckpointRepository* self = reinterpret_cast<PyCheckpointRepository*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  self->repo.~CheckpointRepository();
  self->borrow.~BorrowFlag();
  type->tp_free(obj);
  Py_DECREF(type);
}

struct NewArgs {
  std::string root;
};
constexpr auto CHECKPOINT_REPOSITORY_NEW =
    signature("CheckpointRepository", "__new__", required("root", &NewArgs::root));

// Stores the root as given; nothing is created or tested on disk.
PyObject* checkpoint_repository_new(PyTypeObject* type, NewArgs& args) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  PyCheckpointRepository* self = reinterpret_cast<PyCheckpointRepository*>(obj);
  new (&self->borrow) BorrowFlag();
  new (&self->repo) CheckpointRepository(std::move(args.root));
  return obj;
}

constexpr const char* CHECKPOINT_REPOSITORY_DOC =
    "CheckpointRepository(root)\n"
    "--\n"
    "\n"
    "Labeled checkpoint repository.\n"
    "\n"
    "Wraps the engine's checkpoint repository so that consumers can save engine\n"
    "snapshots under string labels with a monotonically increasing sequence per\n"
    "label, list them or find the latest, and restore the latest into a fresh\n"
    "directory.";

}  // namespace

PyTypeObject* checkpoint_repository_type() { return g_checkpoint_repository_type; }

PyTypeObject* setup_checkpoint_repository_type(PyObject* module) {
  if (g_checkpoint_repository_type != nullptr) return g_checkpoint_repository_type;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(CHECKPOINT_REPOSITORY_DOC)},
      {Py_tp_new,
       reinterpret_cast<void*>(&new_entry<CHECKPOINT_REPOSITORY_NEW, checkpoint_repository_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&checkpoint_repository_dealloc)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quellmar._native.CheckpointRepository", sizeof(PyCheckpointRepository),
                           0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
  if (type == nullptr) {
    raise_panic("An error occurred while initializing class CheckpointRepository");
    return nullptr;
  }
  g_checkpoint_repository_type = reinterpret_cast<PyTypeObject*>(type);
  return g_checkpoint_repository_type;
}

}  // namespace quellmar::python
