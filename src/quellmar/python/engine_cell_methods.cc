#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods of the cell-level API: single and batched cell writes, cell reads by key or by
// token matrix (returning ReadResult objects), and the governance lookups of one cell.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "quellmar/python/engine_type.h"
#include "quellmar/python/read_result.h"

namespace quellmar::python {

namespace {

struct MemWriteArgs {
  uint64_t owner = 0;
  uint16_t layer = 0;
  F32Vector key;
  F32Vector value;
  float salience = 0.0f;
  std::optional<uint64_t> parent_cell_id;
};
constexpr auto MEM_WRITE = signature(
    "Engine", "mem_write", required("owner", &MemWriteArgs::owner),
    required("layer", &MemWriteArgs::layer), required("key", &MemWriteArgs::key),
    required("value", &MemWriteArgs::value), required("salience", &MemWriteArgs::salience),
    required("parent_cell_id", &MemWriteArgs::parent_cell_id));

PyObject* mem_write(PyEngine& self, MemWriteArgs& a) {
  std::vector<float> key, value;
  if (!a.key.copy(key) || !a.value.copy(value)) return nullptr;
  std::optional<CellId> id = with_engine<Gil::Release>(self, [&](Engine& e) {
    return e.mem_write(a.owner, a.layer, key, value, a.salience, a.parent_cell_id);
  });
  return id ? to_py(*id) : nullptr;
}

// The requests are taken as plain objects and each one is read here, item by item, so that its
// errors carry no argument name: an item that is no tuple fails the downcast, and one of another
// length than six fails with the tuple-length error (a short or long request is refused rather
// than read past its end or cut).
struct MemWriteBatchArgs {
  std::vector<PyRef> requests;
};
constexpr auto MEM_WRITE_BATCH =
    signature("Engine", "mem_write_batch", required("requests", &MemWriteBatchArgs::requests));

template <class T>
bool read_item(PyObject* tuple, Py_ssize_t index, T& out) {
  return ArgKind<T>::convert(PyTuple_GET_ITEM(tuple, index), out);
}

struct PendingCell {
  CellWrite write;
  F32Vector key;
  F32Vector value;
};

bool read_request(PyObject* request, PendingCell& out) {
  if (!check_tuple(request, 6)) return false;
  std::optional<uint64_t> parent;
  if (!read_item(request, 0, out.write.owner) || !read_item(request, 1, out.write.layer) ||
      !read_item(request, 2, out.key) || !read_item(request, 3, out.value) ||
      !read_item(request, 4, out.write.salience) || !read_item(request, 5, parent)) {
    return false;
  }
  out.write.parent = parent;
  return true;
}

PyObject* mem_write_batch(PyEngine& self, MemWriteBatchArgs& a) {
  // Every request is checked before any array is copied, and all of them are copied before the
  // engine is asked, so a bad request anywhere writes nothing.
  std::vector<PendingCell> pending(a.requests.size());
  for (size_t i = 0; i < pending.size(); ++i) {
    if (!read_request(a.requests[i].get(), pending[i])) return nullptr;
  }
  std::vector<CellWrite> writes;
  writes.reserve(pending.size());
  for (PendingCell& p : pending) {
    if (!p.key.copy(p.write.key) || !p.value.copy(p.write.value)) return nullptr;
    writes.push_back(std::move(p.write));
  }
  std::optional<std::vector<CellId>> ids = with_engine<Gil::Release>(
      self, [&](Engine& e) { return e.mem_write_batch(std::move(writes)); });
  return ids ? to_py(*ids) : nullptr;
}

// The hits of a cell read with each cell's importance, looked up under the same engine lock.
struct CellHits {
  std::vector<CellReadResult> hits;
  std::vector<float> importance;  // 0.0 for a cell without governance entry
};

Result<CellHits> with_importance(const Engine& e, Result<std::vector<CellReadResult>> read) {
  QM_ASSIGN_OR_RETURN(std::vector<CellReadResult> hits, std::move(read));
  CellHits out;
  out.importance.reserve(hits.size());
  for (const CellReadResult& hit : hits) {
    auto it = e.governance().find(hit.record.cell_id);
    out.importance.push_back(it != e.governance().end() ? it->second.importance : 0.0f);
  }
  out.hits = std::move(hits);
  return out;
}

PyObject* read_results(CellHits& found) {
  return list_of(found.hits.size(), [&](size_t i) {
    return make_read_result(std::move(found.hits[i]), found.importance[i]);
  });
}

struct MemReadArgs {
  F32Vector query_key;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
};
constexpr auto MEM_READ =
    signature("Engine", "mem_read", required("query_key", &MemReadArgs::query_key),
              required("k", &MemReadArgs::k), required("owner", &MemReadArgs::owner));

PyObject* mem_read(PyEngine& self, MemReadArgs& a) {
  std::vector<float> query;
  if (!a.query_key.copy(query)) return nullptr;
  std::optional<CellHits> found = with_engine<Gil::Release>(
      self, [&](Engine& e) { return with_importance(e, e.mem_read(query, a.k, a.owner)); });
  return found ? read_results(*found) : nullptr;
}

struct MemReadTokensArgs {
  F32Matrix query_tokens;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
};
constexpr auto MEM_READ_TOKENS = signature(
    "Engine", "mem_read_tokens", required("query_tokens", &MemReadTokensArgs::query_tokens),
    required("k", &MemReadTokensArgs::k), required("owner", &MemReadTokensArgs::owner));

PyObject* mem_read_tokens(PyEngine& self, MemReadTokensArgs& a) {
  const F32Matrix& m = a.query_tokens;
  std::optional<CellHits> found = with_engine<Gil::Release>(self, [&](Engine& e) {
    return with_importance(e, e.mem_read_tokens(m.data, m.rows, m.cols, a.k, a.owner));
  });
  return found ? read_results(*found) : nullptr;
}

struct CellIdArgs {
  uint64_t cell_id = 0;
};
constexpr auto CELL_TIER =
    signature("Engine", "cell_tier", required("cell_id", &CellIdArgs::cell_id));
constexpr auto CELL_IMPORTANCE =
    signature("Engine", "cell_importance", required("cell_id", &CellIdArgs::cell_id));

std::optional<GovernanceEntry> governance_entry(const Engine& e, CellId cell) {
  auto it = e.governance().find(cell);
  if (it == e.governance().end()) return std::nullopt;
  return it->second;
}

PyObject* cell_tier(PyEngine& self, CellIdArgs& a) {
  auto entry =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return governance_entry(e, a.cell_id); });
  if (!entry) return nullptr;
  return *entry ? to_py((*entry)->tier) : none();
}

PyObject* cell_importance(PyEngine& self, CellIdArgs& a) {
  auto entry =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return governance_entry(e, a.cell_id); });
  if (!entry) return nullptr;
  return *entry ? to_py((*entry)->importance) : none();
}

}  // namespace

std::span<const PyMethodDef> engine_cell_methods() {
  static const PyMethodDef METHODS[] = {
      method<MEM_WRITE, mem_write>(
          "Write key/value vectors to the engine (cell-level API).\n\n"
          "**Deprecated:** Use `mem_write_pack` for new code. The Pack API is\n"
          "the canonical interface for storing multi-layer KV caches."),
      method<MEM_WRITE_BATCH, mem_write_batch>(
          "Write multiple cells in a single batch with one fsync (Batch Command).\n\n"
          "Each item is a tuple of (owner, layer, key, value, salience, parent).\n"
          "Returns a list of assigned cell IDs."),
      method<MEM_READ, mem_read>(
          "Read the top-k most relevant cells for a query key (cell-level API).\n\n"
          "**Deprecated:** Use `mem_read_pack` for new code. The Pack API returns\n"
          "complete multi-layer KV caches ready for injection."),
      method<MEM_READ_TOKENS, mem_read_tokens>(
          "Read top-k cells using a raw per-token query matrix (Direct Token Query API).\n\n"
          "Accepts a 2-D NumPy array of shape ``(n_tokens, dim)`` directly, so the caller\n"
          "does not have to encode the per-token key; the engine builds the encoded key\n"
          "in one allocation and delegates to ``mem_read``."),
      method<CELL_TIER, cell_tier>(
          "Get the current tier of a cell (0=Draft, 1=Validated, 2=Core)."),
      method<CELL_IMPORTANCE, cell_importance>("Get the current importance score of a cell."),
  };
  return METHODS;
}

}  // namespace quellmar::python
