#pragma once

// The Python class CheckpointRepository: labelled, numbered snapshots of engines under one root.

#include "quellmar/python/py.h"

#include "quellmar/engine/checkpoint.h"
#include "quellmar/python/call_frame.h"

namespace quellmar::python {

struct PyCheckpointRepository {
  PyObject_HEAD BorrowFlag borrow;
  CheckpointRepository repo;  // holds the root path as given
};

PyTypeObject* checkpoint_repository_type();
PyTypeObject* setup_checkpoint_repository_type(PyObject* module);

}  // namespace quellmar::python
