#include "quellmar/engine/id_floor.h"

#include <cstring>

#include "quellmar/core/coding.h"
#include "quellmar/core/file_names.h"
#include "quellmar/core/posix_file.h"
#include "quellmar/core/sha256.h"
#include "quellmar/core/temp_file.h"

namespace quellmar {

namespace {

constexpr size_t CHECKED_SIZE = 24;

uint64_t check_of(const uint8_t* bytes) {
  Sha256 hasher;
  hasher.update(bytes, CHECKED_SIZE);
  const Sha256Digest digest = hasher.finish();
  return decode_u64(digest.data());
}

}  // namespace

std::string encode_id_floor(const IdFloor& floor) {
  std::string out(ID_FLOOR_SIZE, '\0');
  auto* p = reinterpret_cast<uint8_t*>(out.data());
  std::memcpy(p, ID_FLOOR_MAGIC, sizeof ID_FLOOR_MAGIC);
  encode_u32(p + 4, ID_FLOOR_VERSION);
  encode_u64(p + 8, floor.next_cell);
  encode_u64(p + 16, floor.next_pack);
  encode_u64(p + CHECKED_SIZE, check_of(p));
  return out;
}

Result<std::optional<IdFloor>> read_id_floor(const std::string& dir) {
  const std::string path = join_path(dir, ID_FLOOR_FILE);
  if (!path_exists(path)) return std::optional<IdFloor>();
  QM_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  QM_ASSIGN_OR_RETURN(const uint64_t size, fd_size(fd));
  if (size != ID_FLOOR_SIZE) return std::optional<IdFloor>();
  uint8_t p[ID_FLOOR_SIZE];
  QM_RETURN_IF_ERROR(pread_exact(fd, p, sizeof p, 0));
  if (std::memcmp(p, ID_FLOOR_MAGIC, sizeof ID_FLOOR_MAGIC) != 0 ||
      decode_u32(p + 4) != ID_FLOOR_VERSION || decode_u64(p + CHECKED_SIZE) != check_of(p)) {
    return std::optional<IdFloor>();
  }
  return std::optional<IdFloor>(IdFloor{decode_u64(p + 8), decode_u64(p + 16)});
}

Status write_id_floor(const std::string& dir, const IdFloor& floor) {
  const std::string bytes = encode_id_floor(floor);
  QM_ASSIGN_OR_RETURN(TempFile temp, TempFile::create(dir, ID_FLOOR_FILE));
  QM_RETURN_IF_ERROR(write_all(temp.fd(), bytes.data(), bytes.size(), temp.path()));
  QM_RETURN_IF_ERROR(full_sync(temp.fd(), temp.path()));
  return temp.commit();
}

}  // namespace quellmar
