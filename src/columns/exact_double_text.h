// src/columns/exact_double_text.h: for a double, the text the engine's own
// number conversion reads back as exactly that double.
//
// The reader's conversion is fixed and not correctly rounded
// (json/json_number.h), so the shortest round-trip digits of std::to_chars
// read back one unit in the last place off for some doubles. The rule here:
//
//  1. An integral value below 10^16 in magnitude is written as an integer
//     ("27123", "-0" for negative zero): the reader converts integers
//     exactly, so it always reads back.
//  2. Otherwise the shortest round-trip digits D and exponent E (D * 10^E)
//     are written in the number rule's layout (json/json_writer.h: positional
//     for decimal exponents -5..15, else d.ddde+X) and read back through the
//     reader's scanner. When that gives x, done.
//  3. Else, for each digit count from the shortest up to 17: the nearest
//     decimal of that count, then its last digit stepped up or down (the
//     conversion is monotonic in D, so one direction only) until it reads
//     back as x or passes it.
//  4. Else every significand up to 2^64-1 with every other exponent that can
//     come near x is searched (monotonic again: one bisection per exponent;
//     exponents where the conversion is correctly rounded cannot hold a text
//     shorter than the shortest and are skipped).
//  5. Else no text reaches x: the text of the nearest double that is reached
//     (smaller magnitude first at equal distance) is written, and the value
//     is reported as inexact.
//
// Short decimals take a fast path that gives the text of step 2 itself:
// see write_exact_double.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/errors.h"

namespace xray::columns {

// Room write_exact_double may use (the longest text is 27 bytes: a sign, 20
// significand digits, a point and "e-324").
inline constexpr std::size_t kExactTextMax = 32;

// Writes the text of finite x by the rule above at out (kExactTextMax bytes
// at least) and returns its end. exact is set false when x itself is
// unreachable and a neighbour's text was written instead.
char* write_exact_double(double x, char* out, bool& exact);

// The same without the fast path for short decimals: steps 1 to 5 only (the
// tests compare the two).
char* write_exact_double_general(double x, char* out, bool& exact);

// The text as a string (x finite).
[[nodiscard]] std::string exact_double_text(double x);

// Whether some text reads back as exactly x under the engine's conversion
// (false for NaN and the infinities, which no number text gives).
[[nodiscard]] bool is_reachable(double x);

// The engine's conversion of a whole text that is one JSON number and
// nothing else (no white space): the reader's scanner, then the conversion
// of its class to a double that the dataset decoder applies (integers to the
// nearest double). A Parse error with the scanner's fault otherwise.
[[nodiscard]] Result<double> read_number_text(std::string_view text);

}  // namespace xray::columns
