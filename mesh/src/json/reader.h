// The JSON readers: parse into a tree, validate without building one, and a
// pull reader for readers that build records straight from the text.
//
// Each reads exactly one RFC 8259 value surrounded by optional JSON
// whitespace, nests at most kMaxDepth levels (refused before any recursion
// goes deeper), and reports failures as Error values whose text ends in
// " at line L column C". Strings must be valid UTF-8. All of them give the
// same error at the same position for the same text.
//
// Thread safety: parse and validate may run on many threads at once; they
// keep reusable scratch space per thread, so reading a small text allocates
// nothing beyond what it returns. A Reader is used by one thread at a time.

#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "json/error.h"
#include "json/scanner.h"
#include "json/value.h"

namespace vennu::json {

// Parses one complete JSON text into a generic value.
Expected<Value, Error> parse(std::string_view text);

// Checks one complete JSON text as parse does, with the same errors and
// positions, building nothing; nullopt when parse would succeed.
std::optional<Error> validate(std::string_view text);

// A pull reader over one JSON text, so that each fault is reported where it
// is found. Errors are positioned at the last byte consumed; a step that
// fails on the next byte consumes that byte first, and a failure at the end
// points at the last byte.
//
// Every step returns false (or Step::kFailed) after recording the first
// failure in error(); the reader must not be stepped after that. Nesting is
// counted by begin_array/begin_object and the steps that close them, and
// opening level kMaxDepth + 1 fails with "recursion limit exceeded".
class Reader {
 public:
  using Step = ScanStep;

  explicit Reader(std::string_view text) : scanner_(text) {}

  // Skips JSON whitespace; returns the next byte (0-255) unconsumed, or -1
  // at the end of the text.
  int peek() { return scanner_.peek(); }

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
  bool finish() { return scanner_.finish(); }

  // Records a failure at the last byte consumed; returns false.
  bool fail(std::string message) { return scanner_.fail(std::move(message)); }
  // Consumes the next byte (unless at the end), then fails there.
  bool fail_on_next(std::string message) { return scanner_.fail_on_next(std::move(message)); }

  bool failed() const { return scanner_.failed(); }
  const Error& error() const { return scanner_.error(); }

 private:
  Scanner scanner_;
};

}  // namespace vennu::json
