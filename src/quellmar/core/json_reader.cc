#include "quellmar/core/json_reader.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <nlohmann/json.hpp>

#include "quellmar/core/quote.h"
#include "quellmar/core/str_cat.h"

namespace quellmar {

namespace {

constexpr size_t MAX_DEPTH = 128;

// Feeds the JSON library one byte at a time while recording how far it has read, so that the
// SAX handler knows where each token ends.
class CountingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator() = default;
  CountingIterator(const char* p, const char** furthest) : p_(p), furthest_(furthest) {}
  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    if (p_ > *furthest_) *furthest_ = p_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIterator& o) const { return p_ == o.p_; }

 private:
  const char* p_ = nullptr;
  const char** furthest_ = nullptr;
};

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

bool is_integer_literal(const std::string& s) {
  size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

// Builds a JsonValue tree from the library's SAX events.
class TreeBuilder {
 public:
  using json = nlohmann::ordered_json;

  TreeBuilder(std::string_view text, const char** furthest, JsonValue& root)
      : begin_(text.data()), furthest_(furthest), root_(root) {}

  const std::string& error() const { return error_; }
  size_t error_offset() const { return error_offset_; }

  bool null() { return scalar(JsonValue{}); }
  bool boolean(bool b) {
    JsonValue v;
    v.kind = JsonValue::Kind::Bool;
    v.boolean = b;
    return scalar(std::move(v));
  }
  bool number_integer(json::number_integer_t n) {
    JsonValue v;
    if (n >= 0) {
      v.kind = JsonValue::Kind::Unsigned;
      v.unsigned_value = static_cast<uint64_t>(n);
    } else {
      v.kind = JsonValue::Kind::Negative;
      v.negative = n;
    }
    return number(std::move(v));
  }
  bool number_unsigned(json::number_unsigned_t n) {
    JsonValue v;
    v.kind = JsonValue::Kind::Unsigned;
    v.unsigned_value = n;
    return number(std::move(v));
  }
  bool number_float(json::number_float_t d, const json::string_t& raw) {
    JsonValue v;
    v.kind = is_integer_literal(raw) ? JsonValue::Kind::BigInteger : JsonValue::Kind::Float;
    v.number = d;
    v.text = raw;
    return number(std::move(v));
  }
  bool string(json::string_t& s) {
    JsonValue v;
    v.kind = JsonValue::Kind::String;
    v.text = std::move(s);
    return scalar(std::move(v));
  }
  bool binary(json::binary_t&) { return fail_here("binary values are not JSON"); }

  bool start_object(std::size_t) {
    JsonValue v;
    v.kind = JsonValue::Kind::Object;
    return open(std::move(v));
  }
  bool key(json::string_t& k) {
    // Repeated keys are kept: only the typed reading knows whether the member is one it reads.
    JsonValue* object = stack_.back();
    object->members.push_back(JsonMember{std::move(k), JsonValue{}, here()});
    pending_ = &object->members.back().value;
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) {
    JsonValue v;
    v.kind = JsonValue::Kind::Array;
    return open(std::move(v));
  }
  bool end_array() { return close(); }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& ex) {
    std::string what = ex.what();
    // Drop the library's "[json.exception.parse_error.101] " tag; keep its description.
    if (!what.empty() && what[0] == '[') {
      size_t close = what.find("] ");
      if (close != std::string::npos) what.erase(0, close + 2);
    }
    error_ = std::move(what);
    error_offset_ = position;
    return false;
  }

 private:
  size_t here() const { return static_cast<size_t>(*furthest_ - begin_); }

  bool fail_here(std::string message) {
    error_ = std::move(message);
    error_offset_ = here();
    return false;
  }

  // Where the value goes: the root, the next array item or the member whose key came last.
  JsonValue* place(JsonValue&& v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    JsonValue* parent = stack_.back();
    if (parent->kind == JsonValue::Kind::Array) {
      parent->items.push_back(std::move(v));
      return &parent->items.back();
    }
    *pending_ = std::move(v);
    return pending_;
  }

  bool scalar(JsonValue&& v) {
    v.end = here();
    place(std::move(v));
    return true;
  }

  bool number(JsonValue&& v) {
    // The library has read one byte past a number unless the text ended with it.
    size_t end = here();
    if (end > 0 && !is_number_char(begin_[end - 1])) --end;
    v.end = end;
    place(std::move(v));
    return true;
  }

  bool open(JsonValue&& v) {
    if (stack_.size() >= MAX_DEPTH) return fail_here("recursion limit exceeded");
    stack_.push_back(place(std::move(v)));
    return true;
  }

  bool close() {
    stack_.back()->end = here();
    stack_.pop_back();
    return true;
  }

  const char* begin_;
  const char** furthest_;
  JsonValue& root_;
  std::vector<JsonValue*> stack_;
  JsonValue* pending_ = nullptr;
  std::string error_;
  size_t error_offset_ = 0;
};

std::string describe(const JsonValue& v) {
  switch (v.kind) {
    case JsonValue::Kind::Null:
      return "null";
    case JsonValue::Kind::Bool:
      return v.boolean ? "boolean `true`" : "boolean `false`";
    case JsonValue::Kind::Negative:
      return str_cat("integer `", v.negative, "`");
    case JsonValue::Kind::Unsigned:
      return str_cat("integer `", v.unsigned_value, "`");
    case JsonValue::Kind::BigInteger:
      return str_cat("integer `", v.text, "`");
    case JsonValue::Kind::Float:
      return str_cat("floating point `", v.text, "`");
    case JsonValue::Kind::String:
      return str_cat("string ", quote_for_message(v.text));
    case JsonValue::Kind::Array:
      return "sequence";
    case JsonValue::Kind::Object:
      return "map";
  }
  return "value";
}

}  // namespace

bool JsonReader::parse(std::string_view text) {
  text_.assign(text);
  root_ = JsonValue{};
  error_.clear();
  const char* furthest = text_.data();
  TreeBuilder builder(text_, &furthest, root_);
  CountingIterator first(text_.data(), &furthest), last(text_.data() + text_.size(), &furthest);
  bool ok = nlohmann::ordered_json::sax_parse(first, last, &builder);
  if (ok) return true;
  error_ = builder.error().empty() ? "invalid JSON" : builder.error();
  // The library's own descriptions already carry a line and column.
  if (error_.find(" at line ") == std::string::npos) error_ += location(builder.error_offset());
  root_ = JsonValue{};
  return false;
}

std::string JsonReader::location(size_t end) const {
  // `end` is just past the last byte read: name that byte's line and column, counting from 1.
  end = std::min(end, text_.size());
  size_t last = end > 0 ? end - 1 : 0;
  size_t line = 1, line_start = 0;
  for (size_t i = 0; i < last; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return str_cat(" at line ", line, " column ", end - line_start);
}

bool JsonReader::fail(const JsonValue& at, std::string message) {
  error_ = std::move(message) + location(at.end);
  return false;
}

bool JsonReader::fail_duplicate(const JsonMember& again) {
  error_ = str_cat("duplicate field `", again.key, "`") + location(again.key_end);
  return false;
}

bool JsonReader::fields(const JsonValue& v, std::string_view struct_name,
                        std::initializer_list<std::string_view> names,
                        std::vector<const JsonValue*>& out) {
  out.clear();
  if (v.kind == JsonValue::Kind::Array) {
    if (v.items.size() != names.size()) {
      return fail(v, str_cat("invalid length ", v.items.size(), ", expected struct ", struct_name,
                             " with ", names.size(), " elements"));
    }
    for (const JsonValue& item : v.items) out.push_back(&item);
    return true;
  }
  if (v.kind != JsonValue::Kind::Object) {
    return fail(v, str_cat("invalid type: ", describe(v), ", expected struct ", struct_name));
  }
  out.assign(names.size(), nullptr);
  for (const JsonMember& m : v.members) {
    auto name = std::find(names.begin(), names.end(), std::string_view(m.key));
    if (name == names.end()) continue;
    const JsonValue*& slot = out[static_cast<size_t>(name - names.begin())];
    if (slot) return fail_duplicate(m);
    slot = &m.value;
  }
  for (size_t i = 0; i < out.size(); ++i) {
    if (!out[i]) return fail(v, str_cat("missing field `", names.begin()[i], "`"));
  }
  return true;
}

bool JsonReader::variant(const JsonValue& v, std::initializer_list<std::string_view> names,
                         size_t& index, const JsonValue*& payload) {
  auto expected = [&] {
    std::string s;
    for (std::string_view n : names) s += str_cat(s.empty() ? "" : " or ", "`", n, "`");
    return s;
  };
  const std::string* name = nullptr;
  if (v.kind == JsonValue::Kind::Object && v.members.size() > 1 &&
      v.members[1].key == v.members[0].key) {
    return fail_duplicate(v.members[1]);
  }
  if (v.kind == JsonValue::Kind::Object && v.members.size() == 1) {
    name = &v.members[0].key;
    payload = &v.members[0].value;
  } else if (v.kind == JsonValue::Kind::String) {
    name = &v.text;
  } else {
    return fail(v, str_cat("invalid type: ", describe(v),
                           ", expected an object with one member naming the case"));
  }
  auto it = std::find(names.begin(), names.end(), std::string_view(*name));
  if (it == names.end()) {
    return fail(v, str_cat("unknown variant `", *name, "`, expected ", expected()));
  }
  if (v.kind == JsonValue::Kind::String) {
    return fail(v, "invalid type: unit variant, expected struct variant");
  }
  index = static_cast<size_t>(it - names.begin());
  return true;
}

bool JsonReader::get_u8(const JsonValue& v, uint8_t& out) {
  uint64_t wide;
  if (!get_u64(v, wide)) {
    if (error_.find(", expected u64") != std::string::npos) {
      error_.replace(error_.find(", expected u64"), 14, ", expected u8");
    }
    return false;
  }
  if (wide > UINT8_MAX) return fail(v, str_cat("invalid value: ", describe(v), ", expected u8"));
  out = static_cast<uint8_t>(wide);
  return true;
}

bool JsonReader::get_u64(const JsonValue& v, uint64_t& out) {
  switch (v.kind) {
    case JsonValue::Kind::Unsigned:
      out = v.unsigned_value;
      return true;
    case JsonValue::Kind::Negative:
    case JsonValue::Kind::BigInteger:
      return fail(v, str_cat("invalid value: ", describe(v), ", expected u64"));
    default:
      return fail(v, str_cat("invalid type: ", describe(v), ", expected u64"));
  }
}

bool JsonReader::get_u128(const JsonValue& v, uint128_t& out) {
  switch (v.kind) {
    case JsonValue::Kind::Unsigned:
      out = v.unsigned_value;
      return true;
    case JsonValue::Kind::BigInteger: {
      if (v.text[0] == '-') break;
      uint128_t acc = 0;
      const uint128_t max = ~uint128_t{0};
      for (char c : v.text) {
        unsigned d = static_cast<unsigned>(c - '0');
        if (acc > (max - d) / 10) {
          return fail(v, str_cat("invalid value: ", describe(v), ", expected u128"));
        }
        acc = acc * 10 + d;
      }
      out = acc;
      return true;
    }
    case JsonValue::Kind::Negative:
      break;
    default:
      return fail(v, str_cat("invalid type: ", describe(v), ", expected u128"));
  }
  return fail(v, str_cat("invalid value: ", describe(v), ", expected u128"));
}

bool JsonReader::get_f32(const JsonValue& v, float& out) {
  double d;
  switch (v.kind) {
    case JsonValue::Kind::Unsigned:
      d = static_cast<double>(v.unsigned_value);
      break;
    case JsonValue::Kind::Negative:
      d = static_cast<double>(v.negative);
      break;
    case JsonValue::Kind::BigInteger:
    case JsonValue::Kind::Float:
      d = v.number;
      break;
    default:
      return fail(v, str_cat("invalid type: ", describe(v), ", expected f32"));
  }
  // A number that rounds to infinity as a float could never be written back. From the midpoint
  // between FLT_MAX and 2^128 on, rounding goes to infinity.
  static const double FLOAT_OVERFLOW = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
  if (!std::isfinite(d) || std::fabs(d) >= FLOAT_OVERFLOW) {
    return fail(v, str_cat("invalid value: ", describe(v), ", expected f32"));
  }
  out = static_cast<float>(d);
  return true;
}

bool JsonReader::get_string(const JsonValue& v, std::string& out) {
  if (v.kind != JsonValue::Kind::String) {
    return fail(v, str_cat("invalid type: ", describe(v), ", expected a string"));
  }
  out = v.text;
  return true;
}

std::string u128_to_string(uint128_t v) {
  if (v == 0) return "0";
  std::string s;
  while (v > 0) {
    s.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  std::reverse(s.begin(), s.end());
  return s;
}

}  // namespace quellmar
