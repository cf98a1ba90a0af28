// classify_key and the key views over any float array.

#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "quellmar/retrieval/key_view.h"

using namespace quellmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<float> key(size / 4);
  if (!key.empty()) std::memcpy(key.data(), data, key.size() * 4);
  // Short inputs are mostly headers: widen them to a header plus rows now and then.
  if (size % 7 == 3 && key.size() >= 34) key.resize(64 + key.size() * 3, 0.5f);
  const KeyKind kind = classify_key_kind(key);
  std::optional<KeyView> view = classify_key(key);
  QM_FUZZ_CHECK(view.has_value() == (kind != KeyKind::Malformed));
  if (!view) return 0;
  QM_FUZZ_CHECK(view->is_encoded() == (kind == KeyKind::Encoded));
  if (view->is_encoded()) {
    QM_FUZZ_CHECK(view->dim() > 0);
    QM_FUZZ_CHECK(view->n_tokens() * view->dim() == view->data().size());
    QM_FUZZ_CHECK(view->data().size() + ENCODING_HEADER_SIZE == key.size());
    for (uint64_t i = 0; i < view->n_tokens() && i < 4; ++i) (void)view->row(i);
    auto rows = decode_token_rows(key, view->dim());
    QM_FUZZ_CHECK(rows && rows->size() == view->n_tokens());
  }
  const std::vector<float> pooled = view->mean_pooled();
  QM_FUZZ_CHECK(pooled.size() == (view->is_encoded() ? view->dim() : key.size()));
  return 0;
}
