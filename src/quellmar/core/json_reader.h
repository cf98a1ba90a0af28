#pragma once

// Strict, typed reading of the engine's JSON files (scheduled_actions.json, manifest.json).
//
// The JSON library does the lexing; on top of it this reader keeps integers too large for 64 bits
// as their digits, limits nesting to 128 levels, and remembers where every key and value ends so
// that messages can name a line and column. The typed getters accept what a typed reader of a
// fixed schema accepts: members in any order, unknown members ignored whole (whatever they hold,
// repeated keys included), and a struct given as an array of its fields in order; a member of the
// schema given twice is refused.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quellmar {

using uint128_t = unsigned __int128;

struct JsonMember;

struct JsonValue {
  enum class Kind : uint8_t {
    Null,
    Bool,
    Negative,    // an integer below 0 that fits 64 bits (`negative`)
    Unsigned,    // an integer from 0 that fits 64 bits (`unsigned_value`)
    BigInteger,  // an integer too large for 64 bits; `text` holds its digits
    Float,       // any other number (`number`; `text` holds it as written)
    String,      // `text`
    Array,       // `items`
    Object,      // `members`, in document order
  };

  Kind kind = Kind::Null;
  bool boolean = false;
  int64_t negative = 0;
  uint64_t unsigned_value = 0;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<JsonMember> members;
  size_t end = 0;  // byte offset just past the value in the parsed text
};

struct JsonMember {
  std::string key;
  JsonValue value;
  size_t key_end = 0;  // byte offset just past the key
};

class JsonReader {
 public:
  // Parses one JSON document (whitespace around it allowed, nothing else). On failure returns
  // false and error() holds the description of the first problem.
  bool parse(std::string_view text);

  const JsonValue& root() const { return root_; }
  const std::string& error() const { return error_; }

  // The fields of a struct named `struct_name`, in the order of `names`: from an object (each
  // must be present once; others are ignored) or from an array of exactly that many fields.
  bool fields(const JsonValue& v, std::string_view struct_name,
              std::initializer_list<std::string_view> names, std::vector<const JsonValue*>& out);
  // An externally tagged enum: an object with one member named after the case. Sets `index` to
  // the case's position in `names` and `payload` to the member's value.
  bool variant(const JsonValue& v, std::initializer_list<std::string_view> names, size_t& index,
               const JsonValue*& payload);

  bool get_u8(const JsonValue& v, uint8_t& out);
  bool get_u64(const JsonValue& v, uint64_t& out);
  bool get_u128(const JsonValue& v, uint128_t& out);
  // Any number that fits a 32-bit float (rounded to nearest).
  bool get_f32(const JsonValue& v, float& out);
  bool get_string(const JsonValue& v, std::string& out);

  // Sets error() to `message` followed by the position where `at` ends; returns false.
  bool fail(const JsonValue& at, std::string message);

 private:
  std::string location(size_t end) const;
  // A member named twice: fails at the second key.
  bool fail_duplicate(const JsonMember& again);

  std::string text_;
  JsonValue root_;
  std::string error_;
};

// Decimal digits of a 128-bit unsigned number.
std::string u128_to_string(uint128_t v);

}  // namespace quellmar
