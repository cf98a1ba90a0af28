#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quellmar/core/coding.h"
#include "quellmar/core/result.h"
#include "quellmar/core/types.h"
#include "quellmar/storage/quantization.h"
#include "quellmar/storage/segment_format.h"

namespace quellmar {

// The fields of one record to encode, its vectors borrowed from the caller: what the writers
// hand to the block pool, so that a batch is encoded without first copying its vectors.
struct CellRecordView {
  CellId cell_id = 0;
  OwnerId owner = 0;
  LayerIdx layer = 0;
  std::span<const float> key;
  std::span<const float> value;
  std::span<const float> extra;
  PackId pack_id = 0;
  uint64_t view_tag = 0;
  uint64_t created_at_ns = 0;
  uint64_t updated_at_ns = 0;
  float importance = 0.0f;
  uint32_t aux32 = 0;
  uint8_t tier = 0;
  // The key and the value already in their stored form (q4_stored_size bytes, see below), when
  // the caller has them: they are copied instead of quantized again.
  const uint8_t* key_stored = nullptr;
  const uint8_t* value_stored = nullptr;

  // The length of the encoded record (4 + body_len), or the failure when the record would be
  // longer than a u32 can say.
  Result<uint64_t> encoded_size() const;
  // Writes the record, encoded_size() bytes, at `out`, which the caller has checked.
  void encode_to(uint8_t* out) const;
};

// The stored form of a key or value of `len` values inside a record: its group scales, then its
// 4-bit codes.
uint64_t q4_stored_size(uint64_t len);
// Writes that form of `values` at `out` (q4_stored_size(values.size()) bytes).
void store_q4(std::span<const float> values, uint8_t* out);
// Decodes `len` values from that form at `groups` into out[0, len).
void decode_q4_groups(const uint8_t* groups, uint64_t len, float* out);

// One cell as the engine writes it and the decoder returns it.
struct CellRecord {
  CellId cell_id = 0;
  OwnerId owner = 0;
  LayerIdx layer = 0;
  std::vector<float> key;
  std::vector<float> value;  // empty for head and view-key cells
  std::vector<float> extra;  // stored without quantization
  PackId pack_id = 0;        // 0 for cells of the cell-level interface
  uint64_t view_tag = 0;     // VIEW_KEY_TAG for view-key cells
  uint64_t created_at_ns = 0;
  uint64_t updated_at_ns = 0;
  float importance = 0.0f;
  uint32_t aux32 = 0;
  uint8_t tier = 0;

  // Appends the encoded record to `out`; returns body_len. Fails, writing nothing, when the record
  // would be longer than a u32 can say.
  Result<uint32_t> encode(std::string& out) const;

  // The length of the encoded record (4 + body_len), or the failure encode would report.
  Result<uint64_t> encoded_size() const;

  CellRecordView view() const;
};

// What a decode fills in: everything, everything but the value (the caller then gets an empty
// value, which saves the dequantization of large payloads), or the fixed fields alone (empty key
// and value, for a caller that looks at the encoded key itself).
enum class DecodeParts : uint8_t { All, SkipValue, FieldsOnly };

// Decodes one record from `bytes` (exactly 4 + body_len bytes). The counts are checked against
// body_len before anything is read, so a damaged record fails instead of over-reading.
// `path` and `offset` name the record in a failure ("offset 8 in /dir/segment_000000.qmr").
Status decode_cell_record(const uint8_t* bytes, uint64_t size, DecodeParts parts, CellRecord& out,
                          const std::string& path, uint64_t offset);

// The fixed fields of a record that a refresh keeps.
struct CellFields {
  CellId cell_id = 0;
  OwnerId owner = 0;
  PackId pack_id = 0;
  float importance = 0.0f;
  LayerIdx layer = 0;
  uint8_t tier = 0;
};
// The checks of decode_cell_record, with its failures, and those fields alone.
Status decode_cell_fields(const uint8_t* bytes, uint64_t size, CellFields& out,
                          const std::string& path, uint64_t offset);
// Those fields as the fixed part of a record holds them, without any check: what a record that
// does not decode still says of itself (its pack, say). `size` is what is there of the record
// (its length word first); false, with nothing read, when its length word or `size` leaves no
// room for the whole fixed part.
bool decode_fixed_fields(const uint8_t* bytes, uint64_t size, CellFields& out);

// The encoded key (its scales, then its codes) of a record that decoded without failure.
std::span<const uint8_t> encoded_key_bytes(const uint8_t* record);
// The key of a record that decoded without failure, as a decode of it would give it.
void decode_record_key(const uint8_t* record, std::vector<float>& out);
// The same into out[0, record_key_len(record)).
uint64_t record_key_len(const uint8_t* record);
void decode_record_key_to(const uint8_t* record, float* out);

// Where the value of a checked record (check_cell_record) lies: `len` values whose 4-bit groups
// (scales, then codes) start `at` bytes into the record. For readers that decode the value
// straight into memory of their own (decode_q4_groups) and need nothing else of the record.
struct StoredValue {
  LayerIdx layer = 0;
  uint64_t len = 0;
  uint64_t at = 0;
};
StoredValue stored_value(const uint8_t* record);

// The body_len the encoder writes for vectors of these lengths.
inline uint64_t record_body_len(uint64_t key_len, uint64_t value_len, uint64_t extra_len) {
  return segment_format::MIN_BODY_LEN + q4_group_count(key_len) * (4 + Q4_GROUP_BYTES) +
         q4_group_count(value_len) * (4 + Q4_GROUP_BYTES) + 4 * extra_len;
}

// Whether the fixed part of a record (its first FIXED_SIZE bytes) could have been written by this
// system's encoder: its length word and its counts agree with each other and with the vector
// lengths. Needs no byte beyond the fixed part, so it also judges a record the file cuts short.
// Inline: a scan asks it of every record.
inline bool fixed_part_agrees(const uint8_t* p) {
  namespace sf = segment_format;
  const uint64_t key_len = decode_u32(p + sf::OFF_KEY_LEN);
  const uint64_t value_len = decode_u32(p + sf::OFF_VALUE_LEN);
  const uint64_t ksc = decode_u32(p + sf::OFF_KEY_SCALES);
  const uint64_t vsc = decode_u32(p + sf::OFF_VALUE_SCALES);
  // Every writer stores exactly ceil(len / 32) scales and 16 bytes per group.
  return ksc == q4_group_count(key_len) && vsc == q4_group_count(value_len) &&
         decode_u32(p + sf::OFF_KEY_BYTES) == ksc * Q4_GROUP_BYTES &&
         decode_u32(p + sf::OFF_VALUE_BYTES) == vsc * Q4_GROUP_BYTES &&
         decode_u32(p + sf::OFF_BODY_LEN) ==
             record_body_len(key_len, value_len, decode_u32(p + sf::OFF_EXTRA_LEN));
}
// Whether the counts of a fixed part agree with each other and with the vector lengths, its
// length word aside.
bool counts_agree(const uint8_t* bytes);
// The record lengths (4 + body_len) that a fixed part implies apart from its length word: from its
// scale and byte counts, and from its vector lengths. For every record the encoder writes the two
// agree with the length word; where that word is damaged, they say where the record ends.
struct ImpliedLength {
  uint64_t from_counts = 0;
  uint64_t from_lengths = 0;
};
ImpliedLength implied_length(const uint8_t* bytes);
// Checks a record of `size` bytes (at least its fixed part): its length word and its counts agree
// with each other and with the vector lengths.
Status check_record_header(const uint8_t* bytes, uint64_t size, const std::string& path,
                           uint64_t offset);
// check_record_header, and the checks of the fields that decode_cell_record fails on: a record
// that passes decodes without failure.
Status check_cell_record(const uint8_t* bytes, uint64_t size, const std::string& path,
                         uint64_t offset);

}  // namespace quellmar
