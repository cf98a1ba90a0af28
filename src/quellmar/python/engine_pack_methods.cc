#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods that store packs (one at a time, from a token matrix, auto-linked, in a batch)
// and read them back whole (by similarity, by id, trace-boosted). Every one of them gives up the
// interpreter lock around its engine call; the arguments are copied into native memory before
// and the results built after.

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "quellmar/core/quote.h"
#include "quellmar/core/salience_mode.h"
#include "quellmar/python/engine_type.h"
#include "quellmar/retrieval/key_view.h"

namespace quellmar::python {

namespace {

// The threshold of an auto-linking write that is given none.
constexpr float DEFAULT_AUTO_LINK_THRESHOLD = 250.0f;

// ---------------------------------------------------------------------------------------------
// Salience

// The salience_mode word parsed; empty with ValueError set for an unknown word.
std::optional<SalienceMode> parse_mode(const std::string& word) {
  std::variant<SalienceMode, std::string> parsed = parse_salience_mode(word);
  if (const SalienceMode* mode = std::get_if<SalienceMode>(&parsed)) return *mode;
  const std::string text = "unknown salience_mode " + quote_for_message(word) +
                           "; expected one of \"l2\", \"max\", \"none\"";
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return std::nullopt;
}

// min(v * SALIENCE_SCALE, SALIENCE_CAP) for the measure v of the floats after a key's header: the
// largest magnitude (Max; NaN skipped) or the Euclidean norm divided by the element count (L2;
// squares summed one after another in single precision). A NaN v gives the cap.
float measured_salience(SalienceMode mode, std::span<const float> tail) {
  float v = 0.0f;
  if (mode == SalienceMode::Max) {
    for (float x : tail) v = std::fmax(v, std::fabs(x));
  } else {
    float sum = 0.0f;
    for (float x : tail) {
      const float square = x * x;
      sum += square;
    }
    v = std::sqrt(sum) / static_cast<float>(tail.size());
  }
  const float scaled = v * SALIENCE_SCALE;
  return scaled < SALIENCE_CAP ? scaled : SALIENCE_CAP;
}

// The salience to store for a pack with this retrieval key; empty with ValueError set for an
// unknown mode. No mode, the explicit mode and keys no longer than the header keep `salience`.
std::optional<float> resolve_salience(const std::optional<std::string>& salience_mode,
                                      std::span<const float> key, float salience) {
  if (!salience_mode) return salience;
  std::optional<SalienceMode> mode = parse_mode(*salience_mode);
  if (!mode) return std::nullopt;
  if (*mode == SalienceMode::Explicit || key.size() <= ENCODING_HEADER_SIZE) return salience;
  return measured_salience(*mode, key.subspan(ENCODING_HEADER_SIZE));
}

// ---------------------------------------------------------------------------------------------
// Arguments shared by the writes

using PayloadArg = std::tuple<uint16_t, F32Vector>;

// Copies every payload's floats, in list order (the contiguity rule of vectors).
bool copy_payloads(const std::vector<PayloadArg>& args, std::vector<LayerPayload>& out) {
  out.resize(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    out[i].layer_idx = std::get<0>(args[i]);
    if (!std::get<1>(args[i]).copy(out[i].data)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// mem_write_pack

struct MemWritePackArgs {
  uint64_t owner = 0;
  F32Vector retrieval_key;
  std::vector<PayloadArg> layer_payloads;
  float salience = 0.0f;
  std::optional<std::string> text;
  std::optional<std::string> salience_mode;
};
constexpr auto MEM_WRITE_PACK =
    signature("Engine", "mem_write_pack", required("owner", &MemWritePackArgs::owner),
              required("retrieval_key", &MemWritePackArgs::retrieval_key),
              required("layer_payloads", &MemWritePackArgs::layer_payloads),
              required("salience", &MemWritePackArgs::salience),
              with_default("text", &MemWritePackArgs::text),
              with_default("salience_mode", &MemWritePackArgs::salience_mode));

PyObject* mem_write_pack(PyEngine& self, MemWritePackArgs& a) {
  PackWrite w;
  w.owner = a.owner;
  if (!a.retrieval_key.copy(w.retrieval_key)) return nullptr;
  std::optional<float> salience = resolve_salience(a.salience_mode, w.retrieval_key, a.salience);
  if (!salience) return nullptr;
  w.salience = *salience;
  if (!copy_payloads(a.layer_payloads, w.layer_payloads)) return nullptr;
  w.text = std::move(a.text);
  std::optional<PackId> id =
      with_engine<Gil::Release>(self, [&](Engine& e) { return e.mem_write_pack(std::move(w)); });
  return id ? to_py(*id) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// mem_write_pack_tokens

struct MemWritePackTokensArgs {
  uint64_t owner = 0;
  F32Matrix token_matrix;
  std::vector<PayloadArg> layer_payloads;
  float salience = 0.0f;
  std::optional<std::string> text;
  std::optional<std::string> salience_mode;
};
constexpr auto MEM_WRITE_PACK_TOKENS =
    signature("Engine", "mem_write_pack_tokens", required("owner", &MemWritePackTokensArgs::owner),
              required("token_matrix", &MemWritePackTokensArgs::token_matrix),
              required("layer_payloads", &MemWritePackTokensArgs::layer_payloads),
              required("salience", &MemWritePackTokensArgs::salience),
              with_default("text", &MemWritePackTokensArgs::text),
              with_default("salience_mode", &MemWritePackTokensArgs::salience_mode));

PyObject* mem_write_pack_tokens(PyEngine& self, MemWritePackTokensArgs& a) {
  const F32Matrix& m = a.token_matrix;
  float salience = a.salience;
  // The encoded key of the rows is its header followed by the whole matrix, so the measure runs
  // over the matrix itself. An empty matrix is left to the engine, which refuses it.
  if (a.salience_mode && *a.salience_mode != "none" && m.rows != 0 && m.cols != 0) {
    std::optional<SalienceMode> mode = parse_mode(*a.salience_mode);
    if (!mode) return nullptr;
    if (*mode != SalienceMode::Explicit) salience = measured_salience(*mode, m.data);
  }
  std::vector<LayerPayload> payloads;
  if (!copy_payloads(a.layer_payloads, payloads)) return nullptr;
  std::optional<PackId> id = with_engine<Gil::Release>(self, [&](Engine& e) {
    return e.mem_write_pack_tokens(a.owner, m.data, m.rows, m.cols, std::move(payloads), salience,
                                   std::move(a.text));
  });
  return id ? to_py(*id) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// mem_write_pack_with_auto_link

struct MemWritePackWithAutoLinkArgs {
  uint64_t owner = 0;
  F32Vector retrieval_key;
  std::vector<PayloadArg> layer_payloads;
  float salience = 0.0f;
  std::optional<float> auto_link_threshold;
  std::optional<std::string> text;
};
constexpr auto MEM_WRITE_PACK_WITH_AUTO_LINK = signature(
    "Engine", "mem_write_pack_with_auto_link",
    required("owner", &MemWritePackWithAutoLinkArgs::owner),
    required("retrieval_key", &MemWritePackWithAutoLinkArgs::retrieval_key),
    required("layer_payloads", &MemWritePackWithAutoLinkArgs::layer_payloads),
    required("salience", &MemWritePackWithAutoLinkArgs::salience),
    with_default("auto_link_threshold", &MemWritePackWithAutoLinkArgs::auto_link_threshold),
    with_default("text", &MemWritePackWithAutoLinkArgs::text));

PyObject* mem_write_pack_with_auto_link(PyEngine& self, MemWritePackWithAutoLinkArgs& a) {
  PackWrite w;
  w.owner = a.owner;
  w.salience = a.salience;
  if (!a.retrieval_key.copy(w.retrieval_key)) return nullptr;
  if (!copy_payloads(a.layer_payloads, w.layer_payloads)) return nullptr;
  w.text = std::move(a.text);
  const float threshold = a.auto_link_threshold.value_or(DEFAULT_AUTO_LINK_THRESHOLD);
  auto written = with_engine<Gil::Release>(
      self, [&](Engine& e) { return e.mem_write_pack_with_auto_link(std::move(w), threshold); });
  if (!written) return nullptr;
  static DictKeys keys({"pack_id", "linked_pack_ids"});
  return keys.make({to_py(written->first), to_py(written->second)});
}

// ---------------------------------------------------------------------------------------------
// mem_write_batch_packs

using PackArg =
    std::tuple<uint64_t, F32Vector, std::vector<PayloadArg>, float, std::optional<std::string>>;

struct MemWriteBatchPacksArgs {
  std::vector<PackArg> packs;
};
constexpr auto MEM_WRITE_BATCH_PACKS =
    signature("Engine", "mem_write_batch_packs", required("packs", &MemWriteBatchPacksArgs::packs));

PyObject* mem_write_batch_packs(PyEngine& self, MemWriteBatchPacksArgs& a) {
  std::vector<PackWrite> packs(a.packs.size());
  for (size_t i = 0; i < a.packs.size(); ++i) {
    auto& [owner, key, payloads, salience, text] = a.packs[i];
    PackWrite& w = packs[i];
    w.owner = owner;
    w.salience = salience;
    if (!key.copy(w.retrieval_key)) return nullptr;
    if (!copy_payloads(payloads, w.layer_payloads)) return nullptr;
    w.text = std::move(text);
  }
  auto ids = with_engine<Gil::Release>(
      self, [&](Engine& e) { return e.mem_write_batch_packs(std::move(packs)); });
  return ids ? to_py(*ids) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Pack reads

// {"pack_id", "owner", "score", "tier", "layers": [{"layer_idx", "data"}], "text"}; each layer's
// data a new float32 array of its exact length made by array(layer).
template <class Layer, class Array>
PyObject* pack_dict(const BasicPackRead<Layer>& r, Array array) {
  static DictKeys layer_keys({"layer_idx", "data"});
  static DictKeys pack_keys({"pack_id", "owner", "score", "tier", "layers", "text"});
  PyObject* layers = list_of(r.layers.size(), [&](size_t i) {
    return layer_keys.make({to_py(r.layers[i].layer_idx), array(r.layers[i])});
  });
  if (layers == nullptr) return nullptr;
  return pack_keys.make(
      {to_py(r.pack_id), to_py(r.owner), to_py(r.score), to_py(r.tier), layers, to_py(r.text)});
}

// Decoded payloads: one copy each.
PyObject* pack_dict(const PackReadResult& r) {
  return pack_dict(r, [](const LayerPayload& layer) {
    return to_numpy<float>(std::span<const float>(layer.data));
  });
}

PyObject* pack_list(const std::vector<PackReadResult>& results) {
  return list_of(results.size(), [&](size_t i) { return pack_dict(results[i]); });
}

// Stored payloads: each decoded straight into its array.
PyObject* pack_list(const StoredPackReads& read) {
  auto array = [&](const StoredPayload& layer) {
    return numpy_filled<float>(layer.len, [&](float* data) { read.decode(layer, data); });
  };
  return list_of(read.packs.size(), [&](size_t i) { return pack_dict(read.packs[i], array); });
}

struct MemReadPackArgs {
  F32Vector query_key;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
};
constexpr auto MEM_READ_PACK =
    signature("Engine", "mem_read_pack", required("query_key", &MemReadPackArgs::query_key),
              required("k", &MemReadPackArgs::k), required("owner", &MemReadPackArgs::owner));

PyObject* mem_read_pack(PyEngine& self, MemReadPackArgs& a) {
  std::vector<float> q;
  if (!a.query_key.copy(q)) return nullptr;
  auto read = with_engine<Gil::Release>(
      self, [&](Engine& e) { return e.mem_read_pack_stored(q, a.k, a.owner); });
  return read ? pack_list(*read) : nullptr;
}

struct LoadPackByIdArgs {
  uint64_t pack_id = 0;
};
constexpr auto LOAD_PACK_BY_ID =
    signature("Engine", "load_pack_by_id", required("pack_id", &LoadPackByIdArgs::pack_id));

PyObject* load_pack_by_id(PyEngine& self, LoadPackByIdArgs& a) {
  auto pack =
      with_engine<Gil::Release>(self, [&](Engine& e) { return e.load_pack_by_id(a.pack_id); });
  return pack ? pack_dict(*pack) : nullptr;
}

struct TraceBoostArgs {
  F32Vector query_key;
  uint64_t k = 0;
  std::optional<uint64_t> owner;
  float boost_factor = 0.0f;
};
constexpr auto MEM_READ_PACK_WITH_TRACE_BOOST = signature(
    "Engine", "mem_read_pack_with_trace_boost", required("query_key", &TraceBoostArgs::query_key),
    required("k", &TraceBoostArgs::k), required("owner", &TraceBoostArgs::owner),
    required("boost_factor", &TraceBoostArgs::boost_factor));
constexpr auto MEM_READ_PACK_WITH_TRACE_BOOST_AND_FOLLOW =
    signature("Engine", "mem_read_pack_with_trace_boost_and_follow",
              required("query_key", &TraceBoostArgs::query_key), required("k", &TraceBoostArgs::k),
              required("owner", &TraceBoostArgs::owner),
              required("boost_factor", &TraceBoostArgs::boost_factor));

PyObject* mem_read_pack_with_trace_boost(PyEngine& self, TraceBoostArgs& a) {
  std::vector<float> q;
  if (!a.query_key.copy(q)) return nullptr;
  auto packs = with_engine<Gil::Release>(self, [&](Engine& e) {
    return e.mem_read_pack_with_trace_boost(q, a.k, a.owner, a.boost_factor);
  });
  return packs ? pack_list(*packs) : nullptr;
}

PyObject* mem_read_pack_with_trace_boost_and_follow(PyEngine& self, TraceBoostArgs& a) {
  std::vector<float> q;
  if (!a.query_key.copy(q)) return nullptr;
  auto packs = with_engine<Gil::Release>(self, [&](Engine& e) {
    return e.mem_read_pack_with_trace_boost_and_follow(q, a.k, a.owner, a.boost_factor);
  });
  return packs ? pack_list(*packs) : nullptr;
}

}  // namespace

std::span<const PyMethodDef> engine_pack_methods() {
  static const PyMethodDef METHODS[] = {
      method<MEM_WRITE_PACK, mem_write_pack>(
          "Store a complete multi-layer KV cache as a single atomic pack.\n\n"
          "Returns the assigned pack ID."),
      method<MEM_WRITE_PACK_TOKENS, mem_write_pack_tokens>(
          "Store a complete multi-layer KV pack from a raw per-token retrieval matrix.\n\n"
          "Accepts a two-dimensional NumPy array of shape ``(n_tokens, dim)`` directly; the\n"
          "engine builds the encoded retrieval key in one allocation, with no Python-side\n"
          "encoding round trip.\n\n"
          "This is the write-side counterpart of ``mem_read_tokens``: prefer it over\n"
          "``mem_write_pack`` when the tokens are held as a matrix, and use ``mem_write_pack``\n"
          "for a key that is already encoded.\n\n"
          "Returns the assigned pack ID. Raises ``RuntimeError`` on an empty or malformed\n"
          "matrix, since such a pack would be a cell that no query can find."),
      method<MEM_WRITE_PACK_WITH_AUTO_LINK, mem_write_pack_with_auto_link>(
          "Store a pack with automatic discovery and linking of similar existing packs.\n\n"
          "Returns a dict with ``pack_id`` and ``linked_pack_ids``. The threshold defaults to\n"
          "``DEFAULT_AUTO_LINK_THRESHOLD`` (250.0) when omitted."),
      method<MEM_WRITE_BATCH_PACKS, mem_write_batch_packs>(
          "Persist a known-size batch of packs with one coalesced fsync.\n\n"
          "Each item is a tuple ``(owner, retrieval_key, layer_payloads, salience, text)``\n"
          "with ``layer_payloads`` a list of ``(layer_idx, data)`` tuples and ``text``\n"
          "optional. Returns the assigned pack ids, strictly increasing and aligned to the\n"
          "input order.\n\n"
          "Unlike a write buffer opened with ``open_with_write_buffer``, this is the eager\n"
          "path for a batch already in hand; pending write-buffer entries are flushed first\n"
          "so the batch lands after them.\n\n"
          "An empty input returns an empty list and does not touch storage."),
      method<MEM_READ_PACK, mem_read_pack>(
          "Retrieve the top-k KV Packs matching a query key.\n\n"
          "Returns list of dicts with pack ID, owner, score, tier, and layers."),
      method<LOAD_PACK_BY_ID, load_pack_by_id>("Load a pack by ID without retrieval scoring."),
      method<MEM_READ_PACK_WITH_TRACE_BOOST, mem_read_pack_with_trace_boost>(
          "Retrieve packs with trace-boosted scoring."),
      method<MEM_READ_PACK_WITH_TRACE_BOOST_AND_FOLLOW, mem_read_pack_with_trace_boost_and_follow>(
          "Retrieve packs with trace-boosted scoring and automatic link traversal."),
  };
  return METHODS;
}

}  // namespace quellmar::python
