#pragma once

// Results: the new references a method body returns, built from native values (ints, floats,
// strings, lists, NumPy arrays and dicts of a fixed set of keys).

#include "quellmar/python/py.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace quellmar::python {

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
