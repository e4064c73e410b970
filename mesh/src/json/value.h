// The JSON document tree shared by the whole mesh.
//
// Numbers keep their kind (unsigned, signed, double) so that an integer read
// from text is written back without a fraction. Objects keep their members
// sorted by key bytes (which is code point order for UTF-8) and unique.
//
// Thread safety: Values are plain data; distinct values may be used from
// distinct threads.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vennu::json {

enum class Kind : std::uint8_t {
  kNull,
  kBool,
  kUnsigned,
  kSigned,
  kDouble,
  kString,
  kArray,
  kObject,
};

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;

// Members sorted by key bytes, keys unique.
class Object {
 public:
  Object() = default;

  // Inserts, or replaces the value of an existing key.
  void set(std::string key, Value value);
  const Value* find(std::string_view key) const;

  std::size_t size() const;
  bool empty() const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;

  // Builds an object from members in input order: sorts them by key and
  // keeps the last of repeated keys. Cheaper than repeated set() calls.
  static Object from_unsorted(std::vector<Member> members);

  bool operator==(const Object& other) const;

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  Value() = default;  // null

  static Value boolean(bool b) { return Value(std::in_place_index<1>, b); }
  static Value unsigned_integer(std::uint64_t u) { return Value(std::in_place_index<2>, u); }
  // Non-negative values are stored as unsigned: the signed kind holds only
  // negative integers.
  static Value signed_integer(std::int64_t i) {
    return i >= 0 ? unsigned_integer(static_cast<std::uint64_t>(i))
                  : Value(std::in_place_index<3>, i);
  }
  static Value floating(double d) { return Value(std::in_place_index<4>, d); }
  static Value string(std::string s) { return Value(std::in_place_index<5>, std::move(s)); }
  static Value array(Array a) { return Value(std::in_place_index<6>, std::move(a)); }
  static Value object(Object o) { return Value(std::in_place_index<7>, std::move(o)); }

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }

  // Precondition for each accessor: kind() matches.
  bool as_bool() const { return std::get<1>(storage_); }
  std::uint64_t as_unsigned() const { return std::get<2>(storage_); }
  std::int64_t as_signed() const { return std::get<3>(storage_); }
  double as_double() const { return std::get<4>(storage_); }
  const std::string& as_string() const { return std::get<5>(storage_); }
  const Array& as_array() const { return std::get<6>(storage_); }
  Array& as_array() { return std::get<6>(storage_); }
  const Object& as_object() const { return std::get<7>(storage_); }
  Object& as_object() { return std::get<7>(storage_); }

  // Structural equality; doubles compare by bit pattern, so -0.0 != 0.0.
  bool operator==(const Value& other) const;

 private:
  using Storage = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double,
                               std::string, Array, Object>;
  // Builds the alternative in place: moving a whole variant costs a visit.
  template <std::size_t kIndex, class Argument>
  Value(std::in_place_index_t<kIndex> index, Argument&& argument)
      : storage_(index, std::forward<Argument>(argument)) {}

  Storage storage_;
};

inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline std::vector<Member>::const_iterator Object::begin() const { return members_.begin(); }
inline std::vector<Member>::const_iterator Object::end() const { return members_.end(); }

}  // namespace vennu::json
