#include "check/check_run.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(LocalUpdatesFile, TakesTheFileNameOfTheUrlPath) {
  EXPECT_EQ(LocalUpdatesFilePath(L"C:\\Downloads", L"http://h/pub/updates.ini"), L"C:\\Downloads\\updates.ini");
  EXPECT_EQ(LocalUpdatesFilePath(L"C:\\Downloads\\", L"https://h/a/tool-updates.ini?channel=beta"),
            L"C:\\Downloads\\tool-updates.ini");
  EXPECT_EQ(LocalUpdatesFilePath(L"C:\\D", L"file://server/share/feed.ini"), L"C:\\D\\feed.ini");
}

TEST(LocalUpdatesFile, FallsBackWhenThePathNamesNoPlainFile) {
  EXPECT_EQ(LocalUpdatesFilePath(L"C:\\D", L"http://h/"), L"C:\\D\\updates.ini");
  EXPECT_EQ(LocalUpdatesFilePath(L"C:\\D", L"http://h/a/.."), L"C:\\D\\updates.ini");
  EXPECT_EQ(LocalUpdatesFilePath(L"C:\\D", L"http://h"), L"C:\\D\\updates.ini");
}

TEST(ConditionalRequest, OnlyForALocalCopyWrittenAfterTheStoredServerTime) {
  EXPECT_TRUE(UseIfModifiedSince(true, 200, std::optional<std::uint64_t>(100)));
  EXPECT_FALSE(UseIfModifiedSince(true, 100, std::optional<std::uint64_t>(100)));  // not later
  EXPECT_FALSE(UseIfModifiedSince(false, 200, std::optional<std::uint64_t>(100)));  // no local copy
  EXPECT_FALSE(UseIfModifiedSince(true, 200, std::nullopt));                        // nothing stored
}

TEST(ConditionalRequest, FileTimesAndSystemTimesConvertBothWays) {
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDay = 8;
  time.wHour = 10;
  time.wMinute = 30;
  time.wSecond = 5;
  std::uint64_t fileTime = SystemToFileTime(time);
  ASSERT_NE(fileTime, 0u);
  SYSTEMTIME back = FileTimeToSystem(fileTime);
  EXPECT_EQ(back.wYear, 2026);
  EXPECT_EQ(back.wMonth, 12);
  EXPECT_EQ(back.wDay, 8);
  EXPECT_EQ(back.wHour, 10);
  EXPECT_EQ(back.wMinute, 30);
  EXPECT_EQ(back.wSecond, 5);
  EXPECT_EQ(FileTimeToSystem(0xFFFFFFFFFFFFFFFFull).wYear, 0);  // out of range: all zero, no request condition
}

}  // namespace
}  // namespace updater
