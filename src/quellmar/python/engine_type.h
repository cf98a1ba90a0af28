#pragma once

// The Python class Engine: its instance struct, the one way from a call to the guarded engine,
// and the method groups the class is assembled from.

#include "quellmar/python/py.h"

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "quellmar/core/internal_fault.h"
#include "quellmar/engine/engine.h"
#include "quellmar/engine/engine_mutex.h"
#include "quellmar/engine/maintenance.h"
#include "quellmar/python/call_frame.h"

namespace quellmar::python {

// The native state of one Engine object.
struct EngineState {
  // The engine behind the one engine lock; the maintenance thread holds a second reference.
  std::shared_ptr<EngineMutex> inner;
  // The background maintenance thread's handle: absent until the first start_maintenance,
  // replaced by each later one.
  std::unique_ptr<MaintenanceHandle> maintenance;
};

struct PyEngine {
  PyObject_HEAD BorrowFlag borrow;
  EngineState state;
};

// The class object (made when the module is executed, then kept for the process).
PyTypeObject* engine_type();
// Creates the class on the first call and adds nothing to the module; null with the exception
// set on failure.
PyTypeObject* setup_engine_type(PyObject* module);

// A new Engine object owning `engine` (its own engine lock, no maintenance). When the object
// cannot be allocated the engine is closed again and null is returned with the exception set.
PyObject* wrap_engine(std::unique_ptr<Engine> engine);

// Method groups: each file of Engine methods exports its table, and engine_type.cc joins them.
std::span<const PyMethodDef> engine_lifecycle_methods();
std::span<const PyMethodDef> engine_cell_methods();
std::span<const PyMethodDef> engine_trace_methods();
std::span<const PyMethodDef> engine_settings_methods();
std::span<const PyMethodDef> engine_pack_methods();
std::span<const PyMethodDef> engine_pack_directory_methods();
std::span<const PyMethodDef> engine_maintenance_methods();
std::span<const PyMethodDef> engine_synaptic_methods();
std::span<const PyMethodDef> engine_snapshot_methods();

// ---------------------------------------------------------------------------------------------
// The engine lock.

enum class Gil { Hold, Release };

// What a body run under the engine lock yields: the value of a Result<T>, nothing for a Status,
// or the body's own return value.
struct Done {};

template <class R>
struct LockedValue {
  using Type = R;
  static std::optional<EngineError> error(const R&) { return std::nullopt; }
  static R take(R&& r) { return std::move(r); }
};
template <class T>
struct LockedValue<Result<T>> {
  using Type = T;
  static std::optional<EngineError> error(const Result<T>& r) {
    return r.is_ok() ? std::nullopt : std::optional<EngineError>(r.error());
  }
  static T take(Result<T>&& r) { return std::move(r).value(); }
};
template <>
struct LockedValue<void> {
  using Type = Done;
};
template <>
struct LockedValue<Status> {
  using Type = Done;
  static std::optional<EngineError> error(const Status& s) {
    return s.is_ok() ? std::nullopt : std::optional<EngineError>(s.error());
  }
  static Done take(Status&&) { return {}; }
};

// PanicException's text for an allocation that failed under the engine lock after the engine may
// have begun to change: the lock is poisoned, and every later call on the engine fails.
inline constexpr const char* OUT_OF_MEMORY_ENGINE_LOST =
    "out of memory while the engine was changing: the engine lock is poisoned and this engine "
    "can no longer be used";

// Runs body(Engine&) under the engine lock of `self` and returns its value. With Gil::Release the
// interpreter lock is given up before the engine lock is requested and taken back only after the
// engine lock is released, so the body must touch no Python object. With Gil::Hold the body still
// must not create, drop or convert any Python object: that can run Python code (a collection runs
// finalizers), which could call into this engine or give the interpreter lock to a thread waiting
// for the engine lock, and so deadlock; bodies copy what the result needs into native values.
//
// Empty, with the exception set, when the lock is poisoned (RuntimeError "engine lock poisoned"),
// when the body's Result or Status holds an EngineError (RuntimeError with its message), or when
// an allocation failed in the body (std::bad_alloc other than AllocationFailure), which poisons
// the lock (PanicException OUT_OF_MEMORY_ENGINE_LOST). Any other exception escaping the body
// poisons the lock and is thrown on once both locks are as they were before the call; so is an
// AllocationFailure (the body changed nothing), which leaves the lock usable.
template <Gil G, class Body>
auto with_engine(PyEngine& self, Body&& body)
    -> std::optional<typename LockedValue<std::invoke_result_t<Body, Engine&>>::Type> {
  using R = std::invoke_result_t<Body, Engine&>;
  static_assert(!std::is_convertible_v<R, const PyObject*>,
                "a body run under the engine lock returns native values, never Python objects");
  using V = LockedValue<R>;
  std::optional<typename V::Type> value;
  std::optional<EngineError> error;
  bool poisoned = false;
  bool engine_lost = false;
  std::exception_ptr failure;
  {
    ReleaseGil nogil(G == Gil::Release);
    std::optional<EngineMutex::Guard> guard = self.state.inner->lock();
    if (!guard) {
      poisoned = true;
    } else {
      try {
        if constexpr (std::is_void_v<R>) {
          body(**guard);
          value.emplace();
        } else {
          R r = body(**guard);
          error = V::error(r);
          if (!error) value.emplace(V::take(std::move(r)));
        }
      } catch (const AllocationFailure&) {
        failure = std::current_exception();
      } catch (const std::bad_alloc&) {
        guard->poison();
        engine_lost = true;
      } catch (...) {
        guard->poison();
        // Only a body holding the interpreter lock could meet the forced unwind of a thread the
        // interpreter ends (py.h), and only by running Python code, which it must not do.
        if constexpr (G == Gil::Hold) {
          if (interpreter_ended_this_thread()) throw;
        }
        failure = std::current_exception();
      }
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (engine_lost) {
    raise_panic(OUT_OF_MEMORY_ENGINE_LOST);
  } else if (poisoned) {
    PyErr_SetString(PyExc_RuntimeError, ENGINE_LOCK_POISONED);
  } else if (error) {
    raise_engine_error(*error);
  }
  return value;
}

// The Engine object kind: an argument that must be an Engine instance, borrowed shared for the
// call.
struct EngineArg {
  PyRef obj;
  Borrow borrow;
  PyEngine* engine = nullptr;
};

template <>
struct ArgKind<EngineArg> {
  static bool convert(PyObject* obj, EngineArg& out);
};

}  // namespace quellmar::python
