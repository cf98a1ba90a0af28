#pragma once

// The frame every Python call into the module runs through: binding the arguments to parameters,
// borrowing the instance, converting each argument into an owned C++ value by its kind, running
// the typed body, and turning every C++ failure into a Python exception.
//
// A callable is declared by a struct of its converted arguments, a parameter table and a typed
// body; the table's order is the signature order:
//
//   struct MemReadPackArgs {
//     F32Vector query_key;
//     uint64_t k = 0;
//     std::optional<uint64_t> owner;
//   };
//   constexpr auto MEM_READ_PACK = signature("Engine", "mem_read_pack",
//       required("query_key", &MemReadPackArgs::query_key), required("k", &MemReadPackArgs::k),
//       required("owner", &MemReadPackArgs::owner));
//   PyObject* mem_read_pack(PyEngine& self, MemReadPackArgs& args);
//   ... method<MEM_READ_PACK, mem_read_pack>(MEM_READ_PACK_DOC) in the group's method table.
//
// A parameter declared with_default() may be left out and then keeps the struct member's
// initializer. The C++ type of a member selects its kind (ArgKind below): uint64_t, uint32_t,
// uint16_t, uint8_t, float, double, bool, std::string, F32Vector, F32AnyShape, F32Matrix,
// std::vector<T> (a sequence), std::tuple<T...> (a tuple of that length), std::optional<T>
// (None accepted), PyRef (any object) and EngineArg (engine_type.h).

#include "quellmar/python/py.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "quellmar/core/engine_error.h"

namespace quellmar::python {

// ---------------------------------------------------------------------------------------------
// Borrow flags

// Shared borrows counted up and down; one exclusive borrow marked by EXCLUSIVE. Borrows are
// taken and given back only by threads that hold the interpreter lock (before a method gives it
// up and after it takes it back), so the lock orders every change and each one is a plain
// atomic load and store rather than a locked read-modify-write.
class BorrowFlag {
 public:
  bool try_shared() {
    int64_t v = v_.load(std::memory_order_relaxed);
    if (v == EXCLUSIVE) return false;
    v_.store(v + 1, std::memory_order_relaxed);
    return true;
  }
  void release_shared() {
    v_.store(v_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }
  bool try_exclusive() {
    if (v_.load(std::memory_order_relaxed) != 0) return false;
    v_.store(EXCLUSIVE, std::memory_order_relaxed);
    return true;
  }
  void release_exclusive() { v_.store(0, std::memory_order_relaxed); }

 private:
  static constexpr int64_t EXCLUSIVE = -1;
  std::atomic<int64_t> v_{0};
};

enum class BorrowMode { Shared, Exclusive };

// RuntimeError "Already mutably borrowed" (a shared borrow failed) or "Already borrowed".
void raise_borrow_conflict(BorrowMode mode);

// One borrow of an instance, given back when destroyed. Empty when it could not be taken; then
// RuntimeError "Already mutably borrowed" (shared) or "Already borrowed" (exclusive) is set.
class Borrow {
 public:
  Borrow() = default;
  static Borrow take(BorrowFlag& flag, BorrowMode mode) {
    if (mode == BorrowMode::Shared ? flag.try_shared() : flag.try_exclusive()) {
      return Borrow(&flag, mode);
    }
    raise_borrow_conflict(mode);
    return Borrow();
  }
  Borrow(Borrow&& other) noexcept
      : flag_(std::exchange(other.flag_, nullptr)), mode_(other.mode_) {}
  Borrow& operator=(Borrow&& other) noexcept {
    if (this != &other) {
      reset();
      flag_ = std::exchange(other.flag_, nullptr);
      mode_ = other.mode_;
    }
    return *this;
  }
  ~Borrow() { reset(); }
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  Borrow(BorrowFlag* flag, BorrowMode mode) : flag_(flag), mode_(mode) {}
  void reset() {
    if (flag_ == nullptr) return;
    if (mode_ == BorrowMode::Shared) {
      flag_->release_shared();
    } else {
      flag_->release_exclusive();
    }
    flag_ = nullptr;
  }

  BorrowFlag* flag_ = nullptr;
  BorrowMode mode_ = BorrowMode::Shared;
};

// ---------------------------------------------------------------------------------------------
// Failures

// RuntimeError carrying the engine error's message.
void raise_engine_error(const EngineError& error);
// The class of internal failures (derived from BaseException), made once per process.
PyObject* panic_exception_type();
void raise_panic(const char* message);
// TypeError "'{}' object is not an instance of '{}'", or "'None' is not an instance of '{}'".
void raise_downcast_error(PyObject* obj, const char* expected);
// Sets the Python exception for the C++ exception being handled. Only inside a catch block.
void raise_current_exception() noexcept;

// Runs body() and turns any C++ exception into a Python one: std::bad_alloc into MemoryError
// (with the AllocationFailure's message, or "out of memory"), everything else (InternalFault
// included) into PanicException. No C++ exception leaves it.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// Argument kinds: ArgKind<T>::convert(obj, out) converts one argument, false with the exception
// set. These are the conversions without the argument-name prefix; the binder adds it.

template <class T>
struct ArgKind;

bool convert_u64(PyObject* obj, uint64_t& out);
// Through a signed 64-bit integer, then narrowed to 0..max ("out of range integral type
// conversion attempted").
bool convert_narrow(PyObject* obj, uint64_t max, uint64_t& out);
bool convert_f64(PyObject* obj, double& out);
// Rounded to the nearest float; a value beyond the float range becomes an infinity.
float narrow_to_f32(double v);
bool convert_bool(PyObject* obj, bool& out);
bool convert_str(PyObject* obj, std::string& out);
// "Can't extract `str` to `Vec`", then the sequence check (downcast error naming 'Sequence').
bool check_sequence(PyObject* obj);

template <>
struct ArgKind<uint64_t> {
  static bool convert(PyObject* obj, uint64_t& out) { return convert_u64(obj, out); }
};

template <class T>
requires(std::is_same_v<T, uint32_t> || std::is_same_v<T, uint16_t> ||
         std::is_same_v<T, uint8_t>) struct ArgKind<T> {
  static bool convert(PyObject* obj, T& out) {
    uint64_t v = 0;
    if (!convert_narrow(obj, std::numeric_limits<T>::max(), v)) return false;
    out = static_cast<T>(v);
    return true;
  }
};

template <>
struct ArgKind<double> {
  static bool convert(PyObject* obj, double& out) { return convert_f64(obj, out); }
};

template <>
struct ArgKind<float> {
  static bool convert(PyObject* obj, float& out) {
    double v = 0.0;
    if (!convert_f64(obj, v)) return false;
    out = narrow_to_f32(v);
    return true;
  }
};

template <>
struct ArgKind<bool> {
  static bool convert(PyObject* obj, bool& out) { return convert_bool(obj, out); }
};

template <>
struct ArgKind<std::string> {
  static bool convert(PyObject* obj, std::string& out) { return convert_str(obj, out); }
};

// Any object, kept as a new reference (items that a body reads itself).
template <>
struct ArgKind<PyRef> {
  static bool convert(PyObject* obj, PyRef& out) {
    out = PyRef::borrow(obj);
    return true;
  }
};

template <class T>
struct ArgKind<std::optional<T>> {
  static bool convert(PyObject* obj, std::optional<T>& out) {
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    T v{};
    if (!ArgKind<T>::convert(obj, v)) return false;
    out = std::move(v);
    return true;
  }
};

// A sequence (not a str) converted item by item, in iteration order.
template <class T>
struct ArgKind<std::vector<T>> {
  static bool convert(PyObject* obj, std::vector<T>& out) {
    if (!check_sequence(obj)) return false;
    out.clear();
    // Only lists and tuples hold their items already, so only their length sizes the list.
    if (PyList_Check(obj) || PyTuple_Check(obj)) out.reserve(static_cast<size_t>(Py_SIZE(obj)));
    PyRef it(PyObject_GetIter(obj));
    if (!it) return false;
    for (PyRef item(PyIter_Next(it.get())); item; item = PyRef(PyIter_Next(it.get()))) {
      T v{};
      if (!ArgKind<T>::convert(item.get(), v)) return false;
      out.push_back(std::move(v));
    }
    return !PyErr_Occurred();
  }
};

// "expected tuple of length {}, but got tuple of length {}" (ValueError) unless obj is a tuple of
// `length` items; the downcast error naming 'tuple' when it is no tuple.
bool check_tuple(PyObject* obj, size_t length);

template <class... Ts>
struct ArgKind<std::tuple<Ts...>> {
  static bool convert(PyObject* obj, std::tuple<Ts...>& out) {
    if (!check_tuple(obj, sizeof...(Ts))) return false;
    return std::apply(
        [obj](Ts&... items) {
          Py_ssize_t i = 0;
          return (ArgKind<Ts>::convert(PyTuple_GET_ITEM(obj, i++), items) && ...);
        },
        out);
  }
};

// A NumPy float32 array of NDim dimensions (ANY_NDIM: any number), type-checked when converted
// and copied into native memory later, by copy(), after every argument has been checked. The
// copy takes the elements in memory order and needs an aligned array that is C- or
// Fortran-contiguous (an array without elements needs neither).
inline constexpr int ANY_NDIM = -1;

template <int NDim>
class F32Array {
 public:
  // The text of the contiguity failure.
  static constexpr const char* NOT_CONTIGUOUS =
      "The given array is not contiguous or is misaligned.";

  // Fills `out`; RuntimeError NOT_CONTIGUOUS (or `error_type` with that text) when the array
  // cannot be copied as one block.
  bool copy(std::vector<float>& out, PyObject* error_type = PyExc_RuntimeError) const;
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(ref_.get()); }
  size_t size() const { return static_cast<size_t>(PyArray_SIZE(array())); }

 private:
  friend struct ArgKind<F32Array<NDim>>;
  PyRef ref_;
};

using F32Vector = F32Array<1>;
using F32AnyShape = F32Array<ANY_NDIM>;

// Whether obj is a NumPy float32 array of `ndim` dimensions (ANY_NDIM: any); else the downcast
// error naming the expected array.
bool check_f32_array(PyObject* obj, int ndim);
bool copy_f32_block(PyArrayObject* array, std::vector<float>& out, PyObject* error_type);

template <int NDim>
bool F32Array<NDim>::copy(std::vector<float>& out, PyObject* error_type) const {
  return copy_f32_block(array(), out, error_type);
}

template <int NDim>
struct ArgKind<F32Array<NDim>> {
  static bool convert(PyObject* obj, F32Array<NDim>& out) {
    if (!check_f32_array(obj, NDim)) return false;
    out.ref_ = PyRef::borrow(obj);
    return true;
  }
};

// A two-dimensional NumPy float32 array of any strides, copied at once into a flat row-major
// list of rows × cols floats.
struct F32Matrix {
  std::vector<float> data;
  uint64_t rows = 0;
  uint64_t cols = 0;
};

template <>
struct ArgKind<F32Matrix> {
  static bool convert(PyObject* obj, F32Matrix& out);
};

// ---------------------------------------------------------------------------------------------
// Parameter tables

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
// Entry points. A method body is `PyObject* body(Self& self, Args& args)` (Self: the instance
// struct, which has a `BorrowFlag borrow` member), a no-argument body `PyObject* body(Self&)`, a
// static method or module function body `PyObject* body(Args&)`, a constructor body
// `PyObject* body(PyTypeObject* type, Args& args)`. Bodies return a new reference, or null with
// the exception set.

template <class F>
struct BodyTraits;
template <class S, class A>
struct BodyTraits<PyObject* (*)(S&, A&)> {
  using Self = S;
};
template <class S>
struct BodyTraits<PyObject* (*)(S&)> {
  using Self = S;
};

template <auto& Sig, auto Body, BorrowMode Mode>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  using Self = typename BodyTraits<decltype(Body)>::Self;
  return guarded([&]() -> PyObject* {
    PyObject* slots[std::remove_cvref_t<decltype(Sig)>::SIZE];
    if (!bind_arguments(Sig.list(), args, nargs, kwnames, slots)) return nullptr;
    Self& s = *reinterpret_cast<Self*>(self);
    Borrow borrow = Borrow::take(s.borrow, Mode);
    if (!borrow) return nullptr;
    typename std::remove_cvref_t<decltype(Sig)>::Args converted;
    if (!convert_arguments(Sig, slots, converted)) return nullptr;
    return Body(s, converted);
  });
}

template <auto Body, BorrowMode Mode>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  using Self = typename BodyTraits<decltype(Body)>::Self;
  return guarded([&]() -> PyObject* {
    Self& s = *reinterpret_cast<Self*>(self);
    Borrow borrow = Borrow::take(s.borrow, Mode);
    if (!borrow) return nullptr;
    return Body(s);
  });
}

template <auto& Sig, auto Body>
PyObject* function_entry(PyObject* /*self or module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* slots[std::remove_cvref_t<decltype(Sig)>::SIZE];
    if (!bind_arguments(Sig.list(), args, nargs, kwnames, slots)) return nullptr;
    typename std::remove_cvref_t<decltype(Sig)>::Args converted;
    if (!convert_arguments(Sig, slots, converted)) return nullptr;
    return Body(converted);
  });
}

template <auto& Sig, auto Body>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* slots[std::remove_cvref_t<decltype(Sig)>::SIZE];
    if (!bind_arguments(Sig.list(), args, kwargs, slots)) return nullptr;
    typename std::remove_cvref_t<decltype(Sig)>::Args converted;
    if (!convert_arguments(Sig, slots, converted)) return nullptr;
    return Body(type, converted);
  });
}

// A fast-call function as PyMethodDef stores it (through void(*)(void), which g++ accepts).
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Method-table entries. `doc` begins with the text-signature line ("name($self, a, b=None)"),
// a line "--" and an empty line.
template <auto& Sig, auto Body, BorrowMode Mode = BorrowMode::Shared>
PyMethodDef method(const char* doc) {
  return {Sig.name, as_cfunction(&method_entry<Sig, Body, Mode>), METH_FASTCALL | METH_KEYWORDS,
          doc};
}
template <auto Body, BorrowMode Mode = BorrowMode::Shared>
PyMethodDef method_noargs(const char* name, const char* doc) {
  return {name, as_cfunction(&noargs_entry<Body, Mode>), METH_NOARGS, doc};
}
template <auto& Sig, auto Body>
PyMethodDef static_method(const char* doc) {
  return {Sig.name, as_cfunction(&function_entry<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}
template <auto& Sig, auto Body>
PyMethodDef function(const char* doc) {
  return {Sig.name, as_cfunction(&function_entry<Sig, Body>), METH_FASTCALL | METH_KEYWORDS, doc};
}

// ---------------------------------------------------------------------------------------------
// Results: new references built from native values.

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

// A new list of n items, item i made by make(i): a new reference, or null with the exception set
// (which ends the list and returns null).
template <class F>
PyObject* list_of(size_t n, F&& make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// int for unsigned integers, float for floats (f32 widened exactly), True/False, str for text,
// None for an absent optional, a list for a vector.
template <class T>
PyObject* to_py(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return PyBool_FromLong(v);
  } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
    return PyLong_FromUnsignedLongLong(v);
  } else if constexpr (std::is_floating_point_v<T>) {
    return PyFloat_FromDouble(static_cast<double>(v));
  } else if constexpr (std::is_same_v<T, std::string>) {
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
  } else if constexpr (IsOptional<T>::value) {
    return v ? to_py(*v) : Py_NewRef(Py_None);
  } else if constexpr (IsVector<T>::value) {
    return list_of(v.size(), [&](size_t i) { return to_py(v[i]); });
  } else {
    static_assert(!sizeof(T), "no Python result kind for this type");
  }
}

inline PyObject* none() { return Py_NewRef(Py_None); }

// A new one-dimensional NumPy array (float32, uint64 or uint8) of `size` elements, allocated at
// that size and filled by fill(T* data), which writes every element.
template <class T, class Fill>
PyObject* numpy_filled(size_t size, Fill fill) {
  constexpr int TYPE = std::is_same_v<T, float>      ? NPY_FLOAT32
                       : std::is_same_v<T, uint64_t> ? NPY_UINT64
                       : std::is_same_v<T, uint8_t>  ? NPY_UINT8
                                                     : -1;
  static_assert(TYPE != -1, "no NumPy array kind for this type");
  npy_intp n = static_cast<npy_intp>(size);
  PyObject* array = PyArray_SimpleNew(1, &n, TYPE);
  if (array == nullptr) return nullptr;
  if (size != 0) fill(static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
  return array;
}

// A new one-dimensional NumPy array owning a copy of `values`, allocated at its final size and
// filled by one copy.
template <class T>
PyObject* to_numpy(std::span<const T> values) {
  return numpy_filled<T>(
      values.size(), [&](T* data) { std::memcpy(data, values.data(), values.size() * sizeof(T)); });
}

// The keys of one kind of result dict, interned once (on first use, under the interpreter lock)
// and kept for the life of the process with a dict of that shape to copy.
template <size_t N>
class DictKeys {
 public:
  explicit constexpr DictKeys(const char* const (&names)[N]) {
    for (size_t i = 0; i < N; ++i) names_[i] = names[i];
  }

  // A new dict {names[i]: values[i]} in key order. Takes over the values (new references);
  // null, with the exception set, when a value is null or an insertion fails.
  PyObject* make(const std::array<PyObject*, N>& values) {
    std::array<PyRef, N> owned;
    for (size_t i = 0; i < N; ++i) owned[i] = PyRef(values[i]);
    for (const PyRef& v : owned) {
      if (!v) return nullptr;
    }
    if (!shape_ && !make_shape()) return nullptr;
    // A copy of a dict already holding every key in order is one table copy; setting the values
    // then replaces entries without growing the table.
    PyRef dict(PyDict_Copy(shape_));
    if (!dict) return nullptr;
    for (size_t i = 0; i < N; ++i) {
      if (PyDict_SetItem(dict.get(), keys_[i], owned[i].get()) < 0) return nullptr;
    }
    return dict.release();
  }

 private:
  bool make_shape() {
    PyRef shape(PyDict_New());
    if (!shape) return false;
    for (size_t i = 0; i < N; ++i) {
      keys_[i] = PyUnicode_InternFromString(names_[i]);
      if (keys_[i] == nullptr || PyDict_SetItem(shape.get(), keys_[i], Py_None) < 0) return false;
    }
    shape_ = shape.release();
    return true;
  }

  std::array<const char*, N> names_{};
  std::array<PyObject*, N> keys_{};
  PyObject* shape_ = nullptr;  // {key: None} in key order
};

template <size_t N>
DictKeys(const char* const (&)[N]) -> DictKeys<N>;

}  // namespace quellmar::python
