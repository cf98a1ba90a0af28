// deletion_log.bin: the loader over any bytes; an id appended afterwards must load again, and
// every whole id before it stays.

#include "fuzz_util.h"
#include "quellmar/storage/deletion_log.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::put_file("deletion_log.bin", data, size);
  const std::string& dir = fuzz::scratch_dir();
  auto log = DeletionLog::open(dir);
  QM_FUZZ_CHECK(log.is_ok());
  QM_FUZZ_CHECK(log->deleted().size() <= size / 8);
  const auto before = log->deleted();
  QM_FUZZ_CHECK(log->append(0x5eed).is_ok());
  auto again = DeletionLog::open(dir);
  QM_FUZZ_CHECK(again.is_ok());
  QM_FUZZ_CHECK(again->contains(0x5eed));
  for (PackId id : before) QM_FUZZ_CHECK(again->contains(id));
  return 0;
}
