#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/call_frame.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "quellmar/core/internal_fault.h"
#include "quellmar/core/str_cat.h"

namespace quellmar::python {

// ---------------------------------------------------------------------------------------------
// Borrows and failures

void raise_borrow_conflict(BorrowMode mode) {
  PyErr_SetString(PyExc_RuntimeError,
                  mode == BorrowMode::Shared ? "Already mutably borrowed" : "Already borrowed");
}

namespace {

// Sets `type` with a UTF-8 message; bytes that are not UTF-8 (a path, say) become U+FFFD.
void set_error_text(PyObject* type, const std::string& text) {
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

// MemoryError's text for an allocation that failed somewhere in a call.
constexpr const char* OUT_OF_MEMORY = "out of memory";

[[noreturn]] void abort_at_ffi_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace

void raise_engine_error(const EngineError& error) {
  set_error_text(PyExc_RuntimeError, error.message());
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  set_error_text(type != nullptr ? type : PyExc_SystemError, message);
}

void raise_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const AllocationFailure& e) {
      set_error_text(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
      set_error_text(PyExc_MemoryError, OUT_OF_MEMORY);
    } catch (const std::exception& e) {
      raise_panic(e.what());
    } catch (...) {
      raise_panic("unknown internal failure");
    }
  } catch (...) {
    abort_at_ffi_boundary();
  }
}

void raise_downcast_error(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef name(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

// ---------------------------------------------------------------------------------------------
// Argument kinds

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

// ---------------------------------------------------------------------------------------------
// Binding arguments to parameters

namespace {

std::string full_name(const ParamNames& p) {
  return p.owner != nullptr ? str_cat(p.owner, ".", p.name, "()") : str_cat(p.name, "()");
}

void too_many_positional(const ParamNames& p, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  std::string text = p.required != p.count
                         ? str_cat(full_name(p), " takes from ", p.required, " to ", p.count,
                                   " positional arguments but ", given, " ", was, " given")
                         : str_cat(full_name(p), " takes ", p.count, " positional arguments but ",
                                   given, " ", was, " given");
  set_error_text(PyExc_TypeError, text);
}

// The parameter that `key` names, or p.count.
size_t find_keyword(const ParamNames& p, PyObject* key) {
  if (!PyUnicode_Check(key)) return p.count;
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &len);
  if (text == nullptr) {
    PyErr_Clear();
    return p.count;
  }
  for (size_t i = 0; i < p.count; ++i) {
    if (std::strlen(p.names[i]) == static_cast<size_t>(len) &&
        std::memcmp(p.names[i], text, static_cast<size_t>(len)) == 0) {
      return i;
    }
  }
  return p.count;
}

// Fills slots[i] from one keyword argument.
bool bind_keyword(const ParamNames& p, PyObject* key, PyObject* value, PyObject** slots) {
  size_t i = find_keyword(p, key);
  if (i == p.count) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 full_name(p).c_str(), key);
    return false;
  }
  if (slots[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(p).c_str(),
                 p.names[i]);
    return false;
  }
  slots[i] = value;
  return true;
}

// Every required parameter has a value, else "{} missing {} required positional {}: 'a', 'b'
// and 'c'".
bool check_missing(const ParamNames& p, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < p.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(p.names[i]);
  }
  if (missing.empty()) return true;
  std::string text = str_cat(full_name(p), " missing ", missing.size(), " required positional ",
                             missing.size() == 1 ? "argument" : "arguments", ": ");
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) {
      if (missing.size() > 2) text += ',';
      text += i + 1 == missing.size() ? " and " : " ";
    }
    text += str_cat("'", missing[i], "'");
  }
  set_error_text(PyExc_TypeError, text);
  return false;
}

}  // namespace

bool bind_arguments(const ParamNames& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  if (nargs > static_cast<Py_ssize_t>(p.count)) {
    too_many_positional(p, nargs);
    return false;
  }
  for (size_t i = 0; i < p.count; ++i) {
    slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return check_missing(p, slots);
}

bool bind_arguments(const ParamNames& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > static_cast<Py_ssize_t>(p.count)) {
    too_many_positional(p, nargs);
    return false;
  }
  for (size_t i = 0; i < p.count; ++i) {
    slots[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(p, key, value, slots)) return false;
    }
  }
  return check_missing(p, slots);
}

void prefix_argument_error(const char* name) {
  if (PyErr_Occurred() != PyExc_TypeError) return;  // only TypeError itself, not its subclasses
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref(type), value_ref(value), traceback_ref(traceback);
  PyRef text(PyObject_Str(value));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

}  // namespace quellmar::python
