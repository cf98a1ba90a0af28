#pragma once

// The one way into the interpreter's headers: every source of the module includes this first.
// NumPy's C API table is one symbol shared by all of them; module.cc imports it, and every other
// translation unit defines NO_IMPORT_ARRAY before including this header.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quellmar_numpy_api
#include <numpy/arrayobject.h>

#include <atomic>
#include <utility>

namespace quellmar::python {

// ---------------------------------------------------------------------------------------------
// Threads the interpreter ends.
//
// While the interpreter shuts down, a thread that asks for the interpreter lock back (a daemon
// thread coming out of an engine call, or one whose Python code gave the lock up for a moment)
// is not given it: the interpreter ends the thread there, by a forced unwind of its stack
// (`abi::__forced_unwind`). That unwind must run to the thread's base: every frame between the
// request and the interpreter lets it pass (a catch-all rethrows it when
// interpreter_ended_this_thread() says so, and no frame on the way is noexcept), and the
// destructors it runs must not touch Python, since the thread holds no interpreter lock and the
// interpreter is being torn down. The references such a thread still owns are left behind with
// the interpreter. (The unwind is told apart by that test rather than caught by its type: a
// handler for it would bind a reference to an exception object that does not exist.)

namespace detail {
// Set for good once any thread was ended that way; it keeps the common test a plain load.
inline std::atomic<bool> g_some_thread_ended{false};
inline thread_local bool t_thread_ended = false;
}  // namespace detail

inline void mark_thread_ended_by_interpreter() {
  detail::t_thread_ended = true;
  detail::g_some_thread_ended.store(true, std::memory_order_relaxed);
}

// Whether this thread may no longer use Python: the interpreter is ending it, or it is shutting
// down and this thread does not hold the interpreter lock.
inline bool interpreter_ended_this_thread() {
  if (detail::g_some_thread_ended.load(std::memory_order_relaxed) && detail::t_thread_ended) {
    return true;
  }
  if (!_Py_IsFinalizing() || PyGILState_Check()) return false;
  mark_thread_ended_by_interpreter();
  return true;
}

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
  // Dropping a reference can run Python code (a finalizer), so neither this nor the destructor is
  // noexcept: a thread the interpreter ends in that code unwinds through them.
  PyRef& operator=(PyRef&& other) {
    if (this != &other) {
      drop();
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() noexcept(false) { drop(); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  // A thread that the interpreter is ending leaves its reference behind.
  void drop() {
    if (obj_ != nullptr && !interpreter_ended_this_thread()) Py_DECREF(obj_);
  }

  PyObject* obj_ = nullptr;
};

// Gives up the interpreter lock for its scope (unless constructed inactive). Inside it no Python
// object may be touched; every argument was copied into native memory before.
//
// Taking the lock back is where a shutting-down interpreter ends a daemon thread: the destructor
// then lets the forced unwind pass on (it is not noexcept for that reason) after marking the
// thread, so that nothing unwound after it touches Python.
class ReleaseGil {
 public:
  explicit ReleaseGil(bool active = true) : state_(active ? PyEval_SaveThread() : nullptr) {}
  ~ReleaseGil() noexcept(false) {
    if (state_ == nullptr) return;
    // Marks the thread when taking the lock back does not return but unwinds.
    struct MarkUnlessTaken {
      bool taken = false;
      ~MarkUnlessTaken() {
        if (!taken) mark_thread_ended_by_interpreter();
      }
    } mark;
    PyEval_RestoreThread(state_);
    mark.taken = true;
  }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;  // null when inactive
};

}  // namespace quellmar::python
