// manifest.json: the parser over any text; whatever it accepts must serialize and parse back to
// the same manifest.

#include "fuzz_util.h"
#include "quellmar/engine/snapshot.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto manifest =
      parse_snapshot_manifest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!manifest.is_ok()) return 0;
  auto text = serialize_snapshot_manifest(*manifest);
  QM_FUZZ_CHECK(text.is_ok());
  auto again = parse_snapshot_manifest(*text);
  QM_FUZZ_CHECK(again.is_ok());
  QM_FUZZ_CHECK(*again == *manifest);
  return 0;
}
