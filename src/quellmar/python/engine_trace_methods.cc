#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods over the trace graph (pack edges and links, cell ancestors) and the governance
// controls (simulated time, sweeps, Draft eviction, owners).

#include <cstdint>
#include <optional>
#include <vector>

#include "quellmar/python/engine_type.h"

namespace quellmar::python {

namespace {

// Edge types above Supports are refused before the engine is reached: the engine reads the next
// value as "any type", which is never a stored edge.
bool valid_edge_type(uint8_t edge_type) { return edge_type < EDGE_TYPE_ANY; }

struct AddPackEdgeArgs {
  uint64_t pack_id_1 = 0;
  uint64_t pack_id_2 = 0;
  uint8_t edge_type = 0;
};
constexpr auto ADD_PACK_EDGE =
    signature("Engine", "add_pack_edge", required("pack_id_1", &AddPackEdgeArgs::pack_id_1),
              required("pack_id_2", &AddPackEdgeArgs::pack_id_2),
              required("edge_type", &AddPackEdgeArgs::edge_type));

PyObject* add_pack_edge(PyEngine& self, AddPackEdgeArgs& a) {
  if (!valid_edge_type(a.edge_type)) {
    PyErr_Format(PyExc_RuntimeError,
                 "Invalid edge_type %u. Valid: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports",
                 static_cast<unsigned>(a.edge_type));
    return nullptr;
  }
  const auto type = static_cast<EdgeType>(a.edge_type);
  if (!with_engine<Gil::Hold>(
          self, [&](Engine& e) { return e.add_pack_edge(a.pack_id_1, a.pack_id_2, type); })) {
    return nullptr;
  }
  return none();
}

struct AddPackLinkArgs {
  uint64_t pack_id_1 = 0;
  uint64_t pack_id_2 = 0;
};
constexpr auto ADD_PACK_LINK =
    signature("Engine", "add_pack_link", required("pack_id_1", &AddPackLinkArgs::pack_id_1),
              required("pack_id_2", &AddPackLinkArgs::pack_id_2));

PyObject* add_pack_link(PyEngine& self, AddPackLinkArgs& a) {
  if (!with_engine<Gil::Hold>(self, [&](Engine& e) {
        return e.add_pack_edge(a.pack_id_1, a.pack_id_2, EdgeType::Follows);
      })) {
    return nullptr;
  }
  return none();
}

PyObject* links(PyEngine& self, PackId pack_id, uint8_t filter) {
  std::optional<std::vector<PackId>> linked = with_engine<Gil::Hold>(
      self, [&](Engine& e) { return e.pack_links_by_type(pack_id, filter); });
  return linked ? to_py(*linked) : nullptr;
}

struct PackIdArgs {
  uint64_t pack_id = 0;
};
constexpr auto PACK_LINKS =
    signature("Engine", "pack_links", required("pack_id", &PackIdArgs::pack_id));
constexpr auto PACK_SUPPORTS =
    signature("Engine", "pack_supports", required("pack_id", &PackIdArgs::pack_id));
constexpr auto PACK_CONTRADICTS =
    signature("Engine", "pack_contradicts", required("pack_id", &PackIdArgs::pack_id));

PyObject* pack_links(PyEngine& self, PackIdArgs& a) {
  return links(self, a.pack_id, EDGE_TYPE_ANY);
}
PyObject* pack_supports(PyEngine& self, PackIdArgs& a) {
  return links(self, a.pack_id, static_cast<uint8_t>(EdgeType::Supports));
}
PyObject* pack_contradicts(PyEngine& self, PackIdArgs& a) {
  return links(self, a.pack_id, static_cast<uint8_t>(EdgeType::Contradicts));
}

struct PackLinksByTypeArgs {
  uint64_t pack_id = 0;
  uint8_t edge_type = 0;
};
constexpr auto PACK_LINKS_BY_TYPE =
    signature("Engine", "pack_links_by_type", required("pack_id", &PackLinksByTypeArgs::pack_id),
              required("edge_type", &PackLinksByTypeArgs::edge_type));

PyObject* pack_links_by_type(PyEngine& self, PackLinksByTypeArgs& a) {
  if (!valid_edge_type(a.edge_type)) {
    PyErr_Format(PyExc_RuntimeError, "Invalid edge_type %u", static_cast<unsigned>(a.edge_type));
    return nullptr;
  }
  return links(self, a.pack_id, a.edge_type);
}

struct CellIdArgs {
  uint64_t cell_id = 0;
};
constexpr auto TRACE_ANCESTORS =
    signature("Engine", "trace_ancestors", required("cell_id", &CellIdArgs::cell_id));

PyObject* trace_ancestors(PyEngine& self, CellIdArgs& a) {
  std::optional<std::vector<CellId>> ancestors = with_engine<Gil::Hold>(self, [&](Engine& e) {
    return e.trace_graph().trace_ancestors(a.cell_id, static_cast<uint8_t>(EdgeType::CausedBy));
  });
  return ancestors ? to_py(*ancestors) : nullptr;
}

struct AdvanceDaysArgs {
  float days = 0.0f;
};
constexpr auto ADVANCE_DAYS =
    signature("Engine", "advance_days", required("days", &AdvanceDaysArgs::days));

PyObject* advance_days(PyEngine& self, AdvanceDaysArgs& a) {
  if (!with_engine<Gil::Hold>(self, [&](Engine& e) { e.advance_days(a.days); })) return nullptr;
  return none();
}

struct SweepNowArgs {
  float hours = 0.0f;
  float eviction_threshold = DEFAULT_EVICTION_THRESHOLD;
};
constexpr auto SWEEP_NOW =
    signature("Engine", "sweep_now", with_default("hours", &SweepNowArgs::hours),
              with_default("eviction_threshold", &SweepNowArgs::eviction_threshold));

// The maintenance thread's sweep without the scheduled actions: the clock first (only for a
// positive number of hours), then the eviction over every owner. A decay stays when the eviction
// fails.
PyObject* sweep_now(PyEngine& self, SweepNowArgs& a) {
  const SweepStep step{a.hours > 0.0f ? std::optional<float>(a.hours / 24.0f) : std::nullopt,
                       a.eviction_threshold, /*fire_scheduled=*/false};
  std::optional<uint64_t> evicted =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return e.sweep(step); });
  return evicted ? to_py(*evicted) : nullptr;
}

struct EvictDraftPacksArgs {
  float importance_threshold = 0.0f;
  std::optional<uint64_t> owner;
};
constexpr auto EVICT_DRAFT_PACKS =
    signature("Engine", "evict_draft_packs",
              required("importance_threshold", &EvictDraftPacksArgs::importance_threshold),
              with_default("owner", &EvictDraftPacksArgs::owner));

PyObject* evict_draft_packs(PyEngine& self, EvictDraftPacksArgs& a) {
  std::optional<uint64_t> evicted = with_engine<Gil::Hold>(
      self, [&](Engine& e) { return e.evict_draft_packs(a.importance_threshold, a.owner); });
  return evicted ? to_py(*evicted) : nullptr;
}

struct OwnerArgs {
  uint64_t owner = 0;
};
constexpr auto DELETE_OWNER =
    signature("Engine", "delete_owner", required("owner", &OwnerArgs::owner));
constexpr auto OWNER_EXISTS =
    signature("Engine", "owner_exists", required("owner", &OwnerArgs::owner));

PyObject* delete_owner(PyEngine& self, OwnerArgs& a) {
  std::optional<uint64_t> deleted =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return e.delete_owner(a.owner); });
  return deleted ? to_py(*deleted) : nullptr;
}

PyObject* owner_exists(PyEngine& self, OwnerArgs& a) {
  std::optional<bool> exists =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return e.owner_exists(a.owner); });
  return exists ? to_py(*exists) : nullptr;
}

PyObject* list_owners(PyEngine& self) {
  std::optional<std::vector<OwnerId>> owners =
      with_engine<Gil::Hold>(self, [](Engine& e) { return e.list_owners(); });
  return owners ? to_py(*owners) : nullptr;
}

}  // namespace

std::span<const PyMethodDef> engine_trace_methods() {
  static const PyMethodDef METHODS[] = {
      method<ADD_PACK_EDGE, add_pack_edge>(
          "Create a durable typed trace edge between two packs.\n\n"
          "`edge_type`: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports."),
      method<ADD_PACK_LINK, add_pack_link>("Create a durable Follows link between two packs."),
      method<PACK_LINKS, pack_links>(
          "Get all packs linked to a given pack via trace edges (any type)."),
      method<PACK_LINKS_BY_TYPE, pack_links_by_type>("Get packs linked via a specific edge type."),
      method<PACK_SUPPORTS, pack_supports>("Get packs that support a given pack."),
      method<PACK_CONTRADICTS, pack_contradicts>("Get packs that contradict a given pack."),
      method<TRACE_ANCESTORS, trace_ancestors>(
          "Get transitive ancestors of a cell following causal edges."),
      method<ADVANCE_DAYS, advance_days>(
          "Simulate passage of time for governance decay (testing utility)."),
      method<SWEEP_NOW, sweep_now>("Run a governance sweep synchronously."),
      method<EVICT_DRAFT_PACKS, evict_draft_packs>(
          "Evict Draft-tier packs below the importance threshold."),
      method<DELETE_OWNER, delete_owner>(
          "Delete every pack belonging to ``owner``; return the count.\n\n"
          "Validated and core-tier packs are removed too. An owner without packs\n"
          "gives 0."),
      method_noargs<list_owners>("list_owners",
                                 "Enumerate every owner with at least one pack stored.\n\n"
                                 "Returns owners in ascending order."),
      method<OWNER_EXISTS, owner_exists>(
          "Return ``True`` iff the engine has at least one pack for ``owner``."),
  };
  return METHODS;
}

}  // namespace quellmar::python
