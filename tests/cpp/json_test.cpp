// The JSON reader's cases (EOF at every state among them), edited texts on
// which every reader must agree, fast paths against the general ones,
// skipping checked containers, and the number rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "json/json_skip.h"
#include "json/number_writer.h"
#include "json_dump.h"
#include "support.h"

namespace xray {
namespace {

using testing::reader_outcome;

TEST(JsonReader, Cases) {
  std::string text;
  for (const testing::CaseLine& c : testing::read_cases("json_reader.txt")) {
    SCOPED_TRACE("json_reader.txt:" + std::to_string(c.line));
    if (c.tag == "json") {
      text = c.text;
    } else {
      ASSERT_EQ(c.tag, "gives");
      EXPECT_EQ(reader_outcome(text), c.text);
    }
  }
}

// Single-byte edits of a few texts: thousands of faults of every kind.
TEST(JsonReader, ReadersAgreeOnEditedTexts) {
  const std::string_view seeds[] = {
      R"({"cmd":"load","dataset":{"trades":[{"ts":1,"price":30000.5,"qty":-0.25e-1,"side":"buy"}]}})",
      R"([null,true,false,"a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00",{"":[]},-0,1E+2,18446744073709551616])",
      "{\r\n \"k\" : [ 1 , 2 ] ,\n\t\"long name beyond inline\":\"long value beyond inline\"\n}"};
  int faulty = 0;
  for (const std::string_view seed : seeds) {
    for (std::size_t i = 0; i < seed.size(); ++i) {
      std::string deleted(seed);
      deleted.erase(i, 1);
      std::vector<std::string> texts = {deleted};
      for (const char b : std::string_view("\"\\,:[]{}0-.eux \n\x01\x7ftn")) {
        texts.push_back(std::string(seed));
        texts.back()[i] = b;
      }
      for (const std::string& text : texts) {
        const std::string outcome = reader_outcome(text);
        ASSERT_FALSE(outcome.starts_with("disagreement")) << text << ": " << outcome;
        faulty += outcome.starts_with("fault");
      }
    }
  }
  EXPECT_GT(faulty, 2000);
}

// Short decimals and integers with 17 bytes after them are read eight digits
// at a time; alone at the end of a text by the general path. Both give the
// same bits.
TEST(JsonReader, ShortDecimalsAgreeWithTheGeneralPath) {
  std::mt19937_64 rng(77);
  const auto digits = [&](int n) {
    std::string out;
    while (n-- > 0) out += static_cast<char>('0' + rng() % 10);
    return out;
  };
  for (int n = 0; n < 60000; ++n) {
    std::string number = rng() % 3 == 0 ? "-" : "";
    const int whole = 1 + static_cast<int>(rng() % (rng() % 2 ? 8 : 18));
    const bool leading_zero = rng() % 5 == 0;  // a fault both ways on longer parts
    number.append(leading_zero ? "0" : "").append(digits(whole - leading_zero));
    const int fraction = static_cast<int>(rng() % 9);
    if (fraction > 0 || rng() % 4 == 0) number.append(".").append(digits(fraction));
    if (rng() % 8 == 0) number.append("e-").append(digits(1));
    const std::string alone = reader_outcome(number);
    const std::string padded = reader_outcome("[" + number + ",0]" + std::string(16, ' '));
    ASSERT_EQ(padded.starts_with("fault") ? "fault" : padded,
              alone.starts_with("fault") ? "fault" : "[" + alone + ",u0,]")
        << number;
  }
}

// Random containers whose strings hold escaped quotes and backslashes at
// every offset within a word: the end and the element count are exact.
class ContainerWriter {
 public:
  std::string container(std::size_t count, int depth) {
    const bool object = pick(2) == 0;
    std::string out(1, object ? '{' : '[');
    for (std::size_t i = 0; i < count; ++i) {
      out.append(i ? "," : "").append(space());
      if (object) out += string() + space() + ":" + space();
      out += value(depth + 1) + space();
    }
    return out + (object ? '}' : ']');
  }

 private:
  std::size_t pick(std::size_t n) { return rng_() % n; }
  std::string space() { return pick(4) ? "" : std::string(pick(3) + 1, " \n\t\r"[pick(4)]); }
  std::string string() {
    static const char* const kPieces[] = {"a",   "[",        "]",    "{",       "}",
                                          ",",   "\\\"",     "\\\\", "\\n",     "\\u005b",
                                          "x y", "\xC3\xA9", "\\/",  "\\\\\\\""};
    std::string out = "\"";
    for (std::size_t n = pick(6); n > 0; --n) out += kPieces[pick(std::size(kPieces))];
    return out + "\"";
  }
  std::string value(int depth) {
    switch (depth < 6 ? pick(7) : pick(4)) {
      case 0: return string();
      case 1: return "-12.5e3";
      case 2: return pick(2) ? "true" : "null";
      case 3: return "0";
      default: return container(pick(5), depth);
    }
  }
  std::mt19937_64 rng_{99};
};

TEST(JsonSkip, EndAndCountOfRandomContainers) {
  ContainerWriter writer;
  for (std::size_t round = 0; round < 3000; ++round) {
    const std::string inner = writer.container(round % 7, 0);
    // 0 to 15 blanks before the container move it across word boundaries.
    const std::string prefix = "[\"pad\"," + std::string(round % 16, ' ');
    const std::string text = prefix + inner + "]";
    ASSERT_FALSE(reader_outcome(text).starts_with("fault")) << text;
    for (auto skip : {&skip_checked_container, &skip_checked_container_by_words}) {
      std::size_t count = 99;
      ASSERT_EQ(skip(text, prefix.size(), count), prefix.size() + inner.size()) << inner;
      ASSERT_EQ(count, round % 7) << inner;
    }
  }
}

std::string written(double value) {
  char buf[kNumberTextMax];
  return std::string(buf, write_json_number(value, buf));
}

TEST(NumberRule, Cases) {
  for (const testing::CaseLine& c : testing::read_cases("numbers.txt")) {
    SCOPED_TRACE("numbers.txt:" + std::to_string(c.line));
    const std::size_t space = c.text.find(' ');
    const double value = std::strtod(c.text.substr(0, space).c_str(), nullptr);
    const std::string expected = c.text.substr(space + 1);
    EXPECT_EQ(written(value), expected);
    if (std::isfinite(value)) {
      EXPECT_EQ(format_double(value), expected);
    }
  }
}

// Short decimals (what rounded prices look like), their neighbours (long
// texts just missing a short one), values either side of the positional
// limits, and any bit pattern: the direct writer writes what the general
// formatter does, and the text reads back as the same double.
TEST(NumberRule, DirectWriterAgreesAndTextsRoundTrip) {
  std::mt19937_64 rng(31337);
  const auto check = [](double v) {
    const std::string text = written(v);
    if (!std::isfinite(v)) return text == "null";
    return text == format_double(v) && std::strtod(text.c_str(), nullptr) == v;
  };
  for (int i = 0; i < 400000; ++i) {
    const int decimals = static_cast<int>(rng() % 13);
    double v =
        static_cast<double>(rng() % (uint64_t{1} << (rng() % 54))) / std::pow(10.0, decimals);
    v = rng() % 2 ? -v : v;
    ASSERT_TRUE(check(v) && check(std::nextafter(v, 1e300)) && check(std::nextafter(v, -1e300)))
        << v;
    uint64_t bits = rng();
    std::memcpy(&v, &bits, sizeof v);
    ASSERT_TRUE(check(v)) << written(v);
  }
  for (double v : {1e-5, 1e15, 1e-6, 1e14, 0.5e-5}) {
    for (int i = 0; i < 200; ++i) v = std::nextafter(v, 0.0);
    for (int i = 0; i < 400; ++i, v = std::nextafter(v, 1e300)) ASSERT_TRUE(check(v)) << written(v);
  }
}

}  // namespace
}  // namespace xray
