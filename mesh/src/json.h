// JSON values and their text forms.
//
// Value is the document tree shared by the whole mesh. Numbers keep their
// kind (unsigned, signed, double) so that an integer read from text is
// written back without a fraction. Objects keep their members sorted by key
// bytes (which is code point order for UTF-8) and unique.
//
// The reader accepts exactly one RFC 8259 value surrounded by optional JSON
// whitespace, nests at most kMaxDepth levels (refused before any recursion
// goes deeper), and reports failures as Error values whose text ends in
// " at line L column C" (lines split on '\n', columns count bytes). Strings
// must be valid UTF-8. The writer is compact and deterministic: no
// whitespace, shortest round-trip doubles, minimal escapes.
//
// Thread safety: Values are plain data; distinct values may be used from
// distinct threads. All functions here may run on many threads at once; the
// readers keep reusable scratch space per thread, so reading a small text
// allocates nothing beyond what it returns.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "expected.h"
#include "text_shape.h"

namespace vennu::json {

inline constexpr int kMaxDepth = 127;

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
    return i >= 0 ? unsigned_integer(static_cast<std::uint64_t>(i)) : Value(std::in_place_index<3>, i);
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
  using Storage =
      std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object>;
  // Builds the alternative in place: moving a whole variant costs a visit.
  template <std::size_t kIndex, class Argument>
  Value(std::in_place_index_t<kIndex> index, Argument&& argument) : storage_(index, std::forward<Argument>(argument)) {}

  Storage storage_;
};

inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline std::vector<Member>::const_iterator Object::begin() const { return members_.begin(); }
inline std::vector<Member>::const_iterator Object::end() const { return members_.end(); }

// A reader or writer failure. line is 0 when no position is known.
struct Error {
  std::string message;
  std::size_t line = 0;
  std::size_t column = 0;

  // The message, then " at line L column C" when a position is known.
  std::string text() const;
};

// Parses one complete JSON text into a generic value.
Expected<Value, Error> parse(std::string_view text);

// Checks one complete JSON text as parse does, with the same errors and
// positions, building nothing; nullopt when parse would succeed.
std::optional<Error> validate(std::string_view text);

// Parses one complete JSON text and returns its compact form: the same text
// write(parse(text)) would give, without keeping the tree when it is not
// needed.
Expected<std::string, Error> canonicalize(std::string_view text);

// canonicalize for a caller that keeps the compact form: appends it to out
// (which it leaves as it was on failure) and sets shape to its shape_of
// (text_shape.h), found while writing it rather than by reading it again.
std::optional<Error> canonicalize(std::string_view text, std::string& out, TextShape& shape);

// The number of bytes the canonicalize calls of this thread have moved so
// far to put object members in key order: a work counter, which tests use to
// show that reordering costs time in proportion to the text at any depth.
std::uint64_t reordered_bytes_on_this_thread();

// Appends the compact text of a value.
void write(const Value& value, std::string& out);
std::string write(const Value& value);

// Appends a JSON string literal (quotes included) for UTF-8 text.
void write_string(std::string_view text, std::string& out);

// Appends the text form of a number.
void write_unsigned(std::uint64_t value, std::string& out);
void write_signed(std::int64_t value, std::string& out);
void write_double(double value, std::string& out);

// The digits and layout of write_double with the exponent sign written only
// when negative ("1e16", "1.5e-7"): the form error messages quote numbers in.
void write_double_for_message(double value, std::string& out);

// A pull reader over one JSON text, for readers that build records straight
// from the text, so that each fault is reported where it is found. Errors are
// positioned at the last byte consumed; a step that fails on the next byte
// consumes that byte first, and a failure at the end points at the last byte.
//
// Every step returns false (or Step::kFailed) after recording the first
// failure in error(); the reader must not be stepped after that. Nesting is
// counted by begin_array/begin_object and the steps that close them, and
// opening level kMaxDepth + 1 fails with "recursion limit exceeded".
//
// Thread safety: a Reader is used by one thread at a time.
class Reader {
 public:
  enum class Step : std::uint8_t { kItem, kEnd, kFailed };

  explicit Reader(std::string_view text);

  // Skips JSON whitespace; returns the next byte (0-255) unconsumed, or -1
  // at the end of the text.
  int peek();

  // Any value at peek() into a tree.
  bool read_value(Value& out);
  // Any value at peek(), checked as read_value checks it except for number
  // range, and dropped.
  bool skip_value();
  // A string at peek() == '"': appends its decoded UTF-8 text.
  bool read_string(std::string& out);
  // A string at peek() == '"': appends its compact literal (write_string form).
  bool copy_string(std::string& out);
  // A number at peek() (a '-' or a digit): appends its compact text.
  bool copy_number(std::string& out);

  // Arrays: begin_array at peek() == '['; next_element before each element
  // (first is true before the first), kItem when a value follows, kEnd once
  // ']' has been consumed, which leaves the level. A reader that stops
  // before kEnd closes the array with end_array, which wants ']' next and
  // reports anything else as trailing characters.
  bool begin_array();
  Step next_element(bool first);
  bool end_array();

  // Objects: begin_object at peek() == '{'; next_key before each member,
  // kItem when a key string follows at peek(), kEnd once '}' has been
  // consumed; read the key with read_string, then read_colon, then the value.
  bool begin_object();
  Step next_key(bool first);
  bool read_colon();

  // Succeeds when only whitespace is left.
  bool finish();

  // Records a failure at the last byte consumed; returns false.
  bool fail(std::string message);
  // Consumes the next byte (unless at the end), then fails there.
  bool fail_on_next(std::string message);

  bool failed() const { return failed_; }
  const Error& error() const { return error_; }

 private:
  // Copies text straight from the scanner into its compact form.
  friend class Canonicalizer;
  friend std::optional<Error> validate(std::string_view text);

  // A number that passed the grammar (defined with the scanner).
  struct NumberText;

  // The scanning steps behind the public ones. Each takes the cursor and
  // returns it past what it read, or nullptr once it has recorded a
  // failure; a cursor passed by value stays in a register, where cur_ would
  // go through memory on every byte.
  const char* skip_space(const char* p) const;
  const char* open_level(const char* p);
  Step scan_element(const char*& p, bool first);
  Step scan_key(const char*& p, bool first);
  const char* scan_colon(const char* p);
  const char* scan_literal(const char* p, std::string_view word);
  std::nullptr_t not_a_value(const char* p);
  template <class Sink>
  const char* scan_string(const char* p, Sink& sink);
  template <class Sink>
  const char* scan_escape(const char* p, Sink& sink);
  const char* scan_hex4(const char* p, unsigned& out);
  const char* scan_utf8_sequence(const char* p);
  const char* scan_number(const char* p, NumberText& number);
  const char* scan_value(const char* p, Value& out);
  // skip_value's walk; with kCheckNumberRange also the range check of
  // numbers, which makes it validate's.
  template <bool kCheckNumberRange>
  const char* scan_and_drop(const char* p);

  bool number_value(const NumberText& number, Value& out);
  bool number_double(const NumberText& number, double& out);
  bool number_in_range(const NumberText& number);

  // Moves cur_ to p, unless a step failed (p is nullptr).
  bool advance(const char* p);
  // Records a failure after the bytes before at; returns nullptr.
  std::nullptr_t fail_at(const char* at, const char* message);
  // Consumes the byte at p (unless at the end), then fails there.
  std::nullptr_t fail_on(const char* p, const char* message);
  // Turns a failure just recorded into the Step that reports it.
  static Step failed_step(std::nullptr_t) { return Step::kFailed; }

  const char* begin_;
  const char* cur_;
  const char* end_;
  int depth_ = 0;
  bool failed_ = false;
  Error error_;
};

}  // namespace vennu::json
