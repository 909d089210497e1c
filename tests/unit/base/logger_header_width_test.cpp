// Header widths around column 120: padded up to it, and exactly one blank once it is reached.
#include <gtest/gtest.h>

#include <string>

#include "base/logger.h"

namespace updater {
namespace {

constexpr wchar_t kStamp[] = L"2024-05-01 13-07-09";

// The header without prefix: "# <stamp> [PID=12|Thread=34] ".
size_t BareHeaderLength() { return std::wstring(L"# 2024-05-01 13-07-09 [PID=12|Thread=34] ").size(); }

// A line whose header (everything before the padding) is exactly `headerLength` characters long.
std::wstring LineWithHeaderOf(size_t headerLength) {
  std::wstring prefix(headerLength - BareHeaderLength(), L'p');
  return Logger::FormatLine(kStamp, 12, 34, prefix, L"message");
}

TEST(LoggerHeaderWidth, A125CharacterHeaderGetsExactlyOneBlank) {
  std::wstring line = LineWithHeaderOf(125);
  EXPECT_EQ(line.find(L"|\t\t"), 126u);
  EXPECT_EQ(line.substr(124, 2), L"p ");
  EXPECT_EQ(line.substr(126), L"|\t\tmessage\r\n");
}

TEST(LoggerHeaderWidth, A120CharacterHeaderGetsExactlyOneBlank) {
  std::wstring line = LineWithHeaderOf(120);
  EXPECT_EQ(line.find(L"|\t\t"), 121u);
  EXPECT_EQ(line.substr(119, 2), L"p ");
}

TEST(LoggerHeaderWidth, A119CharacterHeaderIsPaddedToColumn120) {
  std::wstring line = LineWithHeaderOf(119);
  EXPECT_EQ(line.find(L"|\t\t"), 120u);
  EXPECT_EQ(line.substr(118, 2), L"p ");
}

TEST(LoggerHeaderWidth, PrefixFollowsTheIdentifiers) {
  std::wstring line = Logger::FormatLine(kStamp, 4294967295u, 7, L"pre", L"m");
  EXPECT_EQ(line.substr(0, 48), L"# 2024-05-01 13-07-09 [PID=4294967295|Thread=7] ");
  EXPECT_EQ(line.substr(48, 3), L"pre");
  EXPECT_EQ(line.find(L"|\t\t"), 120u);
}

}  // namespace
}  // namespace updater
