// The JSON writer: compact and deterministic text. No whitespace, shortest
// round-trip doubles (non-finite ones as null), minimal escapes: only '"',
// '\' and control characters are escaped, with the two-character forms where
// there is one and \u00xx (lowercase) otherwise.
//
// Every function appends to out and leaves what it held before.
//
// Thread safety: plain functions; they may run on many threads at once.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.h"

namespace vennu::json {

// Appends the compact text of a value.
void write(const Value& value, std::string& out);
std::string write(const Value& value);

// Appends a JSON string literal (quotes included) for UTF-8 text.
void write_string(std::string_view text, std::string& out);

// The most room write_string_to needs for a text of size bytes: each byte
// escaped as \u00xx, and the quotes.
constexpr std::size_t string_literal_room(std::size_t size) { return size * 6 + 2; }

// Writes write_string's literal at out, which has string_literal_room bytes
// of room for text, and returns its end: for a caller that builds a short
// text in room of its own.
char* write_string_to(char* out, std::string_view text);

// Appends the text form of a number.
void write_unsigned(std::uint64_t value, std::string& out);
void write_signed(std::int64_t value, std::string& out);
void write_double(double value, std::string& out);

// The digits and layout of write_double with the exponent sign written only
// when negative ("1e16", "1.5e-7"): the form error messages quote numbers in.
void write_double_for_message(double value, std::string& out);

}  // namespace vennu::json
