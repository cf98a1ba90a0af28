#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace quellmar {

// Thrown when an invariant of the system itself is broken: a bug, never bad input, I/O or a
// damaged file (those are EngineErrors). The binding turns it into PanicException and poisons the
// engine lock.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Thrown where an allocation failed before an operation changed anything, so the engine is as it
// was: the binding raises MemoryError with this message and leaves the engine lock usable. Any
// other std::bad_alloc may have left a change half made, and poisons the lock.
class AllocationFailure : public std::bad_alloc {
 public:
  explicit AllocationFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void throw_internal_fault(const char* file, int line, const char* what);

}  // namespace quellmar

#define QM_CHECK(cond)                                                        \
  do {                                                                        \
    if (!(cond)) ::quellmar::throw_internal_fault(__FILE__, __LINE__, #cond); \
  } while (false)
