#include "quellmar/storage/cell_record.h"

#include <cstring>
#include <iterator>

#include "quellmar/core/coding.h"
#include "quellmar/core/str_cat.h"
#include "quellmar/storage/quantization.h"
#include "quellmar/storage/segment_format.h"

namespace quellmar {

namespace sf = segment_format;

namespace {

EngineError damaged(const std::string& path, uint64_t offset) {
  return EngineError::io(
      IoError::invalid_data(str_cat("damaged cell record at offset ", offset, " in ", path)));
}

}  // namespace

Result<uint64_t> CellRecordView::encoded_size() const {
  const uint64_t body = record_body_len(key.size(), value.size(), extra.size());
  if (body > UINT32_MAX) {
    return EngineError::io(
        IoError::invalid_input(str_cat("record size ", body, " exceeds u32::MAX")));
  }
  return 4 + body;
}

uint64_t q4_stored_size(uint64_t len) { return q4_group_count(len) * (4 + Q4_GROUP_BYTES); }

namespace {

// An aligned buffer for the scales of one vector (in a record they need not be aligned): on the
// stack for any vector up to 8192 values.
class ScaleBuffer {
 public:
  explicit ScaleBuffer(uint64_t groups) {
    if (groups > std::size(stack_)) {
      heap_.resize(groups);
      data_ = heap_.data();
    }
  }
  ScaleBuffer(const ScaleBuffer&) = delete;
  ScaleBuffer& operator=(const ScaleBuffer&) = delete;
  float* data() { return data_; }

 private:
  float stack_[256];
  std::vector<float> heap_;
  float* data_ = stack_;
};

}  // namespace

void store_q4(std::span<const float> values, uint8_t* out) {
  const uint64_t groups = q4_group_count(values.size());
  if (groups == 0) return;  // an empty span may have no data()
  // The scales are written little-endian in place; the codes right after them.
  ScaleBuffer scales(groups);
  quantize_q4_into(values.data(), values.size(), scales.data(), out + 4 * groups);
  std::memcpy(out, scales.data(), 4 * groups);
}

void CellRecordView::encode_to(uint8_t* p) const {
  const uint64_t kg = q4_group_count(key.size()), vg = q4_group_count(value.size());
  const uint32_t body_len =
      static_cast<uint32_t>(record_body_len(key.size(), value.size(), extra.size()));
  encode_u32(p + sf::OFF_BODY_LEN, body_len);
  encode_u64(p + sf::OFF_CELL_ID, cell_id);
  encode_u64(p + sf::OFF_OWNER, owner);
  encode_u16(p + sf::OFF_LAYER, layer);
  encode_u32(p + sf::OFF_KEY_LEN, static_cast<uint32_t>(key.size()));
  encode_u32(p + sf::OFF_VALUE_LEN, static_cast<uint32_t>(value.size()));
  encode_u32(p + sf::OFF_EXTRA_LEN, static_cast<uint32_t>(extra.size()));
  encode_u64(p + sf::OFF_PACK_ID, pack_id);
  encode_u64(p + sf::OFF_VIEW_TAG, view_tag);
  encode_u64(p + sf::OFF_CREATED, created_at_ns);
  encode_u64(p + sf::OFF_UPDATED, updated_at_ns);
  encode_f32(p + sf::OFF_IMPORTANCE, importance);
  encode_u32(p + sf::OFF_AUX32, aux32);
  p[sf::OFF_TIER] = tier;
  encode_u32(p + sf::OFF_KEY_SCALES, static_cast<uint32_t>(kg));
  encode_u32(p + sf::OFF_KEY_BYTES, static_cast<uint32_t>(kg * Q4_GROUP_BYTES));
  encode_u32(p + sf::OFF_VALUE_SCALES, static_cast<uint32_t>(vg));
  encode_u32(p + sf::OFF_VALUE_BYTES, static_cast<uint32_t>(vg * Q4_GROUP_BYTES));

  uint8_t* q = p + sf::FIXED_SIZE;
  auto put_vector = [&](std::span<const float> v, const uint8_t* stored) {
    const uint64_t n = q4_stored_size(v.size());
    if (stored != nullptr) {
      if (n) std::memcpy(q, stored, n);
    } else {
      store_q4(v, q);
    }
    q += n;
  };
  put_vector(key, key_stored);
  put_vector(value, value_stored);
  if (!extra.empty()) std::memcpy(q, extra.data(), 4 * extra.size());
}

CellRecordView CellRecord::view() const {
  // Its vectors have no stored form yet.
  return CellRecordView{cell_id,    owner,   layer,    key,           value,
                        extra,      pack_id, view_tag, created_at_ns, updated_at_ns,
                        importance, aux32,   tier,     nullptr,       nullptr};
}

Result<uint64_t> CellRecord::encoded_size() const { return view().encoded_size(); }

Result<uint32_t> CellRecord::encode(std::string& out) const {
  const CellRecordView v = view();
  QM_ASSIGN_OR_RETURN(const uint64_t size, v.encoded_size());
  const size_t start = out.size();
  out.resize(start + size);
  v.encode_to(reinterpret_cast<uint8_t*>(out.data()) + start);
  return static_cast<uint32_t>(size - 4);
}

std::span<const uint8_t> encoded_key_bytes(const uint8_t* p) {
  const uint64_t groups = q4_group_count(decode_u32(p + sf::OFF_KEY_LEN));
  return {p + sf::FIXED_SIZE, groups * (4 + Q4_GROUP_BYTES)};
}

void decode_record_key(const uint8_t* p, std::vector<float>& out) {
  out.resize(record_key_len(p));
  decode_record_key_to(p, out.data());
}

uint64_t record_key_len(const uint8_t* p) { return decode_u32(p + sf::OFF_KEY_LEN); }

void decode_record_key_to(const uint8_t* p, float* out) {
  decode_q4_groups(p + sf::FIXED_SIZE, record_key_len(p), out);
}

bool counts_agree(const uint8_t* p) {
  const uint64_t key_len = decode_u32(p + sf::OFF_KEY_LEN);
  const uint64_t value_len = decode_u32(p + sf::OFF_VALUE_LEN);
  const uint64_t ksc = decode_u32(p + sf::OFF_KEY_SCALES);
  const uint64_t kbc = decode_u32(p + sf::OFF_KEY_BYTES);
  const uint64_t vsc = decode_u32(p + sf::OFF_VALUE_SCALES);
  const uint64_t vbc = decode_u32(p + sf::OFF_VALUE_BYTES);
  // Every writer stores exactly ceil(len / 32) scales and 16 bytes per group.
  return ksc == q4_group_count(key_len) && kbc == ksc * Q4_GROUP_BYTES &&
         vsc == q4_group_count(value_len) && vbc == vsc * Q4_GROUP_BYTES;
}

ImpliedLength implied_length(const uint8_t* p) {
  const uint64_t extra = 4 * uint64_t{decode_u32(p + sf::OFF_EXTRA_LEN)};
  ImpliedLength out;
  out.from_counts = sf::FIXED_SIZE + 4 * uint64_t{decode_u32(p + sf::OFF_KEY_SCALES)} +
                    decode_u32(p + sf::OFF_KEY_BYTES) +
                    4 * uint64_t{decode_u32(p + sf::OFF_VALUE_SCALES)} +
                    decode_u32(p + sf::OFF_VALUE_BYTES) + extra;
  out.from_lengths =
      4 + record_body_len(decode_u32(p + sf::OFF_KEY_LEN), decode_u32(p + sf::OFF_VALUE_LEN),
                          decode_u32(p + sf::OFF_EXTRA_LEN));
  return out;
}

Status check_record_header(const uint8_t* p, uint64_t size, const std::string& path,
                           uint64_t offset) {
  // Anything but what a writer stores is damage; the checks keep every later read inside the
  // record.
  if (size < sf::FIXED_SIZE || decode_u32(p) + uint64_t{4} != size || !fixed_part_agrees(p)) {
    return damaged(path, offset);
  }
  return Status::ok();
}

namespace {

// The tier byte a record may hold: 0 to 2.
Status check_tier(const uint8_t* p) {
  const uint8_t tier = p[sf::OFF_TIER];
  if (tier <= 2) return Status::ok();
  return EngineError::io(IoError::invalid_data(
      str_cat("invalid tier byte ", unsigned{tier}, " in cell ", decode_u64(p + sf::OFF_CELL_ID))));
}

}  // namespace

Status check_cell_record(const uint8_t* p, uint64_t size, const std::string& path,
                         uint64_t offset) {
  QM_RETURN_IF_ERROR(check_record_header(p, size, path, offset));
  return check_tier(p);
}

StoredValue stored_value(const uint8_t* p) {
  return StoredValue{decode_u16(p + sf::OFF_LAYER), decode_u32(p + sf::OFF_VALUE_LEN),
                     sf::FIXED_SIZE + q4_stored_size(decode_u32(p + sf::OFF_KEY_LEN))};
}

void decode_q4_groups(const uint8_t* q, uint64_t len, float* out) {
  const uint64_t groups = q4_group_count(len);
  if (groups == 0) return;
  ScaleBuffer scales(groups);
  std::memcpy(scales.data(), q, 4 * groups);
  dequantize_q4_into(scales.data(), groups, q + 4 * groups, groups * Q4_GROUP_BYTES, len, out);
}

namespace {

// Decodes the quantized vector of `len` values at q (its scales, then its codes) into v and
// returns the end of its bytes.
const uint8_t* decode_q4_vector(const uint8_t* q, uint64_t len, std::vector<float>& v) {
  v.resize(len);
  decode_q4_groups(q, len, v.data());
  return q + q4_stored_size(len);
}

}  // namespace

Status decode_cell_fields(const uint8_t* p, uint64_t size, CellFields& out, const std::string& path,
                          uint64_t offset) {
  QM_RETURN_IF_ERROR(check_record_header(p, size, path, offset));
  out.cell_id = decode_u64(p + sf::OFF_CELL_ID);
  out.owner = decode_u64(p + sf::OFF_OWNER);
  out.pack_id = decode_u64(p + sf::OFF_PACK_ID);
  out.importance = decode_f32(p + sf::OFF_IMPORTANCE);
  out.layer = decode_u16(p + sf::OFF_LAYER);
  out.tier = p[sf::OFF_TIER];
  return check_tier(p);
}

bool decode_fixed_fields(const uint8_t* p, uint64_t size, CellFields& out) {
  if (size < sf::FIXED_SIZE || decode_u32(p + sf::OFF_BODY_LEN) < sf::MIN_BODY_LEN) return false;
  out.cell_id = decode_u64(p + sf::OFF_CELL_ID);
  out.owner = decode_u64(p + sf::OFF_OWNER);
  out.pack_id = decode_u64(p + sf::OFF_PACK_ID);
  out.importance = decode_f32(p + sf::OFF_IMPORTANCE);
  out.layer = decode_u16(p + sf::OFF_LAYER);
  out.tier = p[sf::OFF_TIER];
  return true;
}

Status decode_cell_record(const uint8_t* p, uint64_t size, DecodeParts parts, CellRecord& out,
                          const std::string& path, uint64_t offset) {
  CellFields fields;
  QM_RETURN_IF_ERROR(decode_cell_fields(p, size, fields, path, offset));
  out.cell_id = fields.cell_id;
  out.owner = fields.owner;
  out.layer = fields.layer;
  out.pack_id = fields.pack_id;
  out.importance = fields.importance;
  out.tier = fields.tier;
  const uint64_t key_len = decode_u32(p + sf::OFF_KEY_LEN);
  const uint64_t value_len = decode_u32(p + sf::OFF_VALUE_LEN);
  const uint64_t extra_len = decode_u32(p + sf::OFF_EXTRA_LEN);
  out.view_tag = decode_u64(p + sf::OFF_VIEW_TAG);
  out.created_at_ns = decode_u64(p + sf::OFF_CREATED);
  out.updated_at_ns = decode_u64(p + sf::OFF_UPDATED);
  out.aux32 = decode_u32(p + sf::OFF_AUX32);

  const uint8_t* q = p + sf::FIXED_SIZE;
  if (parts == DecodeParts::FieldsOnly) {
    out.key.clear();
    q += q4_group_count(key_len) * (4 + Q4_GROUP_BYTES);
  } else {
    q = decode_q4_vector(q, key_len, out.key);
  }
  if (parts == DecodeParts::All) {
    q = decode_q4_vector(q, value_len, out.value);
  } else {
    out.value.clear();
    q += q4_group_count(value_len) * (4 + Q4_GROUP_BYTES);
  }
  out.extra.resize(extra_len);
  if (extra_len) std::memcpy(out.extra.data(), q, 4 * extra_len);
  return Status::ok();
}

}  // namespace quellmar
