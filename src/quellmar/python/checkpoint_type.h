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

// The manifest of a snapshot archive as a dict (magic, format_version, created_at, pack_count,
// owner_count, sha256, quantization_codec, key_codec), as Engine.snapshot and the checkpoint
// methods return it.
PyObject* manifest_to_py(const SnapshotManifest& manifest);

}  // namespace quellmar::python
