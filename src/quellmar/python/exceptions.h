#pragma once

// Python exceptions raised by the call frame: the engine's errors, the downcast errors of the
// argument kinds, and the panic exception that every other C++ failure becomes on its way out of
// a call.

#include "quellmar/python/py.h"

#include <string>

#include "quellmar/core/engine_error.h"

namespace quellmar::python {

// Sets `type` with a UTF-8 message; bytes that are not UTF-8 (a path, say) become U+FFFD.
void set_error_text(PyObject* type, const std::string& text);
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
// included) into PanicException. No C++ exception leaves it, except the forced unwind of a thread
// that the interpreter ends (py.h), which is let through: it cannot be stopped, only passed on.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (...) {
    if (interpreter_ended_this_thread()) throw;
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace quellmar::python
