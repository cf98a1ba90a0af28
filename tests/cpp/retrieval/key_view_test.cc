#include "quellmar/retrieval/key_view.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace quellmar {
namespace {

std::vector<float> header(float word0, float width_word, size_t rows_len) {
  std::vector<float> key(ENCODING_HEADER_SIZE + rows_len, 0.5f);
  for (size_t i = 0; i < ENCODING_HEADER_SIZE; ++i) key[i] = 0.0f;
  key[0] = word0;
  key[ENCODING_DIM_IDX] = width_word;
  return key;
}

TEST(KeyView, ConstantsHaveTheirBitPatterns) {
  EXPECT_EQ(std::bit_cast<uint32_t>(ENCODING_SENTINEL), 0xCE6E6B28u);
  EXPECT_EQ(std::bit_cast<uint32_t>(ENCODING_SENTINEL_THRESHOLD), 0xCCBEBC20u);
}

TEST(KeyView, ClassificationBoundaries) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float just_above = std::nextafter(-1e8f, 0.0f);  // -99999992
  ASSERT_EQ(just_above, -99999992.0f);
  struct Case {
    const char* name;
    std::vector<float> key;
    KeyKind kind;
    uint64_t dim = 0;
    uint64_t n_tokens = 0;
  };
  const Case cases[] = {
      {"empty key is plain", {}, KeyKind::Plain, 0, 1},
      {"ordinary vector", {1.0f, 2.0f, 3.0f}, KeyKind::Plain, 3, 1},
      {"64 words with sentinel, no rows", header(ENCODING_SENTINEL, 4.0f, 0), KeyKind::Malformed},
      {"width 3.5 rounds to 4", header(ENCODING_SENTINEL, 3.5f, 8), KeyKind::Encoded, 4, 2},
      {"width 2.5 rounds to 3", header(ENCODING_SENTINEL, 2.5f, 9), KeyKind::Encoded, 3, 3},
      {"width -1 gives 0", header(ENCODING_SENTINEL, -1.0f, 8), KeyKind::Malformed},
      {"width NaN gives 0", header(ENCODING_SENTINEL, nan, 8), KeyKind::Malformed},
      {"width 1e30 saturates", header(ENCODING_SENTINEL, 1e30f, 8), KeyKind::Malformed},
      {"-1e8 exactly is a sentinel", header(-1e8f, 4.0f, 12), KeyKind::Encoded, 4, 3},
      {"next float above -1e8 is plain", header(just_above, 4.0f, 12), KeyKind::Plain, 76, 1},
      {"NaN word 0, valid header: encoded", header(nan, 4.0f, 12), KeyKind::Encoded, 4, 3},
      {"NaN word 0, bad header: plain", header(nan, 5.0f, 12), KeyKind::Plain, 76, 1},
      {"short key with sentinel", {-2e8f, 0, 0, 0, 0, 0, 0, 0, 0, 0}, KeyKind::Malformed},
      {"12 row words, width 4", header(ENCODING_SENTINEL, 4.0f, 12), KeyKind::Encoded, 4, 3},
      {"12 row words, width 5", header(ENCODING_SENTINEL, 5.0f, 12), KeyKind::Malformed},
      {"width larger than rows", header(ENCODING_SENTINEL, 16.0f, 12), KeyKind::Malformed},
      {"plain key with width word set", header(1.0f, 4.0f, 12), KeyKind::Plain, 76, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify_key_kind(c.key), c.kind);
    std::optional<KeyView> view = classify_key(c.key);
    ASSERT_EQ(view.has_value(), c.kind != KeyKind::Malformed);
    if (!view) continue;
    EXPECT_EQ(view->is_encoded(), c.kind == KeyKind::Encoded);
    EXPECT_EQ(view->dim(), c.dim);
    EXPECT_EQ(view->n_tokens(), c.n_tokens);
    if (view->is_encoded()) {
      EXPECT_EQ(view->data().data(), c.key.data() + ENCODING_HEADER_SIZE);  // borrowed, not copied
      EXPECT_EQ(view->data().size(), c.dim * c.n_tokens);
    }
  }
}

TEST(KeyView, MeanPooling) {
  std::vector<float> one =
      EncodedKey::from_token_slices(std::vector<std::vector<float>>{{1.5f, -2.0f, 7.0f}});
  EXPECT_EQ(classify_key(one)->mean_pooled(), (std::vector<float>{1.5f, -2.0f, 7.0f}));
  std::vector<float> two =
      EncodedKey::from_token_slices(std::vector<std::vector<float>>{{1, 2}, {3, 4}});
  EXPECT_EQ(classify_key(two)->mean_pooled(), (std::vector<float>{2, 3}));
  // Three rows: sums times the f32 reciprocal of 3, not a division per element.
  std::vector<float> three =
      EncodedKey::from_token_slices(std::vector<std::vector<float>>{{1, 1}, {1, 1}, {0, 1}});
  const float inv3 = 1.0f / 3.0f;
  EXPECT_EQ(classify_key(three)->mean_pooled(), (std::vector<float>{2.0f * inv3, 3.0f * inv3}));
  std::vector<float> plain = {4, 5, 6};
  EXPECT_EQ(KeyView::mean_pooled(*classify_key(plain)), plain);
}

TEST(KeyView, FromTokenSlices) {
  EXPECT_TRUE(EncodedKey::from_token_slices({}).empty());
  EXPECT_EQ(classify_key_kind(EncodedKey::from_token_slices({})), KeyKind::Plain);
  std::vector<float> key =
      EncodedKey::from_token_slices(std::vector<std::vector<float>>{{1, 2, 3}, {4, 5, 6}});
  ASSERT_EQ(key.size(), 70u);
  EXPECT_EQ(key[0], ENCODING_SENTINEL);
  EXPECT_EQ(key[ENCODING_N_TOKENS_IDX], 0.0f);
  EXPECT_EQ(key[ENCODING_DIM_IDX], 3.0f);
  for (size_t i = 1; i < 64; ++i) {
    if (i != ENCODING_DIM_IDX) {
      EXPECT_EQ(key[i], 0.0f) << i;
    }
  }
  EXPECT_EQ(std::vector<float>(key.begin() + 64, key.end()),
            (std::vector<float>{1, 2, 3, 4, 5, 6}));
  // Ragged slices are concatenated and read back by length: 4 + 8 values at width 4 = 3 rows.
  std::vector<float> ragged = EncodedKey::from_token_slices(
      std::vector<std::vector<float>>{{1, 2, 3, 4}, {5, 6, 7, 8, 9, 10, 11, 12}});
  std::optional<KeyView> v = classify_key(ragged);
  ASSERT_TRUE(v && v->is_encoded());
  EXPECT_EQ(v->n_tokens(), 3u);
  EXPECT_EQ(v->row(2)[0], 9.0f);
}

TEST(KeyView, DecodeTokenRows) {
  std::vector<float> key =
      EncodedKey::from_token_slices(std::vector<std::vector<float>>{{1, 2, 3, 4}, {5, 6, 7, 8}});
  auto rows = decode_token_rows(key, 4);
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(*rows, (std::vector<std::vector<float>>{{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_FALSE(decode_token_rows(key, 8).has_value());
  EXPECT_FALSE(decode_token_rows(std::vector<float>{1, 2, 3, 4}, 4).has_value());
  EXPECT_FALSE(decode_token_rows(header(ENCODING_SENTINEL, 5.0f, 12), 5).has_value());
}

}  // namespace
}  // namespace quellmar
