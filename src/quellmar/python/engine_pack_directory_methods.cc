#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods that enumerate packs, read and set their texts, add view keys, and test, delete
// and weigh single packs. Only add_view_keys gives up the interpreter lock; the others hold it
// throughout. Every one copies what its result needs under the engine lock and builds the Python
// objects after releasing it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quellmar/python/engine_type.h"

namespace quellmar::python {

namespace {

constexpr const char* LIST_PACKS_DEPRECATION =
    "Engine.list_packs() without an explicit `fetch_text=` kwarg is deprecated; pass "
    "`fetch_text=True` to keep the current behaviour or call Engine.list_packs_metadata() to "
    "skip the per-pack text lookup.";

// warnings.warn(LIST_PACKS_DEPRECATION, DeprecationWarning); false when it raised.
bool warn_list_packs_deprecated() {
  PyRef warnings(PyImport_ImportModule("warnings"));
  if (!warnings) return false;
  PyRef warn(PyObject_GetAttrString(warnings.get(), "warn"));
  if (!warn) return false;
  PyRef message(PyUnicode_FromString(LIST_PACKS_DEPRECATION));
  if (!message) return false;
  PyRef result(
      PyObject_CallFunctionObjArgs(warn.get(), message.get(), PyExc_DeprecationWarning, nullptr));
  return static_cast<bool>(result);
}

struct ListPacksArgs {
  std::optional<uint64_t> owner;
  std::optional<bool> fetch_text;
};
constexpr auto LIST_PACKS =
    signature("Engine", "list_packs", with_default("owner", &ListPacksArgs::owner),
              with_default("fetch_text", &ListPacksArgs::fetch_text));

// One pack of a listing with its text, copied out of the engine.
struct ListedPack {
  PackMetadata meta;
  std::optional<std::string> text;
};

// Texts come back whatever fetch_text says: an explicit value only silences the warning.
PyObject* list_packs(PyEngine& self, ListPacksArgs& a) {
  if (!a.fetch_text && !warn_list_packs_deprecated()) return nullptr;
  std::optional<std::vector<ListedPack>> packs = with_engine<Gil::Hold>(self, [&](Engine& e) {
    const std::vector<PackMetadata> metadata = e.list_packs_metadata(a.owner);
    std::vector<ListedPack> listed;
    listed.reserve(metadata.size());
    for (const PackMetadata& m : metadata) {
      const std::string* text = e.text_store().find(m.pack_id);
      listed.push_back({m, text ? std::optional<std::string>(*text) : std::nullopt});
    }
    return listed;
  });
  if (!packs) return nullptr;
  static DictKeys keys({"pack_id", "owner", "tier", "importance", "text"});
  return list_of(packs->size(), [&](size_t i) {
    const ListedPack& p = (*packs)[i];
    return keys.make({to_py(p.meta.pack_id), to_py(p.meta.owner), to_py(p.meta.tier),
                      to_py(p.meta.importance), to_py(p.text)});
  });
}

struct OwnerFilterArgs {
  std::optional<uint64_t> owner;
};
constexpr auto LIST_PACKS_METADATA =
    signature("Engine", "list_packs_metadata", with_default("owner", &OwnerFilterArgs::owner));

// The listing split into aligned columns.
struct MetadataColumns {
  std::vector<uint64_t> ids;
  std::vector<uint64_t> owners;
  std::vector<uint8_t> tiers;
  std::vector<float> importances;
};

PyObject* list_packs_metadata(PyEngine& self, OwnerFilterArgs& a) {
  std::optional<MetadataColumns> columns = with_engine<Gil::Hold>(self, [&](Engine& e) {
    const std::vector<PackMetadata> packs = e.list_packs_metadata(a.owner);
    MetadataColumns c;
    c.ids.resize(packs.size());
    c.owners.resize(packs.size());
    c.tiers.resize(packs.size());
    c.importances.resize(packs.size());
    for (size_t i = 0; i < packs.size(); ++i) {
      c.ids[i] = packs[i].pack_id;
      c.owners[i] = packs[i].owner;
      c.tiers[i] = packs[i].tier;
      c.importances[i] = packs[i].importance;
    }
    return c;
  });
  if (!columns) return nullptr;
  static DictKeys keys({"pack_ids", "owners", "tiers", "importances"});
  return keys.make({to_numpy<uint64_t>(columns->ids), to_numpy<uint64_t>(columns->owners),
                    to_numpy<uint8_t>(columns->tiers), to_numpy<float>(columns->importances)});
}

struct PackIdArgs {
  uint64_t pack_id = 0;
};
constexpr auto PACK_TEXT =
    signature("Engine", "pack_text", required("pack_id", &PackIdArgs::pack_id));
constexpr auto VIEW_COUNT =
    signature("Engine", "view_count", required("pack_id", &PackIdArgs::pack_id));
constexpr auto PACK_EXISTS =
    signature("Engine", "pack_exists", required("pack_id", &PackIdArgs::pack_id));
constexpr auto DELETE_PACK =
    signature("Engine", "delete_pack", required("pack_id", &PackIdArgs::pack_id));
constexpr auto PACK_IMPORTANCE =
    signature("Engine", "pack_importance", required("pack_id", &PackIdArgs::pack_id));

// The text map alone answers: the pack directory is not consulted.
PyObject* pack_text(PyEngine& self, PackIdArgs& a) {
  auto text = with_engine<Gil::Hold>(self, [&](Engine& e) -> std::optional<std::string> {
    const std::string* found = e.text_store().find(a.pack_id);
    if (!found) return std::nullopt;
    return *found;
  });
  return text ? to_py(*text) : nullptr;
}

struct SetPackTextArgs {
  uint64_t pack_id = 0;
  std::string text;
};
constexpr auto SET_PACK_TEXT =
    signature("Engine", "set_pack_text", required("pack_id", &SetPackTextArgs::pack_id),
              required("text", &SetPackTextArgs::text));

PyObject* set_pack_text(PyEngine& self, SetPackTextArgs& a) {
  auto done = with_engine<Gil::Hold>(self, [&](Engine& e) -> Status {
    if (!e.pack_directory().contains(a.pack_id)) return EngineError::cell_not_found(a.pack_id);
    const std::pair<PackId, std::string> entry{a.pack_id, std::move(a.text)};
    return e.text_store().append_batch(std::span(&entry, 1));
  });
  return done ? none() : nullptr;
}

struct SetPackTextsArgs {
  std::vector<std::tuple<uint64_t, std::string>> entries;
};
constexpr auto SET_PACK_TEXTS =
    signature("Engine", "set_pack_texts", required("entries", &SetPackTextsArgs::entries));

PyObject* set_pack_texts(PyEngine& self, SetPackTextsArgs& a) {
  std::vector<std::pair<PackId, std::string>> entries;
  entries.reserve(a.entries.size());
  for (auto& [pack_id, text] : a.entries) entries.emplace_back(pack_id, std::move(text));
  auto done = with_engine<Gil::Hold>(self, [&](Engine& e) { return e.set_pack_texts(entries); });
  return done ? none() : nullptr;
}

struct AddViewKeysArgs {
  uint64_t pack_id = 0;
  std::vector<F32Vector> view_keys;
};
constexpr auto ADD_VIEW_KEYS =
    signature("Engine", "add_view_keys", required("pack_id", &AddViewKeysArgs::pack_id),
              required("view_keys", &AddViewKeysArgs::view_keys));

PyObject* add_view_keys(PyEngine& self, AddViewKeysArgs& a) {
  std::vector<std::vector<float>> keys(a.view_keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!a.view_keys[i].copy(keys[i], PyExc_TypeError)) return nullptr;
  }
  std::optional<uint64_t> added =
      with_engine<Gil::Release>(self, [&](Engine& e) { return e.add_view_keys(a.pack_id, keys); });
  return added ? to_py(*added) : nullptr;
}

PyObject* view_count(PyEngine& self, PackIdArgs& a) {
  std::optional<uint64_t> n =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return e.view_count(a.pack_id); });
  return n ? to_py(*n) : nullptr;
}

PyObject* pack_exists(PyEngine& self, PackIdArgs& a) {
  std::optional<bool> found = with_engine<Gil::Hold>(
      self, [&](Engine& e) { return e.pack_directory().contains(a.pack_id); });
  return found ? to_py(*found) : nullptr;
}

PyObject* delete_pack(PyEngine& self, PackIdArgs& a) {
  auto done = with_engine<Gil::Hold>(self, [&](Engine& e) { return e.delete_pack(a.pack_id); });
  return done ? none() : nullptr;
}

// The importance of the pack's head cell, or None for a pack that is not listed, has no cells or
// whose head cell has no governance entry.
PyObject* pack_importance(PyEngine& self, PackIdArgs& a) {
  auto importance = with_engine<Gil::Hold>(self, [&](Engine& e) -> std::optional<float> {
    const std::vector<CellId>* cells = e.pack_directory().cells(a.pack_id);
    if (!cells || cells->empty()) return std::nullopt;
    auto it = e.governance().find(cells->front());
    if (it == e.governance().end()) return std::nullopt;
    return it->second.importance;
  });
  return importance ? to_py(*importance) : nullptr;
}

}  // namespace

std::span<const PyMethodDef> engine_pack_directory_methods() {
  static const PyMethodDef METHODS[] = {
      method<LIST_PACKS, list_packs>(
          "Enumerate all packs as a list of dicts, with text included.\n\n"
          "Each dict has ``pack_id``, ``owner``, ``tier``, ``importance`` and ``text``,\n"
          "ordered by importance, highest first. Calling it without ``fetch_text`` is\n"
          "deprecated and issues a ``DeprecationWarning``."),
      method<LIST_PACKS_METADATA, list_packs_metadata>(
          "Enumerate pack metadata (no text) as a struct-of-arrays.\n\n"
          "Returns a dict of aligned NumPy arrays: ``pack_ids`` (uint64), ``owners``\n"
          "(uint64), ``tiers`` (uint8) and ``importances`` (float32), ordered by\n"
          "importance, highest first."),
      method<PACK_TEXT, pack_text>("Get the stored text for a pack, if any."),
      method<SET_PACK_TEXT, set_pack_text>("Set or update the stored text for an existing pack.\n\n"
                                           "Raises ``RuntimeError`` if the pack does not exist."),
      method<SET_PACK_TEXTS, set_pack_texts>(
          "Set or update text for many packs in a single batched fsync.\n\n"
          "``entries`` is a list of ``(pack_id, text)`` tuples. Every pack must exist;\n"
          "otherwise ``RuntimeError`` is raised and no text is written."),
      method<ADD_VIEW_KEYS, add_view_keys>(
          "Register one or more view keys for an existing pack.\n\n"
          "Returns the number of view keys added. Raises ``RuntimeError`` if the pack\n"
          "does not exist."),
      method<VIEW_COUNT, view_count>("Return the number of view keys registered for a pack.\n\n"
                                     "Raises `RuntimeError` if the pack does not exist."),
      method<PACK_EXISTS, pack_exists>(
          "Whether a pack with the given ID exists (and has not been deleted)."),
      method<DELETE_PACK, delete_pack>("Delete a pack permanently. Irreversible.\n\n"
                                       "Raises ``RuntimeError`` if the pack does not exist."),
      method<PACK_IMPORTANCE, pack_importance>("Get the importance score of a pack.\n\n"
                                               "Returns ``None`` when the pack does not exist."),
  };
  return METHODS;
}

}  // namespace quellmar::python
