#include "base/format_size.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(FormatSize, BelowOneKilobyteShowsHundredthsOfAKilobyte) {
  EXPECT_EQ(FormatSize(0), L"0.00 KB");
  EXPECT_EQ(FormatSize(1), L"0.00 KB");
  EXPECT_EQ(FormatSize(11), L"0.01 KB");     // 1100 / 1024 = 1
  EXPECT_EQ(FormatSize(112), L"0.10 KB");    // 11200 / 1024 = 10: the two-digit form
  EXPECT_EQ(FormatSize(111), L"0.10 KB");    // 11100 / 1024 = 10
  EXPECT_EQ(FormatSize(102), L"0.09 KB");    // 10200 / 1024 = 9: still padded
  EXPECT_EQ(FormatSize(512), L"0.50 KB");
  EXPECT_EQ(FormatSize(1023), L"0.99 KB");
}

TEST(FormatSize, WholeKilobytesUpToAndIncludingOneMegabyte) {
  EXPECT_EQ(FormatSize(1024), L"1 KB");
  EXPECT_EQ(FormatSize(2047), L"1 KB");
  EXPECT_EQ(FormatSize(10240), L"10 KB");
  EXPECT_EQ(FormatSize(1048575), L"1023 KB");
  EXPECT_EQ(FormatSize(1048576), L"1024 KB");
}

TEST(FormatSize, AboveOneMegabyteShowsTruncatedHundredths) {
  EXPECT_EQ(FormatSize(1048577), L"1.00 MB");
  EXPECT_EQ(FormatSize(1153433), L"1.09 MB");  // 0.0999999 MB: truncated, not rounded
  EXPECT_EQ(FormatSize(1153434), L"1.10 MB");  // first count at a tenth: "%d.%d" form
  EXPECT_EQ(FormatSize(1572864), L"1.50 MB");
  EXPECT_EQ(FormatSize(2097151), L"1.99 MB");
  EXPECT_EQ(FormatSize(2097152), L"2.00 MB");
  EXPECT_EQ(FormatSize(10 * 1048576ull + 52429), L"10.05 MB");
}

TEST(FormatSize, SizesBeyondFourGigabytesKeepAllDigits) {
  EXPECT_EQ(FormatSize(5ull * 1024 * 1024 * 1024), L"5120.00 MB");
  EXPECT_EQ(FormatSize(4294967296ull + 1048576ull / 4), L"4096.25 MB");
  // 2^31 megabytes, more than a signed 32-bit whole part holds.
  EXPECT_EQ(FormatSize((1ull << 31) * 1048576ull + 1048576ull / 2), L"2147483648.50 MB");
}

}  // namespace
}  // namespace updater
