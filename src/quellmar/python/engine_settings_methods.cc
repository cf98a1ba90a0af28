#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

// Engine methods that choose and report the refinement strategy of cell reads and the
// token-reweighting flag.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "quellmar/core/str_cat.h"
#include "quellmar/python/engine_type.h"
#include "quellmar/retrieval/refinement.h"

namespace quellmar::python {

namespace {

struct SetRefinementModeArgs {
  std::string mode;
  std::optional<float> alpha;
  std::optional<float> beta;
  std::optional<uint64_t> k_prime;
};
constexpr auto SET_REFINEMENT_MODE =
    signature("Engine", "set_refinement_mode", required("mode", &SetRefinementModeArgs::mode),
              with_default("alpha", &SetRefinementModeArgs::alpha),
              with_default("beta", &SetRefinementModeArgs::beta),
              with_default("k_prime", &SetRefinementModeArgs::k_prime));

// The strategy is built before the engine is locked; an unknown mode leaves the engine's
// strategy as it was.
PyObject* set_refinement_mode(PyEngine& self, SetRefinementModeArgs& a) {
  std::unique_ptr<RefinementStrategy> strategy =
      refinement_strategy_from_mode(a.mode, a.alpha, a.beta, a.k_prime);
  if (!strategy) {
    const std::string text = str_cat("unknown refinement mode '", a.mode,
                                     "' (expected 'none', 'centered', 'prf', or 'whitened')");
    PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
  }
  if (!with_engine<Gil::Hold>(self, [&](Engine& e) { e.set_refinement(std::move(strategy)); })) {
    return nullptr;
  }
  return none();
}

PyObject* refinement_mode(PyEngine& self) {
  std::optional<std::string> name =
      with_engine<Gil::Hold>(self, [](Engine& e) { return std::string(e.refinement().name()); });
  return name ? to_py(*name) : nullptr;
}

struct SetTokenReweightingArgs {
  bool enabled = false;
};
constexpr auto SET_TOKEN_REWEIGHTING = signature(
    "Engine", "set_token_reweighting", required("enabled", &SetTokenReweightingArgs::enabled));

PyObject* set_token_reweighting(PyEngine& self, SetTokenReweightingArgs& a) {
  if (!with_engine<Gil::Hold>(self, [&](Engine& e) { e.set_token_reweighting(a.enabled); })) {
    return nullptr;
  }
  return none();
}

PyObject* token_reweighting(PyEngine& self) {
  std::optional<bool> enabled =
      with_engine<Gil::Hold>(self, [](Engine& e) { return e.token_reweighting_enabled(); });
  return enabled ? to_py(*enabled) : nullptr;
}

}  // namespace

std::span<const PyMethodDef> engine_settings_methods() {
  static const PyMethodDef METHODS[] = {
      method<SET_REFINEMENT_MODE, set_refinement_mode>(
          "Configure post-retrieval refinement (vague-query rescue).\n\n"
          "Modes:\n"
          "    \"none\"      no refinement (the default)\n"
          "    \"centered\"  mean-centred rescoring\n"
          "    \"whitened\"  whitened rescoring\n"
          "    \"prf\"       Rocchio pseudo-relevance feedback expansion\n\n"
          "``alpha``, ``beta`` and ``k_prime`` tune the Rocchio expansion of \"prf\"\n"
          "(defaults 0.7, 0.3 and 3); the other modes ignore them."),
      method_noargs<refinement_mode>(
          "refinement_mode",
          "Currently configured refinement mode as \"none\" | \"centered\" | \"whitened\" | "
          "\"prf\"."),
      method<SET_TOKEN_REWEIGHTING, set_token_reweighting>(
          "Enable or disable corpus-mean distance token importance reweighting.\n\n"
          "When enabled, each per-token score is scaled by one minus the cosine between\n"
          "the token and the corpus mean before aggregation."),
      method_noargs<token_reweighting>(
          "token_reweighting",
          "Whether corpus-mean distance token importance reweighting is enabled."),
  };
  return METHODS;
}

}  // namespace quellmar::python
