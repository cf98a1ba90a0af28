#pragma once

// Argument kinds: how one Python argument becomes an owned C++ value, selected by the C++ type of
// the member it fills (uint64_t, uint32_t, uint16_t, uint8_t, float, double, bool, std::string,
// F32Vector, F32AnyShape, F32Matrix, std::vector<T>, std::tuple<T...>, std::optional<T>, PyRef;
// EngineArg in engine_type.h).
// ArgKind<T>::convert(obj, out) converts one argument, false with the exception set. These are the
// conversions without the argument-name prefix; the binder adds it.

#include "quellmar/python/py.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace quellmar::python {

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

}  // namespace quellmar::python
