#pragma once

#include <stdexcept>
#include <string>

namespace quellmar {

// Thrown when an invariant of the system itself is broken: a bug, never bad input, I/O or a
// damaged file (those are EngineErrors). The binding turns it into PanicException and poisons the
// engine lock.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void throw_internal_fault(const char* file, int line, const char* what);

}  // namespace quellmar

#define QM_CHECK(cond)                                                        \
  do {                                                                        \
    if (!(cond)) ::quellmar::throw_internal_fault(__FILE__, __LINE__, #cond); \
  } while (false)
