#include "config/run_results.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "config/registry_test_support.h"

namespace updater {
namespace {

using testing::ScopedApplicationKeys;
using testing::UniqueApplicationId;

constexpr FileTime64 kDay = 86400ull * 10000000ull;
constexpr FileTime64 kNow = 134000000000000000ull;

TEST(RunResults, OnlyAFailureNotChosenByTheUserBringsTheNextCheckForward) {
  struct Case {
    std::vector<Result> results;
    std::optional<FileTime64> stored;
    std::optional<FileTime64> expected;
    const char* what;
  };
  const Case cases[] = {
      {{kOk}, kNow + 30 * kDay, std::nullopt, "success"},
      {{kOk, E_UPD_INSTALL_FAILED}, kNow + 30 * kDay, kNow + kDay, "one failure among successes"},
      {{1603}, kNow + 30 * kDay, kNow + kDay, "an installer's own failure"},
      {{kErrorInstallUserExit}, kNow + 30 * kDay, std::nullopt, "the user left the installer"},
      {{kErrorCancelled, E_UPD_CANCELED}, kNow + 30 * kDay, std::nullopt, "cancelled"},
      {{E_UPD_CANCELED, E_UPD_BAD_SHA256}, kNow + 30 * kDay, kNow + kDay, "a cancel does not hide a failure"},
      {{E_UPD_INSTALL_FAILED}, kNow + kDay / 2, std::nullopt, "an earlier check stays"},
      {{E_UPD_INSTALL_FAILED}, kNow + kDay, std::nullopt, "exactly a day ahead stays"},
      {{E_UPD_INSTALL_FAILED}, std::nullopt, std::nullopt, "no stored time: due at once already"},
      {{}, kNow + 30 * kDay, std::nullopt, "nothing touched"},
  };
  for (const Case& c : cases) {
    std::vector<UpdateOutcome> outcomes;
    for (Result result : c.results) outcomes.push_back(UpdateOutcome{L"U", result, L""});
    EXPECT_EQ(CheckBroughtForward(outcomes, c.stored, kNow), c.expected) << c.what;
  }
}

TEST(RunResults, AnInstallingRunReplacesThePreviousRunsUpdatesAndKeepsTheCheck) {
  const std::wstring id = UniqueApplicationId(L"Results");
  ScopedApplicationKeys cleanup(HKEY_CURRENT_USER, id);
  SettingsStore store(HKEY_CURRENT_USER, id);
  store.WriteTime(SettingsKey::kSettings, kValueNextUpdateCheck, kNow + 30 * kDay);

  RecordCheckResult(store, E_UPD_UP_TO_DATE, kNow - 10);
  RecordInstallResults(store, kOk, {{L"Old", kOk, L"1.0"}}, true, kNow - 5);
  RecordInstallResults(store, E_UPD_INSTALL_FAILED,
                       {{L"Tool", E_UPD_INSTALL_FAILED, L"2.1"}, {L"Lib\\x64", kOk, L""}}, true, kNow);

  RegistryKey results = store.OpenKey(SettingsKey::kResults);
  EXPECT_EQ(results.ReadDword(kValueLastCheckResult), E_UPD_UP_TO_DATE);
  EXPECT_EQ(store.ReadTime(SettingsKey::kResults, kValueLastCheckTime), kNow - 10);
  EXPECT_EQ(results.ReadDword(kValueLastInstallResult), E_UPD_INSTALL_FAILED);
  EXPECT_EQ(store.ReadTime(SettingsKey::kResults, kValueLastInstallTime), kNow);
  std::vector<std::wstring> updates = results.SubkeyNames();
  std::sort(updates.begin(), updates.end());
  EXPECT_EQ(updates, (std::vector<std::wstring>{L"Lib/x64", L"Tool"}));  // "Old" belonged to the previous run

  const std::wstring path = store.KeyPath(SettingsKey::kResults);
  RegistryKey tool = RegistryKey::Open(HKEY_CURRENT_USER, path + L"\\Tool", RegistryView::k32);
  EXPECT_EQ(tool.ReadDword(kValueUpdateResult), E_UPD_INSTALL_FAILED);
  EXPECT_EQ(tool.ReadString(kValueUpdateVersion), L"2.1");
  RegistryKey lib = RegistryKey::Open(HKEY_CURRENT_USER, path + L"\\Lib/x64", RegistryView::k32);
  EXPECT_EQ(lib.ReadDword(kValueUpdateResult), kOk);
  EXPECT_FALSE(lib.ReadString(kValueUpdateVersion).has_value());
  EXPECT_EQ(store.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck), kNow + kDay);

  // A host installing one more update of the same run adds it; the check written a month ahead
  // after that is pulled back by the failure recorded since the check began.
  RecordInstallResults(store, E_UPD_INSTALL_FAILED, {{L"More", kOk, L""}}, false, kNow + 1);
  EXPECT_EQ(results.SubkeyNames().size(), 3u);
  store.WriteTime(SettingsKey::kSettings, kValueNextUpdateCheck, kNow + 30 * kDay);
  KeepRetryOfFailedInstall(store, kNow + 2);  // recorded before this check began: left alone
  EXPECT_EQ(store.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck), kNow + 30 * kDay);
  KeepRetryOfFailedInstall(store, kNow - 1);
  EXPECT_EQ(store.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck), kNow + 1 + kDay);
}

}  // namespace
}  // namespace updater
