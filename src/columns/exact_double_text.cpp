// src/columns/exact_double_text.cpp: the exact text rule of exact_double_text.h.
#include "columns/exact_double_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "json/json_number.h"
#include "json/json_pow10.h"
#include "json/json_scanner.h"
#include "json/json_writer.h"

namespace xray::columns {
namespace {

using json_number_detail::decimal_to_double;

// Digits a significand may have in the text (2^64-1 has 20).
constexpr int kSignificandDigitsMax = 20;
// Beyond the shortest digits, decimals of each count up to this one are tried.
constexpr int kLongestRoundTrip = 17;
// Steps of the last digit tried per digit count (a 17-digit decimal steps
// at most about 22 times per unit in the last place of the double).
constexpr int kStepsMax = 96;
// Short decimals of the fast path: up to this many decimals, below 10^15.
constexpr int kFastDecimalsMax = 8;
constexpr double kFastLimit = 1e15;
// Below this the layout is d.ddde-X, which write_short_decimal does not write.
constexpr double kPositionalLowest = 1e-5;
// Integral values below this are written as integers.
constexpr double kIntegerTextLimit = 1e16;
// Neighbours tried on each side of an unreachable value.
constexpr int kNeighboursMax = 4096;

// A number text rendered with white space after it, so the scanner stops
// right after it and may read the 16 bytes its short-decimal path reads.
struct Scratch {
  char bytes[kExactTextMax + 32];
  std::size_t size = 0;
  Scratch() { std::memset(bytes, ' ', sizeof bytes); }
  // The scanner stops at the first byte that cannot continue a number; the
  // bytes after that one are never looked at.
  void end_at(char* end) {
    size = static_cast<std::size_t>(end - bytes);
    *end = ' ';
  }
};

// A decimal d * 10^exp10 (d > 0), by its significand and exponent as written.
struct Decimal {
  uint64_t digits;
  int exp10;
};

// Writes the decimal by the layout of the number rule (json_writer.h) into
// out: positional for a decimal exponent of -5..15, as an integer when it
// has no fractional digit, else d.ddde+X. Every digit of d is written, so
// the scanner reads back this very significand and exponent (or, for an
// integer, the exact value).
char* render(bool negative, Decimal dec, char* out) {
  char digits[kSignificandDigitsMax];
  const int n =
      static_cast<int>(std::to_chars(digits, digits + sizeof digits, dec.digits).ptr - digits);
  if (negative) *out++ = '-';
  const int e = dec.exp10 + n - 1;  // exponent of the first digit
  if (e >= -5 && e <= 15) {
    if (dec.exp10 >= 0) {
      std::memcpy(out, digits, static_cast<std::size_t>(n));
      out += n;
      std::memset(out, '0', static_cast<std::size_t>(dec.exp10));
      return out + dec.exp10;
    }
    if (e >= 0) {
      std::memcpy(out, digits, static_cast<std::size_t>(e) + 1);
      out += e + 1;
      *out++ = '.';
      std::memcpy(out, digits + e + 1, static_cast<std::size_t>(n - e - 1));
      return out + (n - e - 1);
    }
    *out++ = '0';
    *out++ = '.';
    std::memset(out, '0', static_cast<std::size_t>(-e - 1));
    out += -e - 1;
    std::memcpy(out, digits, static_cast<std::size_t>(n));
    return out + n;
  }
  *out++ = digits[0];
  if (n > 1) {
    *out++ = '.';
    std::memcpy(out, digits + 1, static_cast<std::size_t>(n - 1));
    out += n - 1;
  }
  *out++ = 'e';
  *out++ = e < 0 ? '-' : '+';
  return std::to_chars(out, out + 4, e < 0 ? -e : e).ptr;
}

// The double a number token converts to where a double is wanted: the
// dataset decoder's rule (decode/decode_messages.h, ScalarRule<double>),
// integers to their nearest double.
double number_to_double(const JsonNumber& n) {
  switch (n.cls) {
    case NumberClass::Unsigned: return static_cast<double>(n.u);
    case NumberClass::Signed: return static_cast<double>(n.i);
    case NumberClass::Float: return n.d;
  }
  return 0.0;
}

// The engine's reading of the text in scratch, by the reader's own scanner;
// a fault (out of range) or a scan that stops early reads as an infinity
// of the text's sign, beyond every finite value.
double read_back(const Scratch& s) {
  JsonScanner scan(std::string_view(s.bytes, sizeof s.bytes), 0, kJsonDepthBudget);
  JsonNumber n{NumberClass::Unsigned, {0}};
  if (!scan.scan_number(n) || scan.pos() != s.size) {
    return s.bytes[0] == '-' ? -std::numeric_limits<double>::infinity()
                             : std::numeric_limits<double>::infinity();
  }
  return number_to_double(n);
}

bool same_bits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// Renders the decimal with x's sign into s and gives its reading's
// magnitude (the scanner applies the sign last, so it never matters to the
// magnitude); the caller compares the signed reading with x.
double try_decimal(bool negative, Decimal dec, Scratch& s, double& signed_reading) {
  s.end_at(render(negative, dec, s.bytes));
  signed_reading = read_back(s);
  return std::fabs(signed_reading);
}

// The correctly rounded decimal of magnitude with `digits` significant
// digits, or the shortest round-trip one when digits is 0; count is set to
// its number of digits.
Decimal nearest_decimal(double magnitude, int digits, int& count) {
  char sci[48];
  const auto res =
      digits == 0 ? std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific)
                  : std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific,
                                  digits - 1);
  Decimal dec{0, 0};
  int n = 0;
  const char* p = sci;
  for (; p != res.ptr && *p != 'e'; ++p) {
    if (*p != '.') {
      dec.digits = dec.digits * 10 + static_cast<unsigned>(*p - '0');
      ++n;
    }
  }
  ++p;  // 'e'
  const bool negative = *p++ == '-';
  int e = 0;
  for (; p != res.ptr; ++p) e = e * 10 + (*p - '0');
  dec.exp10 = (negative ? -e : e) - (n - 1);
  count = n;
  return dec;
}

// decimal_to_double with out of range as +infinity.
double convert(uint64_t significand, int exp10) {
  double out;
  return decimal_to_double(significand, exp10, out) ? out : std::numeric_limits<double>::infinity();
}

// The smallest significand in [low, high] that converts at exp10 to
// magnitude or above (high when none below it does).
uint64_t first_at_or_above(double magnitude, int exp10, uint64_t low, uint64_t high) {
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    if (convert(mid, exp10) < magnitude) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// Step 4 at one exponent: bisection for the smallest significand (1 to
// 2^64-1) converting to magnitude or above, first within a narrow range
// around magnitude / 10^exp10 (the conversion is off by a few units in the
// last place at most, for normal results) and over the whole range when the
// crossing is not inside it.
bool search_exponent(double x, int exp10, Scratch& s) {
  const double magnitude = std::fabs(x);
  constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max();
  if (convert(kTop, exp10) < magnitude || convert(1, exp10) > magnitude) return false;
  uint64_t low = 1;
  uint64_t high = kTop;
  const double estimate = magnitude / std::pow(10.0, exp10);
  if (std::isnormal(magnitude) && estimate > 4.0 && estimate < 0x1p63) {
    const auto near_low = static_cast<uint64_t>(estimate * (1 - 0x1p-40));
    const auto near_high = static_cast<uint64_t>(estimate * (1 + 0x1p-40)) + 1;
    if (convert(near_low, exp10) < magnitude && convert(near_high, exp10) >= magnitude) {
      low = near_low;
      high = near_high;
    }
  }
  const uint64_t significand = first_at_or_above(magnitude, exp10, low, high);
  if (convert(significand, exp10) != magnitude) return false;
  double reading;
  (void)try_decimal(std::signbit(x), {significand, exp10}, s, reading);
  return same_bits(reading, x);
}

// Steps 2 and 3: for each digit count from the shortest's to 17, the
// nearest decimal of that count, then its last digit stepped towards x
// until the reading passes x. The reading is monotonic in the significand
// at a fixed exponent, so this settles every significand of the count's
// exponent (where the steps run out, by bisection as in step 4).
bool search_by_digit_count(double x, Decimal shortest, int shortest_count, Scratch& s) {
  const bool negative = std::signbit(x);
  const double magnitude = std::fabs(x);
  double reading;
  for (int count = shortest_count; count <= kLongestRoundTrip; ++count) {
    int unused;
    Decimal dec = count == shortest_count ? shortest : nearest_decimal(magnitude, count, unused);
    double got = try_decimal(negative, dec, s, reading);
    if (same_bits(reading, x)) return true;
    const bool up = got < magnitude;
    const int exp10 = dec.exp10;
    int step = 0;
    for (; step < kStepsMax; ++step) {
      if (!up && dec.digits == 1) break;
      dec.digits = up ? dec.digits + 1 : dec.digits - 1;
      got = try_decimal(negative, dec, s, reading);
      if (same_bits(reading, x)) return true;
      if (up ? got > magnitude : got < magnitude) break;
    }
    if (step == kStepsMax && search_exponent(x, exp10, s)) return true;
  }
  return false;
}

// Step 4: the exponents step 3 did not settle, fewer digits first. Above
// the shortest's exponent the significand has fewer digits than the
// shortest; where it stays below 2^53 and the power of ten is exact (10^22
// at most) the conversion is correctly rounded there, so such a decimal
// would have been the shortest: those exponents are skipped. Below the
// 17-digit exponent, significands of 18 to 20 digits (up to 2^64-1).
bool search_other_exponents(double x, Decimal shortest, int shortest_count, Scratch& s) {
  const int first_digit = shortest.exp10 + shortest_count - 1;  // decimal exponent of x
  for (int exp10 = first_digit + 1; exp10 > shortest.exp10; --exp10) {
    const int digits = first_digit - exp10 + 1;  // of a significand near x at exp10
    const bool correctly_rounded = digits <= 15 && exp10 >= -22 && exp10 <= 22;
    if (!correctly_rounded && search_exponent(x, exp10, s)) return true;
  }
  const int exp10_17 = first_digit - (kLongestRoundTrip - 1);
  for (int exp10 = exp10_17 - 1; exp10 >= exp10_17 - 4; --exp10) {
    if (search_exponent(x, exp10, s)) return true;
  }
  return false;
}

// Step 2's text through the fast path: the fewest decimals k (up to 8) for
// which magnitude * 10^k is an integer m below 10^15 whose conversion m /
// 10^k (the reader's own decimal_to_double) gives magnitude back, with
// trailing zeros of m dropped (the product can miss an integer that
// magnitude * 10^(k+1) then meets). Below 10^15 one unit of the last digit
// of m is wider than the interval of doubles that round to magnitude, so no
// other decimal with as many decimals, or fewer, rounds to it: m / 10^k is
// the shortest round-trip decimal that std::to_chars gives. Its conversion
// divides an integer below 2^53 by an exact power of ten, which is
// correctly rounded, as m / 10^(k-1) after dropping a zero is, so step 2
// accepts the very same text.
bool short_decimal(double magnitude, Decimal& found) {
  for (int k = 1; k <= kFastDecimalsMax; ++k) {
    const double scaled = magnitude * kPow10[static_cast<std::size_t>(k)];
    if (scaled >= kFastLimit) return false;
    auto m = static_cast<uint64_t>(scaled);
    if (static_cast<double>(m) != scaled || m == 0) continue;
    double back;
    if (!decimal_to_double(m, -k, back) || back != magnitude) continue;
    int decimals = k;
    while (m % 10 == 0) {
      m /= 10;
      --decimals;
    }
    found = {m, -decimals};
    return true;
  }
  return false;
}

// Writes m / 10^decimals (m below 10^15, 1 to 8 decimals, the value at
// least 10^-5) positionally:
// the text render gives for it, without its general steps. The digits are
// made two at a time from the right; out has kExactTextMax bytes of room,
// so the copies move a fixed 16 bytes and later bytes are overwritten.
char* write_short_decimal(bool negative, uint64_t m, int decimals, char* out) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char buf[48] = {};
  char* const end = buf + 24;
  char* p = end;
  while (m >= 100) {
    p -= 2;
    std::memcpy(p, kPairs + 2 * (m % 100), 2);
    m /= 100;
  }
  if (m >= 10) {
    p -= 2;
    std::memcpy(p, kPairs + 2 * m, 2);
  } else {
    *--p = static_cast<char>('0' + m);
  }
  const auto n = static_cast<int>(end - p);
  if (negative) *out++ = '-';
  if (n > decimals) {
    const int whole = n - decimals;
    std::memcpy(out, p, 16);
    out[whole] = '.';
    std::memcpy(out + whole + 1, p + whole, 16);
    return out + n + 1;
  }
  std::memcpy(out, "0.00000000", 10);
  std::memcpy(out + 2 + (decimals - n), p, 16);
  return out + 2 + decimals;
}

// Step 1: an integral magnitude below 10^16 as an integer.
bool is_integer_text(double magnitude) {
  return magnitude < kIntegerTextLimit && magnitude == std::floor(magnitude);
}

char* write_integer_text(double x, char* out) {
  if (std::signbit(x)) *out++ = '-';
  return write_json_integer(static_cast<uint64_t>(std::fabs(x)), out);
}

// Steps 1 to 4 for finite x: true with the text in s when some text reads
// back as x.
bool exact_text(double x, bool fast, Scratch& s) {
  const double magnitude = std::fabs(x);
  if (is_integer_text(magnitude)) {
    s.end_at(write_integer_text(x, s.bytes));
    return true;  // integers convert exactly (and "-0" is negative zero)
  }
  Decimal dec{0, 0};
  if (fast && short_decimal(magnitude, dec)) {
    s.end_at(render(std::signbit(x), dec, s.bytes));
    return true;
  }
  int count = 0;
  const Decimal shortest = nearest_decimal(magnitude, 0, count);
  return search_by_digit_count(x, shortest, count, s) ||
         search_other_exponents(x, shortest, count, s);
}

char* write_text(double x, char* out, bool& exact, bool fast) {
  Scratch s;
  exact = exact_text(x, fast, s);
  // Step 5: the nearest reachable neighbour, the smaller magnitude first.
  const double toward_zero = std::signbit(x) ? std::numeric_limits<double>::infinity()
                                             : -std::numeric_limits<double>::infinity();
  double lower = x;
  double upper = x;
  for (int i = 0; !exact && i < kNeighboursMax; ++i) {
    lower = std::nextafter(lower, toward_zero);
    if (exact_text(lower, fast, s)) break;
    upper = std::nextafter(upper, -toward_zero);
    if (std::isfinite(upper) && exact_text(upper, fast, s)) break;
  }
  std::memcpy(out, s.bytes, kExactTextMax);
  return out + s.size;
}

}  // namespace

char* write_exact_double(double x, char* out, bool& exact) {
  // Steps 1 and the fast path straight into out; the rest through scratch.
  exact = true;
  const double magnitude = std::fabs(x);
  if (is_integer_text(magnitude)) return write_integer_text(x, out);
  Decimal dec{0, 0};
  if (magnitude >= kPositionalLowest && short_decimal(magnitude, dec)) {
    return write_short_decimal(std::signbit(x), dec.digits, -dec.exp10, out);
  }
  return write_text(x, out, exact, false);
}

char* write_exact_double_general(double x, char* out, bool& exact) {
  return write_text(x, out, exact, false);
}

std::string exact_double_text(double x) {
  char buf[kExactTextMax];
  bool exact = true;
  return std::string(buf, write_exact_double(x, buf, exact));
}

bool is_reachable(double x) {
  if (!std::isfinite(x)) return false;
  Scratch s;
  return exact_text(x, true, s);
}

Result<double> read_number_text(std::string_view text) {
  // Read with white space after it, as inside a dataset text, so the
  // scanner's short-decimal path is the one taken where it applies.
  std::string padded(text);
  padded.append(32, ' ');
  JsonScanner scan(padded, 0, kJsonDepthBudget);
  ValueStart start;
  if (text.empty()) {
    JsonScanner empty(text, 0, kJsonDepthBudget);
    (void)empty.to_value();  // the fault of an empty text
    return empty.error();
  }
  if (!scan.classify(start)) return scan.error();
  if (start != ValueStart::Number) {
    scan.fail_here(json_fault::kExpectedValue);
    return scan.error();
  }
  JsonNumber n{NumberClass::Unsigned, {0}};
  if (!scan.scan_number(n)) {
    // A fault at the text's end is reported by a scan of the text alone.
    JsonScanner alone(text, 0, kJsonDepthBudget);
    return alone.scan_number(n) ? scan.error() : alone.error();
  }
  if (scan.pos() != text.size()) {
    scan.fail_here(json_fault::kTrailingCharacters);
    return scan.error();
  }
  return number_to_double(n);
}

}  // namespace xray::columns
