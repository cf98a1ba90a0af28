#pragma once

// id_floor.bin: the ids a store has handed out, written by compaction before it drops any record.
// Ids are never handed out twice (the saved graph, the trace log, the deletion log and the text
// store may all name old ones), but an open can tell which ids were taken only from what the
// files name; once compaction has dropped the records of the highest ids, this file is what
// still names them. It is rewritten whole (through a temporary name and a rename) and only ever
// raised.
//
//   offset 0   4 bytes  magic "QMID"
//   offset 4   u32      version, 1
//   offset 8   u64      next cell id: every cell id below it was handed out
//   offset 16  u64      next pack id: every pack id below it was handed out
//   offset 24  u64      check: the first 8 bytes of the SHA-256 of bytes 0..24, little-endian
//
// A file that does not read as this (another size, magic, version or check) is damage and names
// nothing; the open then goes by the other files alone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "quellmar/core/result.h"
#include "quellmar/core/types.h"

namespace quellmar {

inline constexpr char ID_FLOOR_MAGIC[4] = {'Q', 'M', 'I', 'D'};
inline constexpr uint32_t ID_FLOOR_VERSION = 1;
inline constexpr size_t ID_FLOOR_SIZE = 32;

struct IdFloor {
  CellId next_cell = 0;
  PackId next_pack = 0;
  friend bool operator==(const IdFloor&, const IdFloor&) = default;
};

// The floor of dir, or none when the file is missing or damaged. Only a failed read is an error.
Result<std::optional<IdFloor>> read_id_floor(const std::string& dir);
// Replaces the floor of dir durably (the file, then the directory, on stable storage).
Status write_id_floor(const std::string& dir, const IdFloor& floor);
// The file's bytes for a floor.
std::string encode_id_floor(const IdFloor& floor);

}  // namespace quellmar
