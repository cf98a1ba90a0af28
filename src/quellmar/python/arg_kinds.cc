#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/arg_kinds.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "quellmar/core/str_cat.h"
#include "quellmar/python/exceptions.h"

namespace quellmar::python {

bool convert_u64(PyObject* obj, uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_narrow(PyObject* obj, uint64_t max, uint64_t& out) {
  long v = PyLong_AsLong(obj);  // through __index__ for objects that are not ints
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || static_cast<uint64_t>(v) > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint64_t>(v);
  return true;
}

bool convert_f64(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

float narrow_to_f32(double v) {
  // Rounded to nearest; beyond the largest float by half an ulp or more the value is infinite.
  constexpr double LIMIT = static_cast<double>(FLT_MAX) + 0x1p103;
  if (std::isfinite(v) && std::fabs(v) > static_cast<double>(FLT_MAX)) {
    if (std::fabs(v) >= LIMIT) return v > 0 ? INFINITY : -INFINITY;
    return v > 0 ? FLT_MAX : -FLT_MAX;
  }
  return static_cast<float>(v);
}

namespace {

// A NumPy boolean scalar: a type named "bool_" or "bool" from the module "numpy".
bool is_numpy_bool(PyTypeObject* type) {
  PyRef name(PyType_GetName(type));
  if (!name) return false;
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return false;
  }
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) return false;
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool convert_bool(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  bool numpy_bool = is_numpy_bool(type);
  if (PyErr_Occurred()) return false;
  if (!numpy_bool) {
    raise_downcast_error(obj, "bool");
    return false;
  }
  inquiry to_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (to_bool == nullptr) {
    PyRef name(PyType_GetQualName(type));
    if (name) {
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   name.get());
    }
    return false;
  }
  int v = to_bool(obj);
  if (v < 0) return false;
  out = v != 0;
  return true;
}

bool convert_str(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_downcast_error(obj, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<size_t>(len));
  return true;
}

bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(obj)) return true;
  static PyObject* sequence_abc = nullptr;  // kept for the process
  if (sequence_abc == nullptr) {
    PyRef abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    sequence_abc = PyObject_GetAttrString(abc.get(), "Sequence");
    if (sequence_abc == nullptr) return false;
  }
  int r = PyObject_IsInstance(obj, sequence_abc);
  if (r < 0) return false;
  if (r == 0) raise_downcast_error(obj, "Sequence");
  return r == 1;
}

bool check_tuple(PyObject* obj, size_t length) {
  if (!PyTuple_Check(obj)) {
    raise_downcast_error(obj, "tuple");
    return false;
  }
  size_t got = static_cast<size_t>(PyTuple_GET_SIZE(obj));
  if (got != length) {
    set_error_text(PyExc_ValueError,
                   str_cat("expected tuple of length ", length, ", but got tuple of length ", got));
    return false;
  }
  return true;
}

bool check_f32_array(PyObject* obj, int ndim) {
  if (PyArray_Check(obj)) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
    if ((ndim == ANY_NDIM || PyArray_NDIM(a) == ndim) && PyArray_TYPE(a) == NPY_FLOAT32 &&
        PyArray_ISNOTSWAPPED(a)) {
      return true;
    }
  }
  const char* expected = ndim == 1   ? "ndarray[float32, ndim=1]"
                         : ndim == 2 ? "ndarray[float32, ndim=2]"
                                     : "ndarray[float32]";
  raise_downcast_error(obj, expected);
  return false;
}

bool copy_f32_block(PyArrayObject* array, std::vector<float>& out, PyObject* error_type) {
  npy_intp n = PyArray_SIZE(array);
  out.clear();
  if (n == 0) return true;
  const void* data = PyArray_DATA(array);
  if (data == nullptr || !PyArray_ISALIGNED(array) ||
      !(PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array))) {
    PyErr_SetString(error_type, F32Vector::NOT_CONTIGUOUS);
    return false;
  }
  const float* first = static_cast<const float*>(data);
  out.assign(first, first + n);
  return true;
}

bool ArgKind<F32Matrix>::convert(PyObject* obj, F32Matrix& out) {
  if (!check_f32_array(obj, 2)) return false;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
  const npy_intp rows = PyArray_DIM(a, 0);
  const npy_intp cols = PyArray_DIM(a, 1);
  out.rows = static_cast<uint64_t>(rows);
  out.cols = static_cast<uint64_t>(cols);
  out.data.clear();
  if (rows == 0 || cols == 0) return true;
  const char* base = static_cast<const char*>(PyArray_DATA(a));
  if (PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a)) {
    const float* first = reinterpret_cast<const float*>(base);
    out.data.assign(first, first + rows * cols);
    return true;
  }
  // Any other layout: element by element in row-major order (memcpy also serves misaligned data).
  out.data.resize(static_cast<size_t>(rows * cols));
  const npy_intp row_stride = PyArray_STRIDE(a, 0);
  const npy_intp col_stride = PyArray_STRIDE(a, 1);
  float* dst = out.data.data();
  for (npy_intp r = 0; r < rows; ++r) {
    const char* row = base + r * row_stride;
    for (npy_intp c = 0; c < cols; ++c) std::memcpy(dst++, row + c * col_stride, sizeof(float));
  }
  return true;
}

}  // namespace quellmar::python
