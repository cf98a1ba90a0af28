#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/checkpoint_type.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "quellmar/python/engine_type.h"

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

// Text read back from disk: bytes that are not UTF-8 show as U+FFFD.
PyObject* lossy_text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* checkpoint_to_py(const CheckpointInfo& info) {
  static DictKeys keys({"label", "seq", "path", "manifest"});
  return keys.make({lossy_text(info.label), to_py(info.seq), lossy_text(info.path),
                    manifest_to_py(info.manifest)});
}

PyObject* checkpoints_to_py(const std::vector<CheckpointInfo>& infos) {
  return list_of(infos.size(), [&](size_t i) { return checkpoint_to_py(infos[i]); });
}

struct SaveArgs {
  EngineArg engine;
  std::string label;
};
constexpr auto SAVE =
    signature("CheckpointRepository", "save", required("engine", &SaveArgs::engine),
              required("label", &SaveArgs::label));

// The snapshot runs under the saved engine's lock, taken holding the interpreter lock.
PyObject* save(PyCheckpointRepository& self, SaveArgs& a) {
  std::optional<CheckpointInfo> info = with_engine<Gil::Hold>(*a.engine.engine, [&](Engine& e) {
    return self.repo.save(a.label, [&e](const std::string& path) { return e.snapshot(path); });
  });
  return info ? checkpoint_to_py(*info) : nullptr;
}

struct ListArgs {
  std::optional<std::string> label;
};
constexpr auto LIST =
    signature("CheckpointRepository", "list", with_default("label", &ListArgs::label));

PyObject* list(PyCheckpointRepository& self, ListArgs& a) {
  Result<std::vector<CheckpointInfo>> infos = self.repo.list(a.label);
  if (!infos) {
    raise_engine_error(infos.error());
    return nullptr;
  }
  return checkpoints_to_py(*infos);
}

struct LatestArgs {
  std::string label;
};
constexpr auto LATEST =
    signature("CheckpointRepository", "latest", required("label", &LatestArgs::label));

PyObject* latest(PyCheckpointRepository& self, LatestArgs& a) {
  Result<std::optional<CheckpointInfo>> info = self.repo.latest(a.label);
  if (!info) {
    raise_engine_error(info.error());
    return nullptr;
  }
  return *info ? checkpoint_to_py(**info) : none();
}

struct RestoreLatestArgs {
  std::string label;
  std::string target_dir;
};
constexpr auto RESTORE_LATEST = signature("CheckpointRepository", "restore_latest",
                                          required("label", &RestoreLatestArgs::label),
                                          required("target_dir", &RestoreLatestArgs::target_dir));

// Restores the label's newest archive into target_dir and opens a new Engine there, with the
// default Vamana threshold and segment size.
PyObject* restore_latest(PyCheckpointRepository& self, RestoreLatestArgs& a) {
  Result<CheckpointInfo> restored = self.repo.restore_latest(a.label, a.target_dir);
  if (!restored) {
    raise_engine_error(restored.error());
    return nullptr;
  }
  Result<std::unique_ptr<Engine>> engine = Engine::open(a.target_dir);
  if (!engine) {
    raise_engine_error(engine.error());
    return nullptr;
  }
  return wrap_engine(std::move(engine).value());
}

PyMethodDef* checkpoint_repository_methods() {
  static PyMethodDef METHODS[] = {
      method<SAVE, save>("Save ``engine``'s current state under ``label``. Returns a\n"
                         "dict with ``label``, ``seq``, ``path``, and ``manifest``."),
      method<LIST, list>("Return all checkpoints, optionally filtered by ``label``."),
      method<LATEST, latest>("Latest checkpoint for ``label`` or ``None`` if none exist."),
      method<RESTORE_LATEST, restore_latest>(
          "Restore the latest checkpoint for ``label`` into ``target_dir``."),
      {nullptr, nullptr, 0, nullptr},
  };
  return METHODS;
}

constexpr const char* CHECKPOINT_REPOSITORY_DOC =
    "Labeled checkpoint repository.\n"
    "\n"
    "Wraps the engine's checkpoint repository so that consumers can save engine\n"
    "snapshots under string labels with a monotonically increasing sequence per\n"
    "label, list them or find the latest, and restore the latest into a fresh\n"
    "directory.";

}  // namespace

PyObject* manifest_to_py(const SnapshotManifest& manifest) {
  static DictKeys keys({"magic", "format_version", "created_at", "pack_count", "owner_count",
                        "sha256", "quantization_codec", "key_codec"});
  return keys.make({lossy_text(manifest.magic), to_py(manifest.format_version),
                    lossy_text(manifest.created_at), to_py(manifest.stats.pack_count),
                    to_py(manifest.stats.owner_count), lossy_text(manifest.sha256),
                    lossy_text(manifest.codecs.quantization), lossy_text(manifest.codecs.key)});
}

PyTypeObject* checkpoint_repository_type() { return g_checkpoint_repository_type; }

PyTypeObject* setup_checkpoint_repository_type(PyObject* module) {
  if (g_checkpoint_repository_type != nullptr) return g_checkpoint_repository_type;
  PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>(class_doc<CHECKPOINT_REPOSITORY_NEW>(CHECKPOINT_REPOSITORY_DOC))},
      {Py_tp_new,
       reinterpret_cast<void*>(&new_entry<CHECKPOINT_REPOSITORY_NEW, checkpoint_repository_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&checkpoint_repository_dealloc)},
      {Py_tp_methods, checkpoint_repository_methods()},
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
