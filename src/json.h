// JSON: the value tree of metadata and filter texts, and its parser.
//
// Numbers keep the form they were written in: a non-negative integer is a
// uint64, a negative integer an int64, anything with a fraction or exponent
// (or an integer too large for 64 bits) a double. Objects hold their members
// in ascending byte order of their keys, the last of a repeated key winning.
//
// parse() accepts exactly one value with optional surrounding whitespace
// (space, tab, LF, CR) and at most 127 nested arrays/objects. Failures are
// Status::Invalid with texts such as "trailing characters at line 1 column 3".
//
// Thread safety: values are plain data; parse() is reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "status.h"

namespace ostrel::json {

class Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;  // sorted by key (bytes), keys unique

class Value {
 public:
  enum class Kind : uint8_t { kNull, kBool, kUint, kInt, kDouble, kString, kArray, kObject };

  Value() = default;  // null
  // Defined below, once Member is complete (clang instantiates the variant's
  // converting constructor, and with it std::vector<Member>, right here).
  explicit Value(bool b);
  explicit Value(uint64_t u);
  explicit Value(int64_t i);
  explicit Value(double d);
  explicit Value(std::string s);
  explicit Value(Array a);
  explicit Value(Object o);

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_number() const {
    return kind() == Kind::kUint || kind() == Kind::kInt || kind() == Kind::kDouble;
  }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  bool as_bool() const { return std::get<bool>(data_); }
  uint64_t as_uint() const { return std::get<uint64_t>(data_); }
  int64_t as_int() const { return std::get<int64_t>(data_); }
  double as_double() const { return std::get<double>(data_); }
  const std::string& as_string() const { return std::get<std::string>(data_); }
  const Array& as_array() const { return std::get<Array>(data_); }
  const Object& as_object() const { return std::get<Object>(data_); }
  Array& as_array() { return std::get<Array>(data_); }
  Object& as_object() { return std::get<Object>(data_); }

  // A number as a 64-bit float: unsigned and signed integers rounded to the
  // nearest double, doubles unchanged. REQUIRES: is_number().
  double number_as_double() const {
    switch (kind()) {
      case Kind::kUint:
        return static_cast<double>(as_uint());
      case Kind::kInt:
        return static_cast<double>(as_int());
      default:
        return as_double();
    }
  }

 private:
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> data_;
};

struct Member {
  std::string key;
  Value value;
};

inline Value::Value(bool b) : data_(b) {}
inline Value::Value(uint64_t u) : data_(u) {}
inline Value::Value(int64_t i) : data_(i) {}
inline Value::Value(double d) : data_(d) {}
inline Value::Value(std::string s) : data_(std::move(s)) {}
inline Value::Value(Array a) : data_(std::move(a)) {}
inline Value::Value(Object o) : data_(std::move(o)) {}

// Parses one complete JSON text into a value tree.
Result<Value> parse(std::string_view text);

}  // namespace ostrel::json
