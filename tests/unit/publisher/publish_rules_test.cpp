#include "publisher/publish_commands.h"

#include <gtest/gtest.h>

#include "publisher/lint.h"

namespace updater {
namespace {

// 10 December 2026, 09:15:02 UTC.
constexpr FileTime64 kNow = 134413677020000000ull;
constexpr std::uint64_t kNowSeconds = 1796894102ull;

TEST(PublishRules, SerialsOnlyGrowAndValidUntilIsTheLastDay) {
  EXPECT_EQ(NextSerial(0, kNow), kNowSeconds);
  EXPECT_EQ(NextSerial(kNowSeconds - 1, kNow), kNowSeconds);
  EXPECT_EQ(NextSerial(kNowSeconds, kNow), kNowSeconds + 1);  // stamped twice within a second
  EXPECT_EQ(NextSerial(99999999999ull, kNow), 100000000000ull);  // a clock behind the last stamp
  EXPECT_EQ(NextSerial(0x7FFFFFFFFFFFFFFFull, kNow), 0x7FFFFFFFFFFFFFFFull);

  EXPECT_EQ(ValidUntilAfter(kNow, 1), L"11/12/2026");
  EXPECT_EQ(ValidUntilAfter(kNow, 22), L"01/01/2027");
  EXPECT_EQ(ValidUntilAfter(kNow, 3650), L"07/12/2036");
}

TEST(PublishRules, KeyDistanceCountsOneSlipAsOne) {
  const struct {
    const wchar_t* left;
    const wchar_t* right;
    std::size_t distance;
  } cases[] = {
      {L"version", L"version", 0}, {L"verison", L"version", 1},  // two letters swapped
      {L"versio", L"version", 1},  {L"versions", L"version", 1}, {L"wersion", L"version", 1},
      {L"vresoin", L"version", 2}, {L"", L"url", 3},             {L"sha265", L"sha256", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(KeyDistance(c.left, c.right), c.distance) << c.left;
}

}  // namespace
}  // namespace updater
