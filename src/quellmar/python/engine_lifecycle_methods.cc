#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods that open an engine with a write buffer, make it durable, resynchronise or
// compact it, and report its size and state.

#include <string>

#include "quellmar/python/engine_type.h"

namespace quellmar::python {

namespace {

struct OpenWithWriteBufferArgs {
  std::string path;
  uint64_t max_batch_size = 0;
  uint64_t max_idle_ms = 0;
};
constexpr auto OPEN_WITH_WRITE_BUFFER =
    signature("Engine", "open_with_write_buffer", required("path", &OpenWithWriteBufferArgs::path),
              required("max_batch_size", &OpenWithWriteBufferArgs::max_batch_size),
              with_default("max_idle_ms", &OpenWithWriteBufferArgs::max_idle_ms));

PyObject* open_with_write_buffer(OpenWithWriteBufferArgs& args) {
  Result<std::unique_ptr<Engine>> engine =
      Engine::open_with_write_buffer(args.path, args.max_batch_size, args.max_idle_ms);
  if (!engine) {
    raise_engine_error(engine.error());
    return nullptr;
  }
  return wrap_engine(std::move(engine).value());
}

PyObject* flush(PyEngine& self) {
  if (!with_engine<Gil::Hold>(self, [](Engine& e) { return e.flush(); })) return nullptr;
  return none();
}

PyObject* flush_buffer(PyEngine& self) {
  if (!with_engine<Gil::Hold>(self, [](Engine& e) { return e.flush_buffer(); })) return nullptr;
  return none();
}

PyObject* refresh(PyEngine& self) {
  if (!with_engine<Gil::Hold>(self, [](Engine& e) { return e.refresh(); })) return nullptr;
  return none();
}

PyObject* compact(PyEngine& self) {
  std::optional<CompactionReport> report =
      with_engine<Gil::Release>(self, [](Engine& e) { return e.compact(); });
  if (!report) return nullptr;
  static DictKeys keys({"segments_compacted", "cells_moved", "bytes_reclaimed"});
  return keys.make({to_py(report->segments_compacted), to_py(report->cells_moved),
                    to_py(report->bytes_reclaimed)});
}

PyObject* status(PyEngine& self) {
  std::optional<EngineStatus> s =
      with_engine<Gil::Hold>(self, [](Engine& e) { return e.status(); });
  if (!s) return nullptr;
  static DictKeys keys({"cell_count", "pack_count", "segment_count", "slb_occupancy",
                        "slb_capacity", "vamana_active", "pipeline_stages", "governance_entries",
                        "trace_edges", "arena_bytes", "arena_bytes_per_cell"});
  return keys.make({to_py(s->cell_count), to_py(s->pack_count), to_py(s->segment_count),
                    to_py(s->slb_occupancy), to_py(s->slb_capacity), to_py(s->vamana_active),
                    to_py(s->pipeline_stages), to_py(s->governance_entries), to_py(s->trace_edges),
                    to_py(s->arena_bytes), to_py(s->arena_bytes_per_cell)});
}

PyObject* cell_count(PyEngine& self) {
  std::optional<uint64_t> n =
      with_engine<Gil::Hold>(self, [](Engine& e) -> uint64_t { return e.cell_count(); });
  return n ? to_py(*n) : nullptr;
}

PyObject* pack_count(PyEngine& self) {
  std::optional<uint64_t> n =
      with_engine<Gil::Hold>(self, [](Engine& e) -> uint64_t { return e.pack_count(); });
  return n ? to_py(*n) : nullptr;
}

PyObject* has_vamana(PyEngine& self) {
  std::optional<bool> v = with_engine<Gil::Hold>(self, [](Engine& e) { return e.has_vamana(); });
  return v ? to_py(*v) : nullptr;
}

PyObject* pipeline_stage_count(PyEngine& self) {
  std::optional<uint64_t> n =
      with_engine<Gil::Hold>(self, [](Engine& e) -> uint64_t { return e.pipeline_stage_count(); });
  return n ? to_py(*n) : nullptr;
}

}  // namespace

std::span<const PyMethodDef> engine_lifecycle_methods() {
  static const PyMethodDef METHODS[] = {
      static_method<OPEN_WITH_WRITE_BUFFER, open_with_write_buffer>(
          "Open an engine whose single-pack writes are queued and stored in batches.\n\n"
          "A queued pack is neither stored nor searchable until the queue is written: when it\n"
          "holds ``max_batch_size`` packs, and on ``flush``, ``flush_buffer``,\n"
          "``mem_write_batch_packs`` or ``snapshot``. Each batch gets one fsync.\n"
          "``max_idle_ms`` is kept and has no effect."),
      method_noargs<flush>("flush", "Write queued packs and sync the trace log to stable storage."),
      method_noargs<flush_buffer>(
          "flush_buffer", "Write the packs queued in the write buffer (nothing without a buffer)."),
      method_noargs<refresh>("refresh",
                             "Rebuild the in-memory state from the files of the directory."),
      method_noargs<compact>("compact",
                             "Compact mostly dead segments.\n\n"
                             "Returns a dict with ``segments_compacted``, ``cells_moved`` and\n"
                             "``bytes_reclaimed``."),
      method_noargs<status>("status",
                            "Engine statistics as a dict: cell, pack and segment counts, SLB\n"
                            "occupancy, retrieval stages, governance entries, trace edges and\n"
                            "arena bytes."),
      method_noargs<cell_count>("cell_count", "Number of distinct stored cells."),
      method_noargs<pack_count>("pack_count", "Number of stored packs."),
      method_noargs<has_vamana>("has_vamana", "Whether a Vamana index is active."),
      method_noargs<pipeline_stage_count>("pipeline_stage_count",
                                          "Number of retrieval pipeline stages."),
  };
  return METHODS;
}

}  // namespace quellmar::python
