#pragma once

// Segment files: "segment_{:06}.qmr" in the engine directory.
//
//   offset 0  4 bytes  magic "QMRS"
//   offset 4  u32      format version, written as 1 and never read
//   offset 8  ...      cell records, back to back to the end of the file
//
// A cell record (little-endian, packed; offsets from the record's start):
//
//    0 u32 body_len     everything after this word
//    4 u64 cell_id     12 u64 owner          20 u16 layer
//   22 u32 key_len     26 u32 value_len      30 u32 extra_len
//   34 u64 pack_id     42 u64 view_tag       50 u64 created_at_ns   58 u64 updated_at_ns
//   66 f32 importance  70 u32 aux32          74 u8  tier
//   75 u32 key_scale_count    79 u32 key_byte_count
//   83 u32 value_scale_count  87 u32 value_byte_count
//   91 key scales (f32 each), key codes, value scales, value codes, extra values (f32 each)
//
// Keys and values are 4-bit group codes: ceil(len / 32) scales and 16 bytes per group.
// body_len = 87 + 4 * key_scale_count + key_byte_count + 4 * value_scale_count
//               + value_byte_count + 4 * extra_len.

#include <cstddef>
#include <cstdint>

namespace quellmar::segment_format {

inline constexpr char MAGIC[4] = {'Q', 'M', 'R', 'S'};
inline constexpr uint32_t VERSION = 1;
inline constexpr uint64_t HEADER_SIZE = 8;

inline constexpr size_t OFF_BODY_LEN = 0;
inline constexpr size_t OFF_CELL_ID = 4;
inline constexpr size_t OFF_OWNER = 12;
inline constexpr size_t OFF_LAYER = 20;
inline constexpr size_t OFF_KEY_LEN = 22;
inline constexpr size_t OFF_VALUE_LEN = 26;
inline constexpr size_t OFF_EXTRA_LEN = 30;
inline constexpr size_t OFF_PACK_ID = 34;
inline constexpr size_t OFF_VIEW_TAG = 42;
inline constexpr size_t OFF_CREATED = 50;
inline constexpr size_t OFF_UPDATED = 58;
inline constexpr size_t OFF_IMPORTANCE = 66;
inline constexpr size_t OFF_AUX32 = 70;
inline constexpr size_t OFF_TIER = 74;
inline constexpr size_t OFF_KEY_SCALES = 75;
inline constexpr size_t OFF_KEY_BYTES = 79;
inline constexpr size_t OFF_VALUE_SCALES = 83;
inline constexpr size_t OFF_VALUE_BYTES = 87;
// Size of the fixed part of a record, the length word included.
inline constexpr size_t FIXED_SIZE = 91;
// body_len of a record with no key, value or extra values.
inline constexpr uint32_t MIN_BODY_LEN = FIXED_SIZE - 4;
// The shortest body_len the scan walks over: one that holds the cell id. A shorter record is
// still located (and reads as damaged), and the scan goes on right behind it.
inline constexpr uint32_t MIN_WALKED_BODY_LEN = 8;

// The most records `bytes` of segment files can hold, bounded: what a scan of files of that size
// makes room for ahead, so that its lists take the memory the records found use instead of
// growing (and copying everything) several times; beyond the bound they grow as records come.
inline uint64_t most_records_in(uint64_t bytes) {
  return bytes / FIXED_SIZE < (uint64_t{1} << 22) ? bytes / FIXED_SIZE : uint64_t{1} << 22;
}

static_assert(OFF_VALUE_BYTES + 4 == FIXED_SIZE);
static_assert(OFF_TIER + 1 == OFF_KEY_SCALES);

}  // namespace quellmar::segment_format
