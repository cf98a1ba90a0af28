// text_store.bin: the loader over any bytes; a text appended afterwards must load again.

#include "fuzz_util.h"
#include "quellmar/core/utf8.h"
#include "quellmar/storage/text_store.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::put_file("text_store.bin", data, size);
  const std::string& dir = fuzz::scratch_dir();
  auto store = TextStore::open(dir);
  QM_FUZZ_CHECK(store.is_ok());
  for (const auto& [id, text] : store->texts()) QM_FUZZ_CHECK(is_valid_utf8(text));
  const std::pair<PackId, std::string> added{0x5eed, "appended after the damage"};
  QM_FUZZ_CHECK(store->append_batch(std::span(&added, 1)).is_ok());
  auto again = TextStore::open(dir);
  QM_FUZZ_CHECK(again.is_ok());
  const std::string* text = again->find(added.first);
  QM_FUZZ_CHECK(text && *text == added.second);
  return 0;
}
