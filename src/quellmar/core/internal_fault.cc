#include "quellmar/core/internal_fault.h"

#include "quellmar/core/str_cat.h"

namespace quellmar {

void throw_internal_fault(const char* file, int line, const char* what) {
  throw InternalFault(str_cat("internal fault at ", file, ":", line, ": ", what));
}

}  // namespace quellmar
