#pragma once

// Parameter tables: what a callable takes, in signature order, and where each argument lands in
// the struct of its converted arguments. The binder places the arguments of a call by the table
// (with the TypeErrors for wrong counts and names), converts them by their kinds, and the
// docstring's text-signature line is written from the same table, so a signature is spelled once:
//
//   struct SweepNowArgs {
//     float hours = 0.0f;
//     float eviction_threshold = 15.0f;
//   };
//   constexpr auto SWEEP_NOW = signature("Engine", "sweep_now",
//       with_default("hours", &SweepNowArgs::hours),
//       with_default("eviction_threshold", &SweepNowArgs::eviction_threshold));
//
// gives the line "sweep_now($self, hours=0.0, eviction_threshold=15.0)".

#include "quellmar/python/py.h"

#include <array>
#include <cstddef>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "quellmar/python/arg_kinds.h"
#include "quellmar/python/results.h"

namespace quellmar::python {

template <class Args, class T>
struct Param {
  const char* name;
  T Args::*member;
  bool required;
};

template <class Args, class T>
constexpr Param<Args, T> required(const char* name, T Args::*member) {
  return {name, member, true};
}
// May be left out; then the member keeps its initializer (None for an optional).
template <class Args, class T>
constexpr Param<Args, T> with_default(const char* name, T Args::*member) {
  return {name, member, false};
}

// What the binder needs of a parameter list.
struct ParamNames {
  const char* owner;  // class name; null for a module function
  const char* name;   // the callable's name
  const char* const* names;
  size_t count;
  size_t required;  // the leading parameters without a default
};

template <class ArgsT, class... Ts>
struct Signature {
  using Args = ArgsT;
  static constexpr size_t SIZE = sizeof...(Ts);

  const char* owner;
  const char* name;
  std::tuple<Param<Args, Ts>...> params;
  std::array<const char*, SIZE> names;
  size_t required;

  constexpr ParamNames list() const { return {owner, name, names.data(), SIZE, required}; }
};

template <class Args, class... Ts>
constexpr Signature<Args, Ts...> signature(const char* owner, const char* name,
                                           Param<Args, Ts>... params) {
  static_assert(sizeof...(Ts) > 0, "callables without parameters are no-argument methods");
  const bool req[] = {params.required...};
  size_t n_required = 0;
  while (n_required < sizeof...(Ts) && req[n_required]) ++n_required;
  for (size_t i = n_required; i < sizeof...(Ts); ++i) {
    if (req[i]) throw "parameters with a default must come after every required one";
  }
  return {owner, name, {params...}, {params.name...}, n_required};
}

// Places the arguments of a fast call into slots[0 .. list.count) (borrowed references; null for
// a parameter without a value) and raises the TypeErrors for wrong counts and names.
bool bind_arguments(const ParamNames& list, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);
// The same for a call with an argument tuple and a keyword dict (a type's __new__).
bool bind_arguments(const ParamNames& list, PyObject* args, PyObject* kwargs, PyObject** slots);
// Re-raises a TypeError as "argument '{}': {}"; other exceptions pass unchanged.
void prefix_argument_error(const char* name);

template <class Sig>
bool convert_arguments(const Sig& sig, PyObject* const* slots, typename Sig::Args& out) {
  return std::apply(
      [&](const auto&... param) {
        size_t i = 0;
        auto one = [&](const auto& p) {
          PyObject* obj = slots[i++];
          if (obj == nullptr) return true;
          using T = std::remove_reference_t<decltype(out.*p.member)>;
          if (ArgKind<T>::convert(obj, out.*p.member)) return true;
          prefix_argument_error(p.name);
          return false;
        };
        return (one(param) && ...);
      },
      sig.params);
}

// ---------------------------------------------------------------------------------------------
// Docstrings. A docstring begins with the text-signature line ("name($self, a, b=None)"), a line
// "--" and an empty line, then the text; Python reads the signature of a builtin from that line.

enum class SelfParam { No, Yes };

// Appends repr(value) to `out` and releases `value` (a new reference); false with the exception
// set.
bool append_repr(std::string& out, PyObject* value);
// `line` closed by ")\n--\n\n", then `text`, kept for the life of the process.
const char* keep_doc(std::string line, const char* text);
// "name($self)" with `text`, for a method without parameters.
const char* noargs_doc(const char* name, const char* text);

// Appends parameter I of Sig to a signature line ("name(" or "name($self" so far): its name, and
// for a parameter with a default "=" and repr() of the argument struct's initializer (None for an
// empty optional). False, with the exception set, when the repr fails.
template <auto& Sig, size_t I>
bool append_param(std::string& line,
                  const typename std::remove_cvref_t<decltype(Sig)>::Args& defaults) {
  constexpr auto param = std::get<I>(Sig.params);
  if (line.back() != '(') line += ", ";
  line += param.name;
  if constexpr (param.required) {
    return true;
  } else {
    line += '=';
    return append_repr(line, to_py(defaults.*param.member));
  }
}

template <auto& Sig, size_t... I>
bool append_params(std::string& line, std::index_sequence<I...> /*unused*/) {
  const typename std::remove_cvref_t<decltype(Sig)>::Args defaults{};
  return (append_param<Sig, I>(line, defaults) && ...);
}

// The docstring of the callable Sig shown as `name`, its parameters in table order; null when
// `text` is null (no docstring).
template <auto& Sig>
const char* signed_doc(const char* name, SelfParam self, const char* text) {
  if (text == nullptr) return nullptr;
  std::string line = std::string(name) + (self == SelfParam::Yes ? "($self" : "(");
  constexpr size_t SIZE = std::remove_cvref_t<decltype(Sig)>::SIZE;
  // repr() of an int, a float, a str or None fails only when memory runs out.
  if (!append_params<Sig>(line, std::make_index_sequence<SIZE>{})) throw std::bad_alloc();
  return keep_doc(std::move(line), text);
}

}  // namespace quellmar::python
