#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/exceptions.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "quellmar/core/internal_fault.h"

namespace quellmar::python {

namespace {

PyObject* g_panic_exception = nullptr;  // made once per process

// MemoryError's text for an allocation that failed somewhere in a call.
constexpr const char* OUT_OF_MEMORY = "out of memory";

[[noreturn]] void abort_at_ffi_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace

void set_error_text(PyObject* type, const std::string& text) {
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

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

PyObject* panic_exception_type() {
  if (g_panic_exception == nullptr) {
    g_panic_exception = PyErr_NewExceptionWithDoc(
        "quellmar._native.PanicException",
        "Raised when a call ends in an internal failure of the engine or the binding (a broken\n"
        "invariant, never bad input). Derived from BaseException, so ``except Exception`` does\n"
        "not catch it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_exception;
}

}  // namespace quellmar::python
