#include "quellmar/retrieval/key_view.h"

#include <algorithm>
#include <cmath>

#include "quellmar/retrieval/simd_distance.h"

namespace quellmar {

uint64_t encoded_width_of(float word) {
  float r = std::round(word);  // halves away from zero
  if (!(r > 0.0f)) return 0;   // negative, zero or NaN
  if (r >= 18446744073709551616.0f) return UINT64_MAX;
  return static_cast<uint64_t>(r);
}

namespace {

// The encoded view when the key's header describes its rows.
std::optional<KeyView> encoded_view(std::span<const float> key) {
  if (key.size() < ENCODING_HEADER_SIZE) return std::nullopt;
  if (key[0] > ENCODING_SENTINEL_THRESHOLD) return std::nullopt;  // a NaN passes
  uint64_t rows_len = key.size() - ENCODING_HEADER_SIZE;
  uint64_t dim = encoded_width_of(key[ENCODING_DIM_IDX]);
  if (dim == 0 || dim > rows_len || rows_len % dim != 0) return std::nullopt;
  return KeyView::encoded(key.subspan(ENCODING_HEADER_SIZE), rows_len / dim, dim);
}

bool starts_with_sentinel(std::span<const float> key) {
  return !key.empty() && key[0] <= ENCODING_SENTINEL_THRESHOLD;  // a NaN does not
}

}  // namespace

KeyKind classify_key_kind(std::span<const float> key) {
  if (encoded_view(key)) return KeyKind::Encoded;
  return starts_with_sentinel(key) ? KeyKind::Malformed : KeyKind::Plain;
}

std::optional<KeyView> classify_key(std::span<const float> key) {
  if (auto view = encoded_view(key)) return view;
  if (starts_with_sentinel(key)) return std::nullopt;
  return KeyView::plain(key);
}

std::vector<float> KeyView::mean_pooled() const {
  if (!encoded_) return std::vector<float>(data_.begin(), data_.end());
  std::vector<float> sums(dim_, 0.0f);
  for (uint64_t r = 0; r < n_tokens_; ++r) accumulate_f32(sums.data(), row(r).data(), dim_);
  const float inv = 1.0f / static_cast<float>(n_tokens_);
  scale_f32(sums.data(), inv, dim_);
  return sums;
}

std::vector<float> pooled_key(std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  return view ? view->mean_pooled() : std::vector<float>{};
}

uint64_t pooled_key_len(std::span<const float> key) {
  std::optional<KeyView> view = classify_key(key);
  return view ? view->dim() : 0;
}

std::vector<float> EncodedKey::from_token_slices(std::span<const std::vector<float>> slices) {
  std::vector<float> key;
  if (slices.empty()) return key;
  const size_t dim = slices.front().size();
  key.reserve(ENCODING_HEADER_SIZE + dim * slices.size());
  key.assign(ENCODING_HEADER_SIZE, 0.0f);
  key[0] = ENCODING_SENTINEL;
  key[ENCODING_DIM_IDX] = static_cast<float>(dim);
  for (const std::vector<float>& s : slices) key.insert(key.end(), s.begin(), s.end());
  return key;
}

std::vector<float> encode_per_token_key(std::span<const float> tokens, uint64_t dim) {
  std::vector<float> key(ENCODING_HEADER_SIZE + tokens.size(), 0.0f);
  key[0] = ENCODING_SENTINEL;
  key[ENCODING_DIM_IDX] = static_cast<float>(dim);
  std::copy(tokens.begin(), tokens.end(), key.begin() + ENCODING_HEADER_SIZE);
  return key;
}

std::optional<std::vector<std::vector<float>>> decode_token_rows(std::span<const float> key,
                                                                 uint64_t expected_dim) {
  std::optional<KeyView> view = encoded_view(key);
  if (!view || view->dim() != expected_dim) return std::nullopt;
  std::vector<std::vector<float>> rows;
  rows.reserve(view->n_tokens());
  for (uint64_t r = 0; r < view->n_tokens(); ++r) {
    std::span<const float> row = view->row(r);
    rows.emplace_back(row.begin(), row.end());
  }
  return rows;
}

}  // namespace quellmar
