// Rounding, price bins, the total order of doubles and the time grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "panel_test_util.h"
#include "panels/panel_common.h"
#include "panels/time_buckets.h"

namespace xray {
namespace {

using namespace panel_testing;  // NOLINT(google-build-using-namespace)

TEST(Round8, Table) {
  const std::pair<double, double> cases[] = {
      {-0.123456789, -0.12345679}, {0.000123456789, 0.00012346}, {0.1 + 0.2, 0.3},
      {-0.000000005, -0.00000001},  // 0.5 after scaling: away from zero
      {0.000000025, 0.00000003},    // not to even
      {-0.0000000049, -0.0},        // rounds to a negative zero
      {5000.0, 5000.0}, {1e301, kInf},  // the scaled value overflows
      {-kInf, -kInf},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(exact_text(round8(in)), exact_text(out)) << in;
  EXPECT_TRUE(std::isnan(round8(kNaN)));
}

TEST(BinPrice, Table) {
  const std::array<double, 3> cases[] = {
      {0.3, 0.1, 0.2},  // 0.3 / 0.1 is 2.9999999999999996
      {-0.05, 0.1, -0.1}, {123.456, 10.0, 120.0}, {100.7, 0.5, 100.5},
      {-0.0, 1.0, -0.0},  // floor keeps the sign of zero
      {-kInf, 0.5, -kInf},
  };
  for (const auto& [price, bin, out] : cases) {
    EXPECT_EQ(exact_text(bin_price(price, bin)), exact_text(out)) << price << " / " << bin;
  }
  EXPECT_TRUE(std::isnan(bin_price(kNaN, 1.0)));
}

TEST(TotalOrderKey, SortsInTotalOrderAndRoundTrips) {
  const double minus_nan = -kNaN;
  const std::vector<double> ascending = {
      std::copysign(kNaN, -1.0), -kInf, -1e308, -1.0, -5e-324, -0.0, 0.0, 5e-324, 1.0, 1e308, kInf,
      std::copysign(kNaN, 1.0)};
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
    SCOPED_TRACE(exact_text(ascending[i]));
    EXPECT_LT(total_order_key(ascending[i]), total_order_key(ascending[i + 1]));
  }
  for (double x : ascending) {
    EXPECT_EQ(std::bit_cast<uint64_t>(from_total_order_key(total_order_key(x))),
              std::bit_cast<uint64_t>(x));
  }
  EXPECT_NE(total_order_key(minus_nan), total_order_key(kNaN));
}

struct BucketCase {
  const char* name;
  int64_t first;
  int64_t last;
  int64_t bucket_ms;
  const char* first_start;
  const char* count;
  bool fits;
};

TEST(TimeBuckets, Table) {
  const BucketCase cases[] = {
      {"one bucket", 1500, 1500, 1000, "1000", "1", true},
      {"negative first", -1, 1, 1000, "-1000", "2", true},
      {"negative multiple", -2000, -1001, 1000, "-2000", "1", true},
      {"every ms of the range", INT64_MIN, INT64_MAX, 1, "-9223372036854775808",
       "18446744073709551616", true},
      {"first start below the range", INT64_MIN, INT64_MIN, 3, "-9223372036854775809", "1",
       false},
      {"top of the range", INT64_MAX - 5, INT64_MAX, 1000, "9223372036854775000", "1", true},
      {"widest bucket", INT64_MIN, INT64_MAX, INT64_MAX, "-18446744073709551614", "4", false},
  };
  for (const BucketCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TimeBuckets b = time_buckets(c.first, c.last, c.bucket_ms);
    EXPECT_EQ(i128_text(b.first_start), c.first_start);
    EXPECT_EQ(u128_text(b.count), c.count);
    EXPECT_EQ(b.starts_fit(), c.fits);
  }
}

TEST(BucketWalk, EndPastTheRangeIsNotWrapped) {
  const TimeBuckets b = time_buckets(INT64_MAX - 5, INT64_MAX, 1000);
  BucketWalk walk(b);
  EXPECT_EQ(walk.start(), 9223372036854775000);
  EXPECT_TRUE(walk.before_end(INT64_MAX));   // the end lies beyond INT64_MAX
  EXPECT_FALSE(BucketWalk(time_buckets(0, 0, 1000)).before_end(1000));
}

}  // namespace
}  // namespace xray
