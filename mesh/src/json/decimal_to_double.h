// Decimal text to double, correctly rounded, for standard libraries that do
// not convert doubles with std::from_chars (libc++ before 20, MinGW's
// libstdc++ without uselocale).
//
// decimal_to_double reads [first, last) as std::from_chars does in its
// general format: an optional '-', digits with an optional '.', an optional
// exponent ('e' or 'E', optional sign, digits). It needs at least one digit
// before the exponent; ptr is left just past what was read. The result is
// the double nearest the exact decimal value, ties to even, as IEEE 754
// round-to-nearest asks, whatever the number of digits: long inputs are
// carried exactly as a big decimal (up to 800 significant digits, beyond
// which only whether anything non-zero was dropped matters for rounding).
// A value too large gives ec = result_out_of_range with out untouched; a
// non-zero value too small to be anything but zero likewise. Subnormal
// results are not out of range.
//
// read_double is what the JSON reader calls: std::from_chars where the
// library has it and rounds correctly, unless the build defines
// MESH_DOUBLE_FALLBACK (CMake option of the same name) to test the fallback
// on any compiler.
//
// Thread safety: pure functions, no shared state.

#pragma once

#include <charconv>

namespace vennu::json {

std::from_chars_result decimal_to_double(const char* first, const char* last, double& out);

// On 32-bit x86 outside MSVC, libstdc++'s from_chars computes its short cases
// in x87 registers and rounds twice ("350185e22" comes out one unit high), so
// the fallback is used there as well.
#if defined(__cpp_lib_to_chars) && !defined(MESH_DOUBLE_FALLBACK) && \
    !(defined(__i386__) && !defined(_MSC_VER))
inline constexpr bool kUsesDecimalFallback = false;
inline std::from_chars_result read_double(const char* first, const char* last, double& out) {
  return std::from_chars(first, last, out);
}
#else
inline constexpr bool kUsesDecimalFallback = true;
inline std::from_chars_result read_double(const char* first, const char* last, double& out) {
  return decimal_to_double(first, last, out);
}
#endif

}  // namespace vennu::json
