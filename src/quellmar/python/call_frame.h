#pragma once

// The frame every Python call into the module runs through: binding the arguments to parameters
// (signature.h), borrowing the instance (borrow.h), converting each argument into an owned C++
// value by its kind (arg_kinds.h), running the typed body, and turning every C++ failure into a
// Python exception (exceptions.h).
//
// A callable is declared by a struct of its converted arguments, a parameter table and a typed
// body; the table's order is the signature order:
//
//   struct MemReadPackArgs {
//     F32Vector query_key;
//     uint64_t k = 0;
//     std::optional<uint64_t> owner;
//   };
//   constexpr auto MEM_READ_PACK = signature("Engine", "mem_read_pack",
//       required("query_key", &MemReadPackArgs::query_key), required("k", &MemReadPackArgs::k),
//       required("owner", &MemReadPackArgs::owner));
//   PyObject* mem_read_pack(PyEngine& self, MemReadPackArgs& args);
//   ... method<MEM_READ_PACK, mem_read_pack>(MEM_READ_PACK_DOC) in the group's method table.
//
// A parameter declared with_default() may be left out and then keeps the struct member's
// initializer, which is also the default the docstring's signature line shows. Bodies build
// their results with results.h.

#include "quellmar/python/py.h"

#include <type_traits>

#include "quellmar/python/arg_kinds.h"
#include "quellmar/python/borrow.h"
#include "quellmar/python/exceptions.h"
#include "quellmar/python/results.h"
#include "quellmar/python/signature.h"

namespace quellmar::python {

// Entry points. A method body is `PyObject* body(Self& self, Args& args)` (Self: the instance
// struct, which has a `BorrowFlag borrow` member), a no-argument body `PyObject* body(Self&)`, a
// static method or module function body `PyObject* body(Args&)`, a constructor body
// `PyObject* body(PyTypeObject* type, Args& args)`. Bodies return a new reference, or null with
// the exception set.
//
// None of the entry points is noexcept: no C++ exception leaves one (guarded() turns each into a
// Python exception) except the forced unwind by which the interpreter ends a thread (py.h), which
// has to reach the thread's base.

template <class F>
struct BodyTraits;
template <class S, class A>
struct BodyTraits<PyObject* (*)(S&, A&)> {
  using Self = S;
};
template <class S>
struct BodyTraits<PyObject* (*)(S&)> {
  using Self = S;
};

template <auto& Sig, auto Body, BorrowMode Mode>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Self = typename BodyTraits<decltype(Body)>::Self;
  return guarded([&]() -> PyObject* {
    PyObject* slots[std::remove_cvref_t<decltype(Sig)>::SIZE];
    if (!bind_arguments(Sig.list(), args, nargs, kwnames, slots)) return nullptr;
    Self& s = *reinterpret_cast<Self*>(self);
    Borrow borrow = Borrow::take(s.borrow, Mode);
    if (!borrow) return nullptr;
    typename std::remove_cvref_t<decltype(Sig)>::Args converted;
    if (!convert_arguments(Sig, slots, converted)) return nullptr;
    return Body(s, converted);
  });
}

template <auto Body, BorrowMode Mode>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) {
  using Self = typename BodyTraits<decltype(Body)>::Self;
  return guarded([&]() -> PyObject* {
    Self& s = *reinterpret_cast<Self*>(self);
    Borrow borrow = Borrow::take(s.borrow, Mode);
    if (!borrow) return nullptr;
    return Body(s);
  });
}

template <auto& Sig, auto Body>
PyObject* function_entry(PyObject* /*self or module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[std::remove_cvref_t<decltype(Sig)>::SIZE];
    if (!bind_arguments(Sig.list(), args, nargs, kwnames, slots)) return nullptr;
    typename std::remove_cvref_t<decltype(Sig)>::Args converted;
    if (!convert_arguments(Sig, slots, converted)) return nullptr;
    return Body(converted);
  });
}

template <auto& Sig, auto Body>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[std::remove_cvref_t<decltype(Sig)>::SIZE];
    if (!bind_arguments(Sig.list(), args, kwargs, slots)) return nullptr;
    typename std::remove_cvref_t<decltype(Sig)>::Args converted;
    if (!convert_arguments(Sig, slots, converted)) return nullptr;
    return Body(type, converted);
  });
}

// A fast-call function as PyMethodDef stores it (through void(*)(void), which g++ accepts).
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Method-table entries. `doc` is the text of the docstring; its text-signature line is written in
// front of it from the parameter table (signed_doc), and a null `doc` leaves no docstring.
template <auto& Sig, auto Body, BorrowMode Mode = BorrowMode::Shared>
PyMethodDef method(const char* doc) {
  return {Sig.name, as_cfunction(&method_entry<Sig, Body, Mode>), METH_FASTCALL | METH_KEYWORDS,
          signed_doc<Sig>(Sig.name, SelfParam::Yes, doc)};
}
template <auto Body, BorrowMode Mode = BorrowMode::Shared>
PyMethodDef method_noargs(const char* name, const char* doc) {
  return {name, as_cfunction(&noargs_entry<Body, Mode>), METH_NOARGS, noargs_doc(name, doc)};
}
template <auto& Sig, auto Body>
PyMethodDef static_method(const char* doc) {
  return {Sig.name, as_cfunction(&function_entry<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
          signed_doc<Sig>(Sig.name, SelfParam::No, doc)};
}
template <auto& Sig, auto Body>
PyMethodDef function(const char* doc) {
  return {Sig.name, as_cfunction(&function_entry<Sig, Body>), METH_FASTCALL | METH_KEYWORDS,
          signed_doc<Sig>(Sig.name, SelfParam::No, doc)};
}
// A class's docstring: its constructor's line under the class name (Sig.owner).
template <auto& Sig>
const char* class_doc(const char* doc) {
  return signed_doc<Sig>(Sig.owner, SelfParam::No, doc);
}

}  // namespace quellmar::python
