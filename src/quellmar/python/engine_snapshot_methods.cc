#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods that archive an open engine into a snapshot and open a new engine from one.

#include <memory>
#include <optional>
#include <string>

#include "quellmar/python/checkpoint_type.h"
#include "quellmar/python/engine_type.h"

namespace quellmar::python {

namespace {

struct SnapshotArgs {
  std::string out_path;
};
constexpr auto SNAPSHOT =
    signature("Engine", "snapshot", required("out_path", &SnapshotArgs::out_path));

PyObject* snapshot(PyEngine& self, SnapshotArgs& a) {
  std::optional<SnapshotManifest> manifest =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return e.snapshot(a.out_path); });
  return manifest ? manifest_to_py(*manifest) : nullptr;
}

struct RestoreFromArgs {
  std::string in_path;
  std::string target_dir;
};
constexpr auto RESTORE_FROM =
    signature("Engine", "restore_from", required("in_path", &RestoreFromArgs::in_path),
              required("target_dir", &RestoreFromArgs::target_dir));

PyObject* restore_from(RestoreFromArgs& a) {
  Result<std::unique_ptr<Engine>> engine = Engine::restore_from(a.in_path, a.target_dir);
  if (!engine) {
    raise_engine_error(engine.error());
    return nullptr;
  }
  return wrap_engine(std::move(engine).value());
}

}  // namespace

std::span<const PyMethodDef> engine_snapshot_methods() {
  static const PyMethodDef METHODS[] = {
      method<SNAPSHOT, snapshot>(
          "Write a snapshot archive of the whole engine directory to ``out_path``.\n\n"
          "Queued packs are written and the trace log is synced first. The archive\n"
          "is a tar file holding ``manifest.json`` and the directory under\n"
          "``engine_state``; returns the manifest as a dict."),
      static_method<RESTORE_FROM, restore_from>(
          "Restore a snapshot archive into ``target_dir`` and open an engine there.\n\n"
          "The archive's manifest and content digest are checked before any file is\n"
          "written."),
  };
  return METHODS;
}

}  // namespace quellmar::python
