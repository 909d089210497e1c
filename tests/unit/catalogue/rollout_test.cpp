// Staged rollouts: the share over the days of a ramp, the bucket rule at its edges, the bucket
// draw's distribution, and the selection that holds an update back and offers its dependency.
#include "catalogue/rollout.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <random>

#include "catalogue/selection.h"
#include "catalogue/temp_files.h"

namespace updater {
namespace {

FileTime64 Noon(WORD year, WORD month, WORD day) {
  SYSTEMTIME time{year, month, 0, day, 12, 0, 0, 0};
  return SystemToFileTime(time);
}

TEST(Rollout, ShareOverTheDaysOfTheRamp) {
  const UpdateDate released{2026, 12, 10};
  struct Case {
    const char* what;
    std::uint32_t percent;
    std::uint32_t days;
    UpdateDate date;
    FileTime64 now;
    std::uint32_t share;
    bool rampIgnored;
  };
  const Case cases[] = {
      {"no keys: everyone", 100, 0, {}, Noon(2026, 12, 10), 10000, false},
      {"a percentage alone", 5, 0, {}, Noon(2026, 12, 10), 500, false},
      {"halted", 0, 0, released, Noon(2026, 12, 10), 0, false},
      {"day 0, the day before the release", 100, 10, released, Noon(2026, 12, 9), 0, false},
      {"day 1, the release day", 100, 10, released, Noon(2026, 12, 10), 1000, false},
      {"day 1 at its first moment", 100, 10, released, Noon(2026, 12, 10) - 12 * 36000000000ull, 1000, false},
      {"day 2", 100, 10, released, Noon(2026, 12, 11), 2000, false},
      {"day 2 of 3: two thirds", 100, 3, released, Noon(2026, 12, 11), 6666, false},
      {"the last day", 100, 10, released, Noon(2026, 12, 19), 10000, false},
      {"after the ramp", 100, 10, released, Noon(2027, 3, 1), 10000, false},
      {"the percentage below the ramp", 20, 10, released, Noon(2026, 12, 15), 2000, false},
      {"the ramp below the percentage", 80, 10, released, Noon(2026, 12, 12), 3000, false},
      {"one day: everyone from the release day", 100, 1, released, Noon(2026, 12, 10), 10000, false},
      {"365 days, day 1", 100, 365, released, Noon(2026, 12, 10), 27, false},
      {"a ramp without a release date", 30, 7, {}, Noon(2026, 12, 10), 3000, true},
      {"a ramp with a date that is none", 100, 7, {2026, 2, 31}, Noon(2026, 12, 10), 10000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool ignored = false;
    EXPECT_EQ(RolloutShare(c.percent, c.days, c.date, c.now, &ignored), c.share);
    EXPECT_EQ(ignored, c.rampIgnored);
  }
}

TEST(Rollout, BucketRuleAtItsEdgesAndTheDrawIsEven) {
  EXPECT_FALSE(IsInRolloutShare(0, 0));
  EXPECT_TRUE(IsInRolloutShare(0, 1));
  EXPECT_TRUE(IsInRolloutShare(9999, 10000));
  EXPECT_FALSE(IsInRolloutShare(9999, 9999));
  EXPECT_FALSE(IsInRolloutShare(500, 500));  // 5 %: buckets 0 to 499
  EXPECT_TRUE(IsInRolloutShare(499, 500));
  EXPECT_EQ(FormatRolloutShare(500), L"5.00 %");
  EXPECT_EQ(FormatRolloutShare(6666), L"66.66 %");

  // Numbers at the top of the 32-bit range would favour the low buckets: they are drawn again.
  std::uint32_t calls = 0;
  EXPECT_EQ(DrawRolloutBucket([&calls] { return calls++ == 0 ? 0xFFFFFFFFu : 12345u; }), 2345u);
  EXPECT_EQ(calls, 2u);

  std::mt19937 generator(20261210);
  int tenths[10] = {};
  const int draws = 200000;
  for (int i = 0; i < draws; ++i) {
    std::uint32_t bucket = DrawRolloutBucket([&generator] { return static_cast<std::uint32_t>(generator()); });
    ASSERT_LT(bucket, kRolloutBuckets);
    ++tenths[bucket / 1000];
  }
  for (int count : tenths) {
    EXPECT_GT(count, draws * 9 / 100);
    EXPECT_LT(count, draws * 11 / 100);
  }
}

class RolloutSelection : public ::testing::Test {
 protected:
  RolloutSelection() {
    settings_.downloadsFolder = L"C:\\Downloads";
    settings_.updatesUrls = {L"http://server/updates.ini"};
    context_.windows.major = 10;
    context_.isInstalled = [](const UpdateRecord&) { return false; };
    context_.rollout.active = true;
    context_.rollout.now = Noon(2026, 12, 12);
  }

  // Which sections the selection takes for this bucket, and whether a person asked.
  std::vector<std::wstring> Selected(const std::wstring& text, std::uint32_t bucket, bool personAsked) {
    testing::TempFolder folder;
    std::wstring path = folder.Path() + L"\\updates.ini";
    testing::WriteAnsiFile(path, text);
    UpdateCatalogue catalogue(settings_);
    EXPECT_EQ(UpdatesFileReader(catalogue, path).Load(true, false), kOk);
    context_.rollout.bucket = bucket;
    context_.rollout.personAsked = personAsked;
    SelectNeededUpdates(catalogue, context_);
    std::vector<std::wstring> selected;
    for (size_t i = 0; i < catalogue.Count(); ++i)
      if (catalogue.At(i).selected) selected.push_back(catalogue.At(i).sectionName);
    return selected;
  }

  CatalogueSettings settings_;
  SelectionContext context_;
};

std::wstring Section(const std::wstring& name, const std::wstring& keys) {
  return L"[" + name + L"]\nName=" + name + L"\nSize=100\nURL=http://server/" + name +
         L".exe\nRegistryKey=HKLM\\Software\\X\\" + name + L"\n" + keys;
}

TEST_F(RolloutSelection, SharesHoldBackScheduledChecksAndOnlyAHaltHoldsBackAPerson) {
  const std::wstring file = L";kxw;\n" + Section(L"New", L"RolloutPercent=10\nDepends=Base\n") +
                            Section(L"Base", L"RolloutPercent=0\n") + Section(L"Halted", L"RolloutPercent=0\n") +
                            Section(L"Ramp", L"ReleaseDate=10/12/2026\nRolloutDays=10\n");
  // Bucket 999 is inside 10 % and inside the ramp's 30 % on its third day; the dependency of an
  // offered update comes with it although its own share is 0.
  EXPECT_EQ(Selected(file, 999, false), (std::vector<std::wstring>{L"New", L"Base", L"Ramp"}));
  EXPECT_EQ(Selected(file, 1000, false), (std::vector<std::wstring>{L"Ramp"}));
  EXPECT_EQ(Selected(file, 3000, false), (std::vector<std::wstring>{}));
  EXPECT_EQ(Selected(file, 9999, true), (std::vector<std::wstring>{L"New", L"Base", L"Ramp"}));
  context_.rollout.active = false;  // a saved selection: what was handed over is taken
  EXPECT_EQ(Selected(file, 9999, false), (std::vector<std::wstring>{L"New", L"Base", L"Halted", L"Ramp"}));
}

TEST_F(RolloutSelection, KeysOutOfRangeMakeTheSectionInvalid) {
  for (const wchar_t* keys : {L"RolloutPercent=101\n", L"RolloutPercent=-1\n", L"RolloutPercent=5%\n",
                              L"RolloutDays=0\n", L"RolloutDays=366\n", L"RolloutDays=ten\n"}) {
    SCOPED_TRACE(keys);
    testing::TempFolder folder;
    std::wstring path = folder.Path() + L"\\updates.ini";
    testing::WriteAnsiFile(path, L";kxw;\n" + Section(L"A", keys));
    UpdateCatalogue catalogue(settings_);
    EXPECT_EQ(UpdatesFileReader(catalogue, path).Load(true, false), E_UPD_INVALID_UPDATES_FILE);
  }
}

}  // namespace
}  // namespace updater
