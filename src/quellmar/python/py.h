#pragma once

// The one way into the interpreter's headers: every source of the module includes this first.
// NumPy's C API table is one symbol shared by all of them; module.cc imports it, and every other
// translation unit defines NO_IMPORT_ARRAY before including this header.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quellmar_numpy_api
#include <numpy/arrayobject.h>

#include <utility>

namespace quellmar::python {

// Owns one reference (or none). Move-only; release() hands the reference to the caller. A bare
// PyObject* elsewhere is always borrowed.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (null allowed: a failed call whose exception is set).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

// Gives up the interpreter lock for its scope. Inside it no Python object may be touched; every
// argument was copied into native memory before.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace quellmar::python
