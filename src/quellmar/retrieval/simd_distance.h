#pragma once

// The hot numeric kernels of retrieval, behind one interface. The instruction-set level is chosen
// once, on first use, from what the CPU supports; every level returns bit-identical results:
//
// - int8 dot products are exact 32-bit integer sums (wrapping, as two's complement, should a sum
//   ever leave the i32 range).
// - dot_f32, dot_f32_pairs and dot_f32_panels sum in f32 in index order, starting from +0.0,
//   one rounded product and one rounded addition per term (never a fused multiply-add): the sum
//   that the flat index, the Vamana index and the SLB's callers specify. dot_f32 is sequential on
//   every level; the panel form vectorises across rows instead, so each lane still sums its own
//   row in order.
// - dot_f32_unordered and dot_f32_many use a fixed 16-lane order on every level: term i goes to
//   lane i % 16 (each lane summed in index order), then the lanes are added pairwise as
//   (l, l+8), (l, l+4), (l, l+2), (l, l+1). The result may differ from the in-order sum in the
//   last bits, but not from one machine to another.
// - accumulate_f32, accumulate_f32_repeated, scale_f32 and divide_f32 are element-wise, hence
//   exact on every level; lanes_not_below compares and computes nothing.

#include <cstddef>
#include <cstdint>

namespace quellmar {

enum class SimdLevel : uint8_t {
  Scalar = 0,
  Avx2 = 1,    // AVX2 + FMA
  Avx512 = 2,  // AVX-512 F, BW, VL, DQ and VNNI
};

const char* simd_level_name(SimdLevel level);
// The best level this CPU (and OS) supports.
SimdLevel detected_simd_level();
// The level in use.
SimdLevel active_simd_level();
// Test hook: use `level` from now on. Returns false, and changes nothing, when the CPU lacks it.
bool force_simd_level_for_testing(SimdLevel level);

// sum a[i] * b[i], exact.
int32_t dot_i8(const int8_t* a, const int8_t* b, size_t n);
// out[r] = dot_i8(query, rows + r * stride, dim) for r < n_rows.
void dot_i8_many(const int8_t* query, const int8_t* rows, size_t n_rows, size_t dim, size_t stride,
                 int32_t* out);

// sum a[i] * b[i] in index order.
float dot_f32(const float* a, const float* b, size_t n);
// out[p] = dot_f32(a[p], b[p], n) for p < count, the same bits: several pairs are summed side by
// side (each in index order), so that their additions overlap instead of waiting on one another.
void dot_f32_pairs(const float* const* a, const float* const* b, size_t count, size_t n,
                   float* out);
// sum a[i] * b[i] in the fixed 16-lane order described above.
float dot_f32_unordered(const float* a, const float* b, size_t n);
// out[r] = dot_f32_unordered(query, rows + r * stride, dim) for r < n_rows.
void dot_f32_many(const float* query, const float* rows, size_t n_rows, size_t dim, size_t stride,
                  float* out);

// Panel layout: rows grouped F32_PANEL_WIDTH at a time and stored transposed, so that panel p holds
// value t of its rows at panels[(p * dim + t) * F32_PANEL_WIDTH + lane]. Lanes past the last row
// of a partial panel are padding (conventionally zero) and produce scores the caller ignores.
inline constexpr size_t F32_PANEL_WIDTH = 16;
inline size_t f32_panel_count(size_t n_rows) {
  return (n_rows + F32_PANEL_WIDTH - 1) / F32_PANEL_WIDTH;
}
// Writes row `row` (dim values) into its place in `panels`.
void store_panel_row(float* panels, size_t dim, size_t row, const float* values);
// Reads row `row` back out of `panels`.
void load_panel_row(const float* panels, size_t dim, size_t row, float* values);
// For each of the n_queries queries (row-major, `query_stride` floats apart) and each panel row:
// out[q * out_stride + row] = dot_f32(query q, panel row, dim), summed in index order. Rows run
// over n_panels * F32_PANEL_WIDTH; out_stride must be at least that.
void dot_f32_panels(const float* queries, size_t n_queries, size_t query_stride,
                    const float* panels, size_t n_panels, size_t dim, float* out,
                    size_t out_stride);

// Int8 panel layout: rows grouped I8_PANEL_WIDTH (128) at a time; a panel holds the rows' values
// in groups of four, as eight 64-byte lines per group (one line per 16 rows), so that a scan
// reads each panel front to back. Row r, value t sits at byte
//   (r / 128) * i8_panel_bytes(dim) + ((t / 4) * 8 + (r % 128) / 16) * 64 + (r % 16) * 4 + t % 4
// and is stored as code ^ 0x80 (offset binary). Widths are padded to a multiple of four with code
// 0; rows past the last are padding too.
inline constexpr size_t I8_PANEL_WIDTH = 128;
inline size_t i8_panel_dim(size_t dim) { return (dim + 3) / 4 * 4; }
inline size_t i8_panel_bytes(size_t dim) { return i8_panel_dim(dim) * I8_PANEL_WIDTH; }
inline size_t i8_panel_count(size_t n_rows) {
  return (n_rows + I8_PANEL_WIDTH - 1) / I8_PANEL_WIDTH;
}
// Writes row `row`'s dim codes (and its padding) into `panels`.
void store_i8_panel_row(uint8_t* panels, size_t dim, size_t row, const int8_t* codes);
// out[row] = dot_i8(query, row's codes, dim) for every row of the n_panels panels, exact.
void dot_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                   int32_t* out);

// out[i] = b * (scales[i] * (a * float(dots[i]))), products in that order (the SLB's score).
void scale_dots_i32(const int32_t* dots, const float* scales, float a, float b, size_t n,
                    float* out);

// The SLB's quantization of n values: m = the largest |x| (a NaN never the largest), scale = m /
// 127 (1 when m is 0), each code = x * (1 / scale) rounded to nearest with halves away from zero,
// clamped to [-127, 127], NaN giving 0. Writes the n codes and returns the scale.
float quantize_i8(const float* values, size_t n, int8_t* codes);

// acc[i] += x[i].
void accumulate_f32(float* acc, const float* x, size_t n);
// x[i] *= s.
void scale_f32(float* x, float s, size_t n);
// acc[i] += x[i], `times` times in a row: what `times` calls of accumulate_f32 leave.
void accumulate_f32_repeated(float* acc, const float* x, size_t n, size_t times);
// out[i] = x[i] / d.
void divide_f32(const float* x, float d, float* out, size_t n);

// Which of scores[0..n) are not below `threshold` or, when `thresholds` (n entries) is not null,
// not below their own thresholds[i]: score i sets bit i % 64 of mask[i / 64] exactly when
// !(scores[i] < threshold) || (thresholds && !(scores[i] < thresholds[i])), so a NaN on either
// side sets it. Writes (n + 63) / 64 words; the bits past n are clear.
void lanes_not_below(const float* scores, size_t n, float threshold, const float* thresholds,
                     uint64_t* mask);

// One entry of a ranked selection: a score and the position it belongs to.
struct ScoredIndex {
  float score;
  uint32_t index;
};

// The one total order of ranked lists: higher score first; all NaN scores after every number;
// -0.0 and +0.0 equal; equal scores by lower index first. Stable sorting by score alone, when no
// NaN is present, gives the same order.
inline uint32_t score_rank_key(float score) {
  // Larger key = better score. NaN maps to 0, below every number (-inf maps to 0x007FFFFF).
  if (score != score) return 0;
  if (score == 0.0f) score = 0.0f;
  uint32_t bits = __builtin_bit_cast(uint32_t, score);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}
inline bool ranks_before(const ScoredIndex& a, const ScoredIndex& b) {
  uint32_t ka = score_rank_key(a.score), kb = score_rank_key(b.score);
  return ka != kb ? ka > kb : a.index < b.index;
}

// Reorders items[0..n) so that items[0..min(k, n)) are the best min(k, n) of them in the order of
// ranks_before; the rest of the buffer is left in some order. Returns min(k, n). Indices must be
// distinct, which makes the result independent of the selection method.
size_t select_top_k(ScoredIndex* items, size_t n, size_t k);

// The best min(k, number kept) positions of scores[0..n), best first by ranks_before, written to
// out (room for min(k, n) entries); `keep`, when not null, leaves out positions whose byte is 0.
// Returns the number written.
size_t top_k_scores(const float* scores, const uint8_t* keep, size_t n, size_t k, ScoredIndex* out);

// The scan and the selection in one pass, without a score buffer. Both return what top_k_scores
// returns over the scores named, so every level gives the same rows in the same order.
//
// Int8 panels: score of row r = b * (scales[r] * (a * float(dot_i8(query, row r)))) over the
// n_panels * I8_PANEL_WIDTH rows, products in that order; `scales` and `keep` (never null) have an
// entry for every one of those rows, padding included.
size_t top_k_i8_panels(const int8_t* query, const uint8_t* panels, size_t n_panels, size_t dim,
                       const float* scales, const uint8_t* keep, float a, float b, size_t k,
                       ScoredIndex* out);
// Float panels: score of row r = f * dot_f32(query, row r) (summed in index order) over rows
// r < n_rows of the f32_panel_count(n_rows) panels; `keep`, when not null, has n_rows entries.
size_t top_k_f32_panels(const float* query, const float* panels, size_t n_rows, size_t dim, float f,
                        const uint8_t* keep, size_t k, ScoredIndex* out);

}  // namespace quellmar
