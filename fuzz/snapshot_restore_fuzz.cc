// Snapshot archives: the restore over any bytes as a tar stream. It must never write outside its
// target directory, and an archive it refuses must leave nothing behind.

#include <filesystem>

#include "fuzz_util.h"
#include "quellmar/engine/snapshot.h"

using namespace quellmar;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string archive = fuzz::put_file("in.tar", data, size);
  const std::string& dir = fuzz::scratch_dir();
  const std::string target = dir + "/out/target";
  RestoreLimits limits;
  limits.manifest = 1 << 16;
  limits.file = 1 << 20;
  auto restored = restore_snapshot(archive, target, limits);
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string p = e.path().string();
    const bool inside =
        p == archive || p == dir + "/out" || p == target || p.rfind(target + "/", 0) == 0;
    QM_FUZZ_CHECK(inside);
    if (!restored.is_ok()) QM_FUZZ_CHECK(p == archive);
  }
  return 0;
}
