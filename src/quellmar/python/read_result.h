#pragma once

// The Python class ReadResult: one hit of a cell read, a read-only record that only the binding
// makes.

#include "quellmar/python/py.h"

#include <cstdint>
#include <vector>

#include "quellmar/engine/engine.h"
#include "quellmar/python/call_frame.h"

namespace quellmar::python {

struct ReadResultFields {
  uint64_t cell_id = 0;
  uint64_t owner = 0;
  float score = 0.0f;
  float importance = 0.0f;  // 0.0 when the cell has no governance entry
  uint16_t layer = 0;
  uint8_t tier = 0;  // as the hit carries it: 0 Draft, 1 Validated, 2 Core
  std::vector<float> key;
  std::vector<float> value;
};

struct PyReadResult {
  PyObject_HEAD BorrowFlag borrow;
  ReadResultFields fields;
};

PyTypeObject* read_result_type();
PyTypeObject* setup_read_result_type(PyObject* module);

// A new ReadResult from one engine hit (its key and value are moved in) and the cell's
// importance; null with the exception set.
PyObject* make_read_result(CellReadResult&& hit, float importance);

}  // namespace quellmar::python
