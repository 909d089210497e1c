// The freshness rules of a signed updates configuration file: Serial and ValidUntil as written,
// against the serial and digest this machine remembered, at moments around the end of the day.
#include "catalogue/updates_file_freshness.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace updater {
namespace {

FileTime64 At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD millisecond = 0) {
  SYSTEMTIME time{year, month, 0, day, hour, minute, second, millisecond};
  FileTime64 at = SystemToFileTime(time);
  EXPECT_NE(at, 0u);
  return at;
}

const std::wstring kDigest = L"9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
const std::wstring kOtherDigest = L"60303AE22B998861BCE3B28F33EEC1BE758A213C86C93C076DBE9F558C11C752";

TEST(UpdatesFileFreshness, RulesOverSerialsDigestsAndDates) {
  const FileTime64 noon = At(2026, 12, 10, 12, 0, 0);
  struct Case {
    const char* what;
    std::wstring serial;
    std::wstring validUntil;
    std::wstring digest;
    RememberedUpdatesFile remembered;
    FileTime64 now;
    Result expected;
  };
  const Case cases[] = {
      {"first file on this machine", L"7", L"24/12/2026", kDigest, {}, noon, kOk},
      {"higher serial", L"8", L"24/12/2026", kOtherDigest, {7, kDigest}, noon, kOk},
      {"same serial, same bytes", L"7", L"24/12/2026", kDigest, {7, kDigest}, noon, kOk},
      {"same serial, digest in other case", L"7", L"24/12/2026", kDigest,
       {7, L"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"}, noon, kOk},
      {"same serial, other bytes", L"7", L"24/12/2026", kOtherDigest, {7, kDigest}, noon, E_UPD_UPDATES_FILE_REPLAYED},
      {"same serial, digest forgotten", L"7", L"24/12/2026", kDigest, {7, std::nullopt}, noon,
       E_UPD_UPDATES_FILE_REPLAYED},
      {"lower serial", L"6", L"24/12/2026", kOtherDigest, {7, kDigest}, noon, E_UPD_UPDATES_FILE_REPLAYED},
      {"lower serial by far", L"1", L"24/12/2026", kOtherDigest, {9223372036854775807ull, kDigest}, noon,
       E_UPD_UPDATES_FILE_REPLAYED},
      {"largest serial", L"9223372036854775807", L"24/12/2026", kDigest, {7, kDigest}, noon, kOk},
      {"serial 0", L"0", L"24/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"serial above 2^63-1", L"9223372036854775808", L"24/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"serial of 20 digits", L"18446744073709551617", L"24/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"serial with a sign", L"+7", L"24/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"serial negative", L"-7", L"24/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"serial with text", L"7a", L"24/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"serial missing", L"", L"24/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"valid until missing", L"7", L"", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"valid until not a date", L"7", L"31/02/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"valid until year first", L"7", L"2026/12/24", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"valid until with text", L"7", L"24/12/2026x", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"its last second", L"7", L"10/12/2026", kDigest, {}, At(2026, 12, 10, 23, 59, 59, 999), kOk},
      {"its first second", L"7", L"10/12/2026", kDigest, {}, At(2026, 12, 10, 0, 0, 0), kOk},
      {"midnight after it", L"7", L"10/12/2026", kDigest, {}, At(2026, 12, 11, 0, 0, 0), E_UPD_UPDATES_FILE_EXPIRED},
      {"the day after", L"7", L"09/12/2026", kDigest, {}, noon, E_UPD_UPDATES_FILE_EXPIRED},
      {"leap day", L"7", L"29/02/2028", kDigest, {}, At(2028, 2, 29, 23, 0, 0), kOk},
      {"year end", L"7", L"31/12/2026", kDigest, {}, At(2027, 1, 1, 0, 0, 0), E_UPD_UPDATES_FILE_EXPIRED},
      // An expired file is refused as expired even when its serial is also old.
      {"expired and lower", L"6", L"09/12/2026", kDigest, {7, kDigest}, noon, E_UPD_UPDATES_FILE_EXPIRED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FreshnessVerdict verdict = DecideFreshness(c.serial, c.validUntil, c.digest, c.remembered, c.now);
    EXPECT_EQ(verdict.result, c.expected);
    if (c.expected == kOk) {
      EXPECT_TRUE(verdict.reason.empty());
      EXPECT_EQ(std::to_wstring(verdict.serial), c.serial);
    } else {
      EXPECT_FALSE(verdict.reason.empty());
    }
  }
}

TEST(UpdatesFileFreshness, ReasonsNameTheValues) {
  const FileTime64 noon = At(2026, 12, 10, 12, 0, 0);
  EXPECT_EQ(DecideFreshness(L"6", L"24/12/2026", kDigest, {7, kDigest}, noon).reason,
            L"Serial 6, remembered 7: an older file than one already received.");
  EXPECT_EQ(DecideFreshness(L"7", L"24/12/2026", kOtherDigest, {7, kDigest}, noon).reason,
            L"Serial 7, remembered 7: the same serial with other content.");
  EXPECT_EQ(DecideFreshness(L"7", L"09/12/2026", kDigest, {}, noon).reason, L"it was valid until 09/12/2026 (UTC).");
}

}  // namespace
}  // namespace updater
