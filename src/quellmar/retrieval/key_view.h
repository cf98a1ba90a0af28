#pragma once

// Keys are flat float32 lists in one of two forms: a plain single vector, or an encoded multi-token
// key (a 64-float header followed by one row per token). Every reader tells them apart with
// classify_key; a key that starts with the sentinel but whose header does not describe its rows is
// malformed, and each reader decides what it does with one.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quellmar {

// Encoded-key header layout.
inline constexpr size_t ENCODING_HEADER_SIZE = 64;
inline constexpr float ENCODING_SENTINEL = -1e9f;    // bit pattern 0xCE6E6B28
inline constexpr size_t ENCODING_N_TOKENS_IDX = 32;  // written as 0, never read
inline constexpr size_t ENCODING_DIM_IDX = 33;       // the token width, as f32
// Word 0 at or below this value marks a key as encoded (or malformed).
inline constexpr float ENCODING_SENTINEL_THRESHOLD = -1e8f;  // bit pattern 0xCCBEBC20

enum class KeyKind : uint8_t { Plain = 0, Encoded = 1, Malformed = 2 };

// A borrowed, copy-free view of a key: either the whole plain vector, or the token rows of an
// encoded key. It lives only as long as the key it looks at.
class KeyView {
 public:
  static KeyView plain(std::span<const float> key) { return KeyView(key, 1, key.size(), false); }
  // `rows` holds n_tokens * dim floats.
  static KeyView encoded(std::span<const float> rows, uint64_t n_tokens, uint64_t dim) {
    return KeyView(rows, n_tokens, dim, true);
  }

  bool is_encoded() const { return encoded_; }
  // Plain: the whole key. Encoded: the row data (everything after the header).
  std::span<const float> data() const { return data_; }
  // Plain: 1 (the key is its one row). Encoded: the token count.
  uint64_t n_tokens() const { return n_tokens_; }
  // Plain: the key's length. Encoded: the token width.
  uint64_t dim() const { return dim_; }
  // Row i (i < n_tokens()); a plain key's row 0 is the whole key.
  std::span<const float> row(uint64_t i) const { return data_.subspan(i * dim_, dim_); }

  // The key as one vector: a copy of a plain key, or the mean of an encoded key's rows (summed in
  // f32 in row order, then multiplied by the f32 reciprocal of the row count).
  std::vector<float> mean_pooled() const;
  static std::vector<float> mean_pooled(const KeyView& view) { return view.mean_pooled(); }

 private:
  KeyView(std::span<const float> data, uint64_t n_tokens, uint64_t dim, bool encoded)
      : data_(data), n_tokens_(n_tokens), dim_(dim), encoded_(encoded) {}

  std::span<const float> data_;
  uint64_t n_tokens_;
  uint64_t dim_;
  bool encoded_;
};

// The token width that word ENCODING_DIM_IDX describes: rounded half away from zero; a negative
// value or NaN gives 0, a value beyond the u64 range saturates.
uint64_t encoded_width_of(float word);

// Classifies a key: encoded when it is at least 64 words long, word 0 is not above -1e8 (a NaN
// passes), and the width in word 33 is non-zero and divides the row data exactly; otherwise
// malformed when word 0 is at or below -1e8; otherwise plain (the empty key is plain). Constant
// time, no allocation; looks only at words 0 and 33 and the length.
KeyKind classify_key_kind(std::span<const float> key);
// The view of a plain or encoded key; none for a malformed one.
std::optional<KeyView> classify_key(std::span<const float> key);

// The pooled key of a stored key or a query, the form the SLB and the graph take: the mean of an
// encoded key's rows, a copy of a plain key, empty for a malformed key.
std::vector<float> pooled_key(std::span<const float> key);
// Its length, without pooling it.
uint64_t pooled_key_len(std::span<const float> key);

struct EncodedKey {
  // Header plus every slice appended whole, in order. The slices are not checked against the
  // first one's width: readers classify the result by its length. An empty list gives the empty
  // key.
  static std::vector<float> from_token_slices(std::span<const std::vector<float>> slices);
};

// The encoded key of a row-major token matrix of width dim.
std::vector<float> encode_per_token_key(std::span<const float> tokens, uint64_t dim);

// The token rows of an encoded key of width expected_dim, each a fresh copy; none for a plain or
// malformed key, or one of another width.
std::optional<std::vector<std::vector<float>>> decode_token_rows(std::span<const float> key,
                                                                 uint64_t expected_dim);

}  // namespace quellmar
