#define NO_IMPORT_ARRAY
#include "quellmar/python/py.h"

#include "quellmar/python/signature.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "quellmar/core/str_cat.h"
#include "quellmar/python/exceptions.h"

namespace quellmar::python {

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

// ---------------------------------------------------------------------------------------------
// Docstrings

bool append_repr(std::string& out, PyObject* value) {
  PyRef owned(value);
  if (!owned) return false;
  PyRef text(PyObject_Repr(owned.get()));
  if (!text) return false;
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
  if (utf8 == nullptr) return false;
  out.append(utf8, static_cast<size_t>(len));
  return true;
}

const char* keep_doc(std::string line, const char* text) {
  // Method tables are built once per process, under the interpreter lock; their docstrings stay
  // where they are (a deque never moves its elements when it grows).
  static auto* docs = new std::deque<std::string>();
  docs->push_back(std::move(line) + ")\n--\n\n" + text);
  return docs->back().c_str();
}

const char* noargs_doc(const char* name, const char* text) {
  if (text == nullptr) return nullptr;
  return keep_doc(std::string(name) + "($self", text);
}

}  // namespace quellmar::python
