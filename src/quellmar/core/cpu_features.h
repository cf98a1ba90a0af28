#pragma once

// The instruction-set extensions of the CPU the process runs on, detected once. The kernel
// dispatchers (distances, 4-bit codec) choose their levels from these.

namespace quellmar {

struct CpuFeatures {
  bool avx2 = false;
  bool fma = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512dq = false;
  bool avx512vnni = false;
};

// All false off x86.
const CpuFeatures& cpu_features();

}  // namespace quellmar
