#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods of the synaptic bank: LoRA adapter entries per owner, float32 in Python and
// binary16 on disk.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quellmar/core/half.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/python/engine_type.h"

namespace quellmar::python {

namespace {

struct StoreSynapsisArgs {
  uint64_t id = 0;
  uint64_t owner = 0;
  F32AnyShape lora_a;
  F32AnyShape lora_b;
  float scale = 0.0f;
  uint32_t rank = 0;
  uint32_t d_model = 0;
  std::optional<uint64_t> last_used;
  std::optional<float> quality;
};
constexpr auto STORE_SYNAPSIS = signature(
    "Engine", "store_synapsis", required("id", &StoreSynapsisArgs::id),
    required("owner", &StoreSynapsisArgs::owner), required("lora_a", &StoreSynapsisArgs::lora_a),
    required("lora_b", &StoreSynapsisArgs::lora_b), required("scale", &StoreSynapsisArgs::scale),
    required("rank", &StoreSynapsisArgs::rank), required("d_model", &StoreSynapsisArgs::d_model),
    with_default("last_used", &StoreSynapsisArgs::last_used),
    with_default("quality", &StoreSynapsisArgs::quality));

// ValueError "{name} length {} != rank({}) * d_model({}) = {}" unless the matrix holds exactly
// rank × d_model values.
bool check_lora_length(const char* name, size_t length, uint32_t rank, uint32_t d_model) {
  const uint64_t expected = uint64_t{rank} * d_model;
  if (length == expected) return true;
  const std::string text = str_cat(name, " length ", length, " != rank(", rank, ") * d_model(",
                                   d_model, ") = ", expected);
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return false;
}

std::vector<uint16_t> to_halves(const std::vector<float>& values) {
  std::vector<uint16_t> out(values.size());
  for (size_t i = 0; i < values.size(); ++i) out[i] = float_to_half(values[i]);
  return out;
}

PyObject* store_synapsis(PyEngine& self, StoreSynapsisArgs& a) {
  std::vector<float> lora_a;
  std::vector<float> lora_b;
  if (!a.lora_a.copy(lora_a) || !a.lora_b.copy(lora_b)) return nullptr;
  if (!check_lora_length("lora_a", lora_a.size(), a.rank, a.d_model) ||
      !check_lora_length("lora_b", lora_b.size(), a.rank, a.d_model)) {
    return nullptr;
  }
  SynapticEntry entry;
  entry.id = a.id;
  entry.owner = a.owner;
  entry.rank = a.rank;
  entry.d_model = a.d_model;
  entry.scale = float_to_half(a.scale);
  entry.last_used = a.last_used.value_or(0);
  entry.quality = a.quality.value_or(0.0f);
  entry.lora_a = to_halves(lora_a);
  entry.lora_b = to_halves(lora_b);
  if (!with_engine<Gil::Hold>(self, [&](Engine& e) { return e.synaptic().append(entry); })) {
    return nullptr;
  }
  return none();
}

struct LoadSynapsisArgs {
  uint64_t owner = 0;
};
constexpr auto LOAD_SYNAPSIS =
    signature("Engine", "load_synapsis", required("owner", &LoadSynapsisArgs::owner));

// A new float32 array widened from binary16 values, allocated at its size and filled in place.
PyObject* halves_to_numpy(const std::vector<uint16_t>& halves) {
  npy_intp n = static_cast<npy_intp>(halves.size());
  PyObject* array = PyArray_SimpleNew(1, &n, NPY_FLOAT32);
  if (array == nullptr) return nullptr;
  auto* data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (size_t i = 0; i < halves.size(); ++i) data[i] = half_to_float(halves[i]);
  return array;
}

PyObject* load_synapsis(PyEngine& self, LoadSynapsisArgs& a) {
  std::optional<std::vector<SynapticEntry>> entries =
      with_engine<Gil::Hold>(self, [&](Engine& e) { return e.synaptic().load_for_owner(a.owner); });
  if (!entries) return nullptr;
  static DictKeys keys(
      {"id", "owner", "rank", "d_model", "scale", "last_used", "quality", "lora_a", "lora_b"});
  return list_of(entries->size(), [&](size_t i) {
    const SynapticEntry& entry = (*entries)[i];
    return keys.make({to_py(entry.id), to_py(entry.owner), to_py(entry.rank), to_py(entry.d_model),
                      to_py(half_to_float(entry.scale)), to_py(entry.last_used),
                      to_py(entry.quality), halves_to_numpy(entry.lora_a),
                      halves_to_numpy(entry.lora_b)});
  });
}

}  // namespace

std::span<const PyMethodDef> engine_synaptic_methods() {
  static const PyMethodDef METHODS[] = {
      method<STORE_SYNAPSIS, store_synapsis>(
          "Store a `LoRA` adapter entry. Arrays are f32 in Python, converted to f16 internally."),
      method<LOAD_SYNAPSIS, load_synapsis>(
          "Load all `LoRA` adapter entries for an owner.\n\n"
          "Returns list of dicts with f32 numpy arrays (f16 converted to f32 on return)."),
  };
  return METHODS;
}

}  // namespace quellmar::python
