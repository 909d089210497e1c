#include "base/logger.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(LoggerLineFormat, ShortHeaderIsPaddedToColumn120) {
  std::wstring line = Logger::FormatLine(L"2024-05-01 13-07-09", 12, 34, L"", L"hello");
  EXPECT_EQ(line.substr(0, 40), L"# 2024-05-01 13-07-09 [PID=12|Thread=34]");
  EXPECT_EQ(line.find(L"|\t\t"), 120u);
  EXPECT_EQ(line.substr(120), L"|\t\thello\r\n");
}

TEST(LoggerLineFormat, LongHeaderGetsExactlyOneBlank) {
  std::wstring prefix(130, L'x');
  std::wstring line = Logger::FormatLine(L"2024-05-01 13-07-09", 1, 2, prefix, L"m");
  size_t bar = line.find(L"|\t\t");
  ASSERT_NE(bar, std::wstring::npos);
  EXPECT_EQ(line[bar - 1], L' ');
  EXPECT_EQ(line[bar - 2], L'x');
}

}  // namespace
}  // namespace updater
