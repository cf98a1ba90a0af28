# Warning flags, sanitizers and the per-file instruction-set flags of the kernels.

set(QM_WARNINGS -Wall -Wextra)
if(QM_WERROR)
  list(APPEND QM_WARNINGS -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND QM_WARNINGS -Wthread-safety)
endif()

if(QM_SANITIZE)
  string(REPLACE "," ";" _qm_sans "${QM_SANITIZE}")
  foreach(s ${_qm_sans})
    if(NOT s MATCHES "^(address|undefined|thread|fuzzer-no-link)$")
      message(FATAL_ERROR "QM_SANITIZE: unknown sanitizer '${s}'")
    endif()
  endforeach()
  add_compile_options(-fsanitize=${QM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QM_SANITIZE})
endif()

# Sources named *_avx2.cc or *_avx512.cc are the only ones built for those instruction sets; the
# dispatcher picks them at run time, so everything else stays on the baseline.
set(QM_AVX2_FLAGS -mavx2 -mfma -mf16c)
set(QM_AVX512_FLAGS -mavx512f -mavx512bw -mavx512vl -mavx512dq -mavx512vnni -mavx2 -mfma -mf16c)
function(qm_apply_isa_flags sources)
  foreach(src ${sources})
    if(src MATCHES "_avx512\\.cc$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "${QM_AVX512_FLAGS}")
    elseif(src MATCHES "_avx2\\.cc$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "${QM_AVX2_FLAGS}")
    endif()
  endforeach()
endfunction()
