// A test-only extension module, _frame_probe, that puts each piece of the call frame before
// Python on its own: one function per argument kind (parameters named as the engine methods name
// them), the failure mapping, ReadResult objects, an Engine class of its own with a way to start
// its maintenance thread, and an engine holder whose methods sleep or fail under the engine
// lock, with or without the interpreter lock, under a shared or an exclusive borrow, or wait at
// a gate that the test opens.
#include "quellmar/python/py.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "quellmar/core/internal_fault.h"
#include "quellmar/python/call_frame.h"
#include "quellmar/python/engine_type.h"
#include "quellmar/python/read_result.h"

namespace quellmar::python {

namespace {

// One function per kind: converts its argument and returns it as Python sees it back.
template <class T>
struct One {
  T value{};
};

#define QM_PROBE_KIND(fn, param, T)                                                   \
  constexpr auto fn##_SIG = signature(nullptr, #fn, required(param, &One<T>::value)); \
  PyObject* fn(One<T>& a) { return to_py(a.value); }

QM_PROBE_KIND(u64, "owner", uint64_t)
QM_PROBE_KIND(u32, "rank", uint32_t)
QM_PROBE_KIND(u16, "layer", uint16_t)
QM_PROBE_KIND(u8, "edge_type", uint8_t)
QM_PROBE_KIND(f32, "salience", float)
QM_PROBE_KIND(f64, "fires_at_unix_secs", double)
QM_PROBE_KIND(boolean, "enabled", bool)
QM_PROBE_KIND(text, "label", std::string)
QM_PROBE_KIND(optional_u64, "owner", std::optional<uint64_t>)

#undef QM_PROBE_KIND

constexpr auto vector_SIG =
    signature(nullptr, "vector", required("retrieval_key", &One<F32Vector>::value));
PyObject* vector(One<F32Vector>& a) {
  std::vector<float> v;
  if (!a.value.copy(v)) return nullptr;
  return to_py(v);
}

// The vector back as a new float32 array, and its elements as uint64 and uint8 arrays.
PyObject* arrays(One<F32Vector>& a) {
  std::vector<float> v;
  if (!a.value.copy(v)) return nullptr;
  std::vector<uint64_t> wide(v.begin(), v.end());
  std::vector<uint8_t> narrow(v.begin(), v.end());
  return Py_BuildValue("(NNN)", to_numpy<float>(v), to_numpy<uint64_t>(wide),
                       to_numpy<uint8_t>(narrow));
}
constexpr auto arrays_SIG =
    signature(nullptr, "arrays", required("retrieval_key", &One<F32Vector>::value));

constexpr auto any_shape_SIG =
    signature(nullptr, "any_shape", required("lora_a", &One<F32AnyShape>::value));
PyObject* any_shape(One<F32AnyShape>& a) {
  std::vector<float> v;
  if (!a.value.copy(v)) return nullptr;
  return to_py(v);
}

constexpr auto matrix_SIG =
    signature(nullptr, "matrix", required("token_matrix", &One<F32Matrix>::value));
PyObject* matrix(One<F32Matrix>& a) {
  return Py_BuildValue("(KKN)", static_cast<unsigned long long>(a.value.rows),
                       static_cast<unsigned long long>(a.value.cols), to_py(a.value.data));
}

// Type checks of the whole sequence first, then the copies in list order.
using Payload = std::tuple<uint16_t, F32Vector>;
constexpr auto payloads_SIG =
    signature(nullptr, "payloads", required("layer_payloads", &One<std::vector<Payload>>::value));
PyObject* payloads(One<std::vector<Payload>>& a) {
  PyRef out(PyList_New(0));
  if (!out) return nullptr;
  for (const auto& [layer, data] : a.value) {
    std::vector<float> v;
    if (!data.copy(v)) return nullptr;
    PyRef item(Py_BuildValue("(NN)", to_py(layer), to_py(v)));
    if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
  }
  return out.release();
}

// Arrays whose contiguity failure is a TypeError.
struct ViewKeysArgs {
  uint64_t pack_id = 0;
  std::vector<F32Vector> view_keys;
};
constexpr auto view_keys_SIG =
    signature(nullptr, "view_keys", required("pack_id", &ViewKeysArgs::pack_id),
              required("view_keys", &ViewKeysArgs::view_keys));
PyObject* view_keys(ViewKeysArgs& a) {
  std::vector<std::vector<float>> keys(a.view_keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!a.view_keys[i].copy(keys[i], PyExc_TypeError)) return nullptr;
  }
  return to_py(keys.size());
}

constexpr auto objects_SIG =
    signature(nullptr, "objects", required("requests", &One<std::vector<PyRef>>::value));
PyObject* objects(One<std::vector<PyRef>>& a) { return to_py(a.value.size()); }

struct DefaultsArgs {
  uint64_t a = 0;
  double hours = 0.0;
  double eviction_threshold = 15.0;
};
constexpr auto defaults_SIG =
    signature(nullptr, "defaults", required("a", &DefaultsArgs::a),
              with_default("hours", &DefaultsArgs::hours),
              with_default("eviction_threshold", &DefaultsArgs::eviction_threshold));
PyObject* defaults(DefaultsArgs& a) {
  return Py_BuildValue("(NNN)", to_py(a.a), to_py(a.hours), to_py(a.eviction_threshold));
}

constexpr auto fail_SIG = signature(nullptr, "fail", required("kind", &One<std::string>::value));
PyObject* fail(One<std::string>& a) {
  if (a.value == "fault") throw InternalFault("invariant broken: probe");
  if (a.value == "bad_alloc") throw std::bad_alloc();
  throw std::runtime_error("some other failure");
}

// A ReadResult built the way the cell reads build them.
struct HitArgs {
  uint64_t cell_id = 0;
  uint64_t owner = 0;
  uint16_t layer = 0;
  float score = 0.0f;
  uint8_t tier = 0;
  float importance = 0.0f;
  F32Vector key;
  F32Vector value;
};
constexpr auto read_result_SIG =
    signature(nullptr, "read_result", required("cell_id", &HitArgs::cell_id),
              required("owner", &HitArgs::owner), required("layer", &HitArgs::layer),
              required("score", &HitArgs::score), required("tier", &HitArgs::tier),
              required("importance", &HitArgs::importance), required("key", &HitArgs::key),
              required("value", &HitArgs::value));
PyObject* read_result(HitArgs& a) {
  CellReadResult hit;
  hit.record.cell_id = a.cell_id;
  hit.record.owner = a.owner;
  hit.record.layer = a.layer;
  hit.score = a.score;
  hit.tier = a.tier;
  if (!a.key.copy(hit.record.key) || !a.value.copy(hit.record.value)) return nullptr;
  return make_read_result(std::move(hit), a.importance);
}

// Starts a maintenance thread on an Engine of this module (sweeps and compactions at the given
// interval), as start_maintenance does.
struct RunMaintenanceArgs {
  EngineArg engine;
  double interval_secs = 0.0;
};
constexpr auto run_maintenance_SIG =
    signature(nullptr, "run_maintenance", required("engine", &RunMaintenanceArgs::engine),
              required("interval_secs", &RunMaintenanceArgs::interval_secs));
PyObject* run_maintenance(RunMaintenanceArgs& a) {
  const auto ns = static_cast<uint64_t>(a.interval_secs * 1e9);
  EngineState& state = a.engine.engine->state;
  auto handle = std::make_unique<MaintenanceHandle>(MaintenanceConfig{ns, ns, 15.0f, 1.0f, true});
  Status started = handle->start(state.inner);
  if (!started) {
    raise_engine_error(started.error());
    return nullptr;
  }
  state.maintenance = std::move(handle);
  return none();
}

// Stores one pack without layer payloads through Engine::mem_write_pack and returns its id, so
// that tests of the pack queries need no pack-writing method of the Engine class.
struct WritePackArgs {
  EngineArg engine;
  uint64_t owner = 0;
  F32Vector retrieval_key;
  float salience = 0.0f;
};
constexpr auto write_pack_SIG =
    signature(nullptr, "write_pack", required("engine", &WritePackArgs::engine),
              required("owner", &WritePackArgs::owner),
              required("retrieval_key", &WritePackArgs::retrieval_key),
              required("salience", &WritePackArgs::salience));
PyObject* write_pack(WritePackArgs& a) {
  PackWrite request;
  request.owner = a.owner;
  request.salience = a.salience;
  if (!a.retrieval_key.copy(request.retrieval_key)) return nullptr;
  std::optional<PackId> id = with_engine<Gil::Hold>(
      *a.engine.engine, [&](Engine& e) { return e.mem_write_pack(std::move(request)); });
  return id ? to_py(*id) : nullptr;
}

// ---- An engine holder with the instance layout of Engine objects.

struct HolderNewArgs {
  std::string path;
};
constexpr auto HOLDER_NEW = signature("Holder", "__new__", required("path", &HolderNewArgs::path));
PyObject* holder_new(PyTypeObject* type, HolderNewArgs& a) {
  Result<std::unique_ptr<Engine>> engine = Engine::open(a.path);
  if (!engine) {
    raise_engine_error(engine.error());
    return nullptr;
  }
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  PyEngine* self = reinterpret_cast<PyEngine*>(obj);
  new (&self->borrow) BorrowFlag();
  new (&self->state) EngineState{std::make_shared<EngineMutex>(std::move(engine).value()), nullptr};
  return obj;
}

void holder_dealloc(PyObject* obj) {
  PyEngine* self = reinterpret_cast<PyEngine*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  self->state.~EngineState();
  self->borrow.~BorrowFlag();
  type->tp_free(obj);
  Py_DECREF(type);
}

struct SleepArgs {
  double seconds = 0.0;
};
constexpr auto SLEEP_NOGIL =
    signature("Holder", "sleep_nogil", required("seconds", &SleepArgs::seconds));
constexpr auto SLEEP_GIL =
    signature("Holder", "sleep_gil", required("seconds", &SleepArgs::seconds));
constexpr auto SLEEP_EXCLUSIVE =
    signature("Holder", "sleep_exclusive", required("seconds", &SleepArgs::seconds));

void nap(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Sleeps under the engine lock with the interpreter lock released (as the long methods run).
PyObject* sleep_nogil(PyEngine& self, SleepArgs& a) {
  if (!with_engine<Gil::Release>(self, [&](Engine&) { nap(a.seconds); })) return nullptr;
  return none();
}
// Sleeps under the engine lock holding the interpreter lock (as the short methods run).
PyObject* sleep_gil(PyEngine& self, SleepArgs& a) {
  if (!with_engine<Gil::Hold>(self, [&](Engine&) { nap(a.seconds); })) return nullptr;
  return none();
}
// Sleeps under an exclusive borrow with the interpreter lock released.
PyObject* sleep_exclusive(PyEngine& /*self*/, SleepArgs& a) {
  {
    ReleaseGil nogil;
    nap(a.seconds);
  }
  return none();
}

// A handshake between a test and a holder method it runs in another thread: the method says that
// it holds its borrow, the test checks what it wants to while it does, then lets it go. A method
// that is never let go leaves after its `seconds`, so that a failed test does not hang.
class Gate {
 public:
  void hold(double seconds) {
    std::unique_lock lock(mu_);
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return open_; });
    held_ = open_ = false;
  }
  bool wait_held(double seconds) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return held_; });
  }
  // Lets the holding method go; with none holding, does nothing.
  void open() {
    std::lock_guard lock(mu_);
    if (!held_) return;
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool held_ = false;
  bool open_ = false;
};
Gate g_gate;

constexpr auto HOLD_SHARED =
    signature("Holder", "hold_shared", required("seconds", &SleepArgs::seconds));
constexpr auto HOLD_EXCLUSIVE =
    signature("Holder", "hold_exclusive", required("seconds", &SleepArgs::seconds));
// Waits at the gate under a shared or an exclusive borrow with the interpreter lock released.
PyObject* hold_at_gate(SleepArgs& a) {
  {
    ReleaseGil nogil;
    g_gate.hold(a.seconds);
  }
  return none();
}
PyObject* hold_shared(PyEngine& /*self*/, SleepArgs& a) { return hold_at_gate(a); }
PyObject* hold_exclusive(PyEngine& /*self*/, SleepArgs& a) { return hold_at_gate(a); }

// Whether a holder method reached the gate within `seconds`.
constexpr auto wait_at_gate_SIG =
    signature(nullptr, "wait_at_gate", required("seconds", &One<double>::value));
PyObject* wait_at_gate(One<double>& a) {
  bool held = false;
  {
    ReleaseGil nogil;
    held = g_gate.wait_held(a.value);
  }
  return to_py(held);
}
PyObject* open_gate(PyObject* /*module*/, PyObject* /*unused*/) {
  g_gate.open();
  return none();
}

PyObject* fault_nogil(PyEngine& self) {
  with_engine<Gil::Release>(
      self, [](Engine&) -> uint64_t { throw InternalFault("invariant broken: under the lock"); });
  return none();
}
// Throws under the engine lock, holding the interpreter lock or not: "unchanged" an
// AllocationFailure (nothing was changed), "bad_alloc" a plain std::bad_alloc, "fault" an
// InternalFault.
struct FailLockedArgs {
  std::string kind;
  bool release_gil = false;
};
constexpr auto FAIL_LOCKED =
    signature("Holder", "fail_locked", required("kind", &FailLockedArgs::kind),
              required("release_gil", &FailLockedArgs::release_gil));
template <Gil G>
bool fail_locked_with(PyEngine& self, const std::string& kind) {
  return static_cast<bool>(with_engine<G>(self, [&](Engine&) {
    if (kind == "unchanged") throw AllocationFailure("out of memory: probe; nothing was written");
    if (kind == "bad_alloc") throw std::bad_alloc();
    throw InternalFault("invariant broken: under the lock");
  }));
}
PyObject* fail_locked(PyEngine& self, FailLockedArgs& a) {
  const bool ok = a.release_gil ? fail_locked_with<Gil::Release>(self, a.kind)
                                : fail_locked_with<Gil::Hold>(self, a.kind);
  return ok ? none() : nullptr;
}

PyObject* engine_error(PyEngine& self) {
  if (!with_engine<Gil::Hold>(self,
                              [](Engine&) { return Status(EngineError::pack_not_found(7)); })) {
    return nullptr;
  }
  return none();
}
PyObject* cell_count(PyEngine& self) {
  auto n = with_engine<Gil::Hold>(self, [](Engine& e) -> uint64_t { return e.cell_count(); });
  return n ? to_py(*n) : nullptr;
}

PyMethodDef HOLDER_METHODS[] = {
    method<SLEEP_NOGIL, sleep_nogil>(nullptr),
    method<SLEEP_GIL, sleep_gil>(nullptr),
    method<SLEEP_EXCLUSIVE, sleep_exclusive, BorrowMode::Exclusive>(nullptr),
    method<HOLD_SHARED, hold_shared>(nullptr),
    method<HOLD_EXCLUSIVE, hold_exclusive, BorrowMode::Exclusive>(nullptr),
    method_noargs<fault_nogil>("fault_nogil", nullptr),
    method<FAIL_LOCKED, fail_locked>(nullptr),
    method_noargs<engine_error>("engine_error", nullptr),
    method_noargs<cell_count>("cell_count", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef FUNCTIONS[] = {
    function<u64_SIG, u64>(nullptr),
    function<u32_SIG, u32>(nullptr),
    function<u16_SIG, u16>(nullptr),
    function<u8_SIG, u8>(nullptr),
    function<f32_SIG, f32>(nullptr),
    function<f64_SIG, f64>(nullptr),
    function<boolean_SIG, boolean>(nullptr),
    function<text_SIG, text>(nullptr),
    function<optional_u64_SIG, optional_u64>(nullptr),
    function<vector_SIG, vector>(nullptr),
    function<any_shape_SIG, any_shape>(nullptr),
    function<arrays_SIG, arrays>(nullptr),
    function<matrix_SIG, matrix>(nullptr),
    function<payloads_SIG, payloads>(nullptr),
    function<view_keys_SIG, view_keys>(nullptr),
    function<objects_SIG, objects>(nullptr),
    function<defaults_SIG, defaults>(nullptr),
    function<fail_SIG, fail>(nullptr),
    function<read_result_SIG, read_result>(nullptr),
    function<run_maintenance_SIG, run_maintenance>(nullptr),
    function<write_pack_SIG, write_pack>(nullptr),
    function<wait_at_gate_SIG, wait_at_gate>(nullptr),
    {"open_gate", &open_gate, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int probe_exec(PyObject* module) {
  import_array1(-1);
  PyObject* panic = panic_exception_type();
  if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
  if (setup_read_result_type(module) == nullptr) return -1;
  PyTypeObject* engine = setup_engine_type(module);
  if (engine == nullptr ||
      PyModule_AddObjectRef(module, "Engine", reinterpret_cast<PyObject*>(engine)) < 0) {
    return -1;
  }
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&new_entry<HOLDER_NEW, holder_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&holder_dealloc)},
      {Py_tp_methods, HOLDER_METHODS},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"_frame_probe.Holder", sizeof(PyEngine), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyRef type(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "Holder", type.get());
}

PyModuleDef_Slot PROBE_SLOTS[] = {{Py_mod_exec, reinterpret_cast<void*>(&probe_exec)},
                                  {0, nullptr}};
PyModuleDef PROBE_DEF = {PyModuleDef_HEAD_INIT, "_frame_probe", nullptr, 0,      FUNCTIONS,
                         PROBE_SLOTS,           nullptr,        nullptr, nullptr};

}  // namespace

}  // namespace quellmar::python

PyMODINIT_FUNC PyInit__frame_probe() { return PyModuleDef_Init(&quellmar::python::PROBE_DEF); }
