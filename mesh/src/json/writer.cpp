#include "json/writer.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "json/escapes.h"
#include "json/number.h"
#include "json/string_runs.h"
#include "json/utf8.h"

namespace vennu::json {
namespace {

// Appends to a string through a raw pointer instead of a call per byte. The
// string is sized ahead of the text written (C++20 cannot grow a string
// without filling the new room) and trimmed to it by the destructor.
class Output {
 public:
  Output(std::string& text, std::size_t room) : text_(text) {
    const std::size_t start = text_.size();
    text_.resize(start + room);
    rebase(start);
  }
  ~Output() { text_.resize(offset()); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void put(char c) {
    if (cursor_ == limit_) grow(1);
    *cursor_++ = c;
  }
  void put(const char* bytes, std::size_t size) {
    if (static_cast<std::size_t>(limit_ - cursor_) < size) grow(size);
    copy_bytes(cursor_, bytes, size);
    cursor_ += size;
  }
  void put(const char* begin, const char* end) {
    put(begin, static_cast<std::size_t>(end - begin));
  }
  void put(std::string_view bytes) { put(bytes.data(), bytes.size()); }

  // Room for size bytes at the cursor, for writing in place; commit then
  // moves the cursor to the end of what was written.
  char* claim(std::size_t size) {
    if (static_cast<std::size_t>(limit_ - cursor_) < size) grow(size);
    return cursor_;
  }
  void commit(char* end) { cursor_ = end; }

 private:
  // The string's bytes before the cursor.
  std::size_t offset() const { return static_cast<std::size_t>(cursor_ - text_.data()); }

  // Out of line: keeps put small enough to inline everywhere.
  [[gnu::noinline]] void grow(std::size_t size) {
    const std::size_t used = offset();
    text_.resize(std::max(text_.size() * 2, used + size));
    rebase(used);
  }
  void rebase(std::size_t used) {
    cursor_ = text_.data() + used;
    limit_ = text_.data() + text_.size();
  }

  std::string& text_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
};

// The body of a string literal for text: plain(begin, end) for each run
// that needs no escape, escape(byte) for each byte between them that does.
template <class Plain, class Escape>
void for_each_literal_piece(std::string_view text, Plain plain, Escape escape) {
  const char* run = text.data();
  const char* const end = run + text.size();
  for (;;) {
    const char* const stop = find_run_end<RunEnd::kWriting>(run, end, text.data());
    plain(run, stop);
    if (stop == end) return;
    escape(static_cast<unsigned char>(*stop));
    run = stop + 1;
  }
}

void put_string(std::string_view text, Output& out) {
  out.put('"');
  for_each_literal_piece(
      text, [&](const char* begin, const char* end) { out.put(begin, end); },
      [&](unsigned char c) { out.commit(write_escape(out.claim(6), c)); });
  out.put('"');
}

void put_double(double value, bool plus_in_exponent, Output& out) {
  if (!std::isfinite(value)) {
    out.put("null");
    return;
  }
  out.commit(write_decimal(out.claim(kDecimalTextSize), shortest_decimal(value), plus_in_exponent));
}

void put_value(const Value& value, Output& out) {
  switch (value.kind()) {
    case Kind::kNull:
      out.put("null");
      return;
    case Kind::kBool:
      out.put(value.as_bool() ? std::string_view("true") : std::string_view("false"));
      return;
    case Kind::kUnsigned:
    case Kind::kSigned: {
      char text[kIntegerTextSize];
      char* const end = std::end(text);
      out.put(value.kind() == Kind::kSigned ? signed_digits_before(end, value.as_signed())
                                            : digits_before(end, value.as_unsigned()),
              end);
      return;
    }
    case Kind::kDouble:
      put_double(value.as_double(), true, out);
      return;
    case Kind::kString:
      put_string(value.as_string(), out);
      return;
    case Kind::kArray: {
      out.put('[');
      bool first = true;
      for (const Value& item : value.as_array()) {
        if (!first) out.put(',');
        first = false;
        put_value(item, out);
      }
      out.put(']');
      return;
    }
    case Kind::kObject: {
      out.put('{');
      bool first = true;
      for (const auto& [key, item] : value.as_object()) {
        if (!first) out.put(',');
        first = false;
        put_string(key, out);
        out.put(':');
        put_value(item, out);
      }
      out.put('}');
      return;
    }
  }
}

}  // namespace

void write_unsigned(std::uint64_t value, std::string& out) {
  char text[kIntegerTextSize];
  char* const end = std::end(text);
  out.append(digits_before(end, value), end);
}

void write_signed(std::int64_t value, std::string& out) {
  char text[kIntegerTextSize];
  char* const end = std::end(text);
  out.append(signed_digits_before(end, value), end);
}

void write_double(double value, std::string& out) {
  Output output(out, 32);
  put_double(value, true, output);
}

void write_double_for_message(double value, std::string& out) {
  Output output(out, 32);
  put_double(value, false, output);
}

void write_string(std::string_view text, std::string& out) {
  const char* const end = text.data() + text.size();
  if (find_run_end<RunEnd::kWriting>(text.data(), end) != end) {
    Output output(out, text.size() + 2);
    put_string(text, output);
    return;
  }
  // Ids, names and timestamps need no escape: one resize and one copy.
  const std::size_t start = out.size();
  out.resize(start + text.size() + 2);
  char* const literal = out.data() + start;
  literal[0] = '"';
  copy_bytes(literal + 1, text.data(), text.size());
  literal[text.size() + 1] = '"';
}

char* write_string_to(char* out, std::string_view text) {
  *out++ = '"';
  for_each_literal_piece(
      text,
      [&](const char* begin, const char* end) {
        copy_bytes(out, begin, static_cast<std::size_t>(end - begin));
        out += end - begin;
      },
      [&](unsigned char c) { out = write_escape(out, c); });
  *out++ = '"';
  return out;
}

void write(const Value& value, std::string& out) {
  Output output(out, 64);
  put_value(value, output);
}

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace vennu::json
