#pragma once

// Shared by the fuzz targets: one scratch directory per process (under /dev/shm when there is
// one, so that the file round trips stay in memory) and a check that aborts, so that libFuzzer
// records the input.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#define QM_FUZZ_CHECK(cond)                                                         \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (false)

namespace quellmar::fuzz {

// The scratch directory, created on first use (and never destroyed, so that the exit handler
// that removes it can still name it) and emptied by clear_dir.
inline const std::string& scratch_dir() {
  static const std::string* dir = [] {
    const std::string base = std::filesystem::is_directory("/dev/shm")
                                 ? std::string("/dev/shm")
                                 : std::filesystem::temp_directory_path().string();
    auto* path = new std::string(base + "/qm_fuzz_XXXXXX");
    if (!mkdtemp(path->data())) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch_dir(), ec);
    });
    return path;
  }();
  return *dir;
}

// Empties the scratch directory.
inline void clear_dir() {
  for (const auto& e : std::filesystem::directory_iterator(scratch_dir())) {
    std::filesystem::remove_all(e.path());
  }
}

// Writes `name` in the emptied scratch directory with the fuzzer's bytes.
inline std::string put_file(const std::string& name, const uint8_t* data, size_t size) {
  clear_dir();
  const std::string path = scratch_dir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  return path;
}

}  // namespace quellmar::fuzz
