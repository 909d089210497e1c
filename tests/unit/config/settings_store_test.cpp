#include "config/settings_store.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "config/registry_test_support.h"

namespace updater {
namespace {

using testing::KeyExists;
using testing::RawValue;
using testing::ScopedApplicationKeys;
using testing::UniqueApplicationId;

constexpr FileTime64 kMinute = 60ull * 10000000ull;

FileTime64 UtcFileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
  SYSTEMTIME time{};
  time.wYear = year;
  time.wMonth = month;
  time.wDay = day;
  time.wHour = hour;
  time.wMinute = minute;
  FILETIME fileTime{};
  EXPECT_TRUE(::SystemTimeToFileTime(&time, &fileTime));
  return (static_cast<FileTime64>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

class SettingsStoreRegistry : public ::testing::Test {
 protected:
  SettingsStoreRegistry() : id_(UniqueApplicationId(L"Store")), cleanup_(HKEY_CURRENT_USER, id_), store_(HKEY_CURRENT_USER, id_) {}
  std::wstring id_;
  ScopedApplicationKeys cleanup_;
  SettingsStore store_;
};

TEST(SettingsStoreKeys, EveryKindHasItsPathBelowTheProductKey) {
  SettingsStore store(HKEY_CURRENT_USER, L"App1");
  const std::wstring root = L"Software\\Velmora\\Kestrune Updater";
  EXPECT_EQ(store.KeyPath(SettingsKey::kSettings), root + L"\\App1\\Settings");
  EXPECT_EQ(store.KeyPath(SettingsKey::kUpdates), root + L"\\App1\\Updates");
  EXPECT_EQ(store.KeyPath(SettingsKey::kUpdateLocks), root + L"\\App1\\Updates\\Locks");
  EXPECT_EQ(store.KeyPath(SettingsKey::kApplication), root + L"\\App1");
  EXPECT_EQ(store.KeyPath(SettingsKey::kProductRoot), root);
  EXPECT_EQ(store.KeyPath(SettingsKey::kMessages), root + L"\\App1\\Messages");
  EXPECT_EQ(store.KeyPath(SettingsKey::kMessageResources), root + L"\\App1\\Messages\\Resources");
}

TEST(SettingsStoreKeys, WithoutIdEveryAccessFailsEvenForTheProductRoot) {
  SettingsStore store(HKEY_CURRENT_USER, L"");
  EXPECT_EQ(store.KeyPath(SettingsKey::kProductRoot), L"");
  EXPECT_FALSE(store.WriteNumber(SettingsKey::kProductRoot, L"X", 1));
  EXPECT_FALSE(store.WriteString(SettingsKey::kSettings, L"Proxy", L"p"));
  EXPECT_FALSE(store.ReadNumber(SettingsKey::kProductRoot, L"X").has_value());
  EXPECT_FALSE(store.DeleteKey(SettingsKey::kApplication));
  EXPECT_TRUE(store.ValueNames(SettingsKey::kProductRoot).empty());
}

TEST_F(SettingsStoreRegistry, ValuesRoundTripInTheirRegistryTypes) {
  const std::wstring settings = store_.KeyPath(SettingsKey::kSettings);
  ASSERT_TRUE(store_.WriteTime(SettingsKey::kSettings, kValueNextUpdateCheck, 0x0123456789ABCDEFull));
  ASSERT_TRUE(store_.WriteNumber(SettingsKey::kSettings, kValueCheckFrequency, 7));
  ASSERT_TRUE(store_.WriteFlag(SettingsKey::kSettings, kValueNoAutoUpdateCheck, true));
  ASSERT_TRUE(store_.WriteString(SettingsKey::kSettings, kValueProxy, L"proxy.example:8080"));

  EXPECT_EQ(store_.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck), 0x0123456789ABCDEFull);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueCheckFrequency), 7u);
  EXPECT_EQ(store_.ReadFlag(SettingsKey::kSettings, kValueNoAutoUpdateCheck), true);
  EXPECT_EQ(store_.ReadString(SettingsKey::kSettings, kValueProxy), L"proxy.example:8080");

  DWORD type = 0;
  std::wstring bytes;
  ASSERT_TRUE(RawValue(HKEY_CURRENT_USER, settings, kValueNextUpdateCheck, &type, &bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  ASSERT_EQ(bytes.size(), 8u);
  EXPECT_EQ(bytes[0], 0xEF);  // little-endian file time
  EXPECT_EQ(bytes[7], 0x01);
  ASSERT_TRUE(RawValue(HKEY_CURRENT_USER, settings, kValueCheckFrequency, &type, nullptr));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  ASSERT_TRUE(RawValue(HKEY_CURRENT_USER, settings, kValueProxy, &type, nullptr));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
}

TEST_F(SettingsStoreRegistry, ReadsCreateTheKeyAndReportMissingValuesAsAbsent) {
  const std::wstring updates = store_.KeyPath(SettingsKey::kUpdates);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, updates));
  EXPECT_FALSE(store_.ReadString(SettingsKey::kUpdates, L"Update 1").has_value());
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, updates));
  EXPECT_FALSE(store_.ReadTime(SettingsKey::kSettings, kValueLastModified).has_value());
  EXPECT_FALSE(store_.ReadFlag(SettingsKey::kSettings, kValueNoAutoUpdateCheck).has_value());
}

TEST_F(SettingsStoreRegistry, ValuesOfAnotherTypeOrSizeAreAbsent) {
  ASSERT_TRUE(store_.WriteString(SettingsKey::kSettings, kValueCheckFrequency, L"3"));
  EXPECT_FALSE(store_.ReadNumber(SettingsKey::kSettings, kValueCheckFrequency).has_value());
  ASSERT_TRUE(store_.WriteNumber(SettingsKey::kSettings, kValueNextUpdateCheck, 5));
  EXPECT_FALSE(store_.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck).has_value());
  ASSERT_TRUE(store_.WriteNumber(SettingsKey::kSettings, kValueProxy, 5));
  EXPECT_FALSE(store_.ReadString(SettingsKey::kSettings, kValueProxy).has_value());
}

TEST_F(SettingsStoreRegistry, UnterminatedAndOddSizedStringsAreReadSafely) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, store_.KeyPath(SettingsKey::kSettings).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const wchar_t text[] = {L'a', L'b', L'c'};
  ASSERT_EQ(::RegSetValueExW(key, L"NoTerminator", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)),
            ERROR_SUCCESS);
  const BYTE odd[] = {'x', 0, 'y'};
  ASSERT_EQ(::RegSetValueExW(key, L"OddSize", 0, REG_SZ, odd, sizeof(odd)), ERROR_SUCCESS);
  ::RegCloseKey(key);
  EXPECT_EQ(store_.ReadString(SettingsKey::kSettings, L"NoTerminator"), L"abc");
  EXPECT_EQ(store_.ReadString(SettingsKey::kSettings, L"OddSize"), L"x");
}

TEST_F(SettingsStoreRegistry, DeleteValueKeyAndListNames) {
  ASSERT_TRUE(store_.WriteNumber(SettingsKey::kUpdateLocks, L"Update A", 1));
  ASSERT_TRUE(store_.WriteString(SettingsKey::kUpdates, L"Update A", L"C:\\d\\a.msi"));
  ASSERT_TRUE(store_.WriteString(SettingsKey::kUpdates, L"Update B", L"C:\\d\\b.exe"));

  std::vector<std::wstring> names = store_.ValueNames(SettingsKey::kUpdates);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Update A", L"Update B"}));

  EXPECT_TRUE(store_.DeleteValue(SettingsKey::kUpdates, L"Update A"));
  EXPECT_TRUE(store_.DeleteValue(SettingsKey::kUpdates, L"Update A"));  // already gone
  EXPECT_EQ(store_.ValueNames(SettingsKey::kUpdates), std::vector<std::wstring>{L"Update B"});

  EXPECT_TRUE(store_.DeleteKey(SettingsKey::kUpdateLocks));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, store_.KeyPath(SettingsKey::kUpdateLocks)));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, store_.KeyPath(SettingsKey::kUpdates)));

  // The application key goes with every key below it.
  ASSERT_TRUE(store_.WriteNumber(SettingsKey::kUpdateLocks, L"Update B", 1));
  EXPECT_TRUE(store_.DeleteKey(SettingsKey::kApplication));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, store_.KeyPath(SettingsKey::kApplication)));
  EXPECT_TRUE(store_.DeleteKey(SettingsKey::kApplication));  // nothing left to delete
}

TEST(SettingsStoreMachineHive, MachineStoreReadsTheLocalMachineKey) {
  std::wstring id = UniqueApplicationId(L"Machine");
  ScopedApplicationKeys cleanup(HKEY_LOCAL_MACHINE, id);
  SettingsStore machine(HKEY_LOCAL_MACHINE, id);
  ASSERT_TRUE(machine.WriteNumber(SettingsKey::kSettings, kValueLogLevel, 9));
  EXPECT_EQ(machine.ReadNumber(SettingsKey::kSettings, kValueLogLevel), 9u);
  SettingsStore user(HKEY_CURRENT_USER, id);
  ScopedApplicationKeys userCleanup(HKEY_CURRENT_USER, id);
  EXPECT_FALSE(user.ReadNumber(SettingsKey::kSettings, kValueLogLevel).has_value());
}

// ---- Due rule ----

TEST(CheckDueRule, NothingStoredMeansDue) {
  CheckDueDecision decision = DecideCheckDue({}, 1000);
  EXPECT_TRUE(decision.due);
  EXPECT_FALSE(decision.disabledByPolicy);
  EXPECT_EQ(decision.ResultCode(), kOk);
}

TEST(CheckDueRule, PolicyDisableWinsOverAPastNextCheck) {
  CheckDueDecision decision = DecideCheckDue({kPolicyDisable, std::nullopt, 10}, 1000);
  EXPECT_FALSE(decision.due);
  EXPECT_TRUE(decision.disabledByPolicy);
  EXPECT_EQ(decision.ResultCode(), E_UPD_AUTO_CHECK_DISABLED);
}

TEST(CheckDueRule, NoAutoUpdateCheckCountsOnlyWithoutPolicy) {
  EXPECT_EQ(DecideCheckDue({std::nullopt, true, std::nullopt}, 1000).ResultCode(), E_UPD_CHECK_NOT_DUE);
  EXPECT_FALSE(DecideCheckDue({std::nullopt, true, std::nullopt}, 1000).disabledByPolicy);
  EXPECT_TRUE(DecideCheckDue({std::nullopt, false, std::nullopt}, 1000).due);
  EXPECT_TRUE(DecideCheckDue({kPolicyPrompt, true, std::nullopt}, 1000).due);
}

TEST(CheckDueRule, DueExactlyFromTheStoredTimeOn) {
  const FileTime64 now = UtcFileTime(2024, 5, 1, 10, 0);
  EXPECT_EQ(DecideCheckDue({kPolicyPrompt, std::nullopt, now + kMinute}, now).ResultCode(), E_UPD_CHECK_NOT_DUE);
  EXPECT_TRUE(DecideCheckDue({kPolicyAutoAll, std::nullopt, now}, now).due);
  EXPECT_TRUE(DecideCheckDue({kPolicyAutoAll, std::nullopt, now - 1}, now).due);
}

TEST(CheckSchedule, NextCheckIsWholeDaysLaterAtTheSameTime) {
  EXPECT_EQ(NextCheckTime(UtcFileTime(2024, 2, 27, 10, 0), 3), UtcFileTime(2024, 3, 1, 10, 0));
  EXPECT_EQ(NextCheckTime(UtcFileTime(2024, 5, 1, 10, 0), 1), UtcFileTime(2024, 5, 2, 10, 0));
  EXPECT_EQ(NextCheckTime(UtcFileTime(2024, 5, 1, 10, 0), 0), UtcFileTime(2024, 5, 1, 10, 0));
  EXPECT_EQ(NextCheckTime(UtcFileTime(2024, 5, 2, 10, 0), -1), UtcFileTime(2024, 5, 1, 10, 0));
}

TEST(CheckSchedule, OutOfRangeFrequenciesSaturateInsteadOfWrapping) {
  const FileTime64 now = UtcFileTime(2024, 5, 1, 10, 0);
  EXPECT_EQ(NextCheckTime(now, INT32_MAX), kLatestFileTime);
  EXPECT_EQ(NextCheckTime(kLatestFileTime - kMinute, 1), kLatestFileTime);
  EXPECT_EQ(NextCheckTime(now, INT32_MIN), 0u);
  EXPECT_GT(NextCheckTime(now, 1000000), now);
}

TEST_F(SettingsStoreRegistry, DueTestReadsTheRegistry) {
  const FileTime64 now = CurrentUtcFileTime();
  EXPECT_EQ(IsCheckDue(store_, now).ResultCode(), kOk);

  ASSERT_TRUE(store_.WriteNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy, kPolicyPrompt));
  ASSERT_TRUE(store_.WriteTime(SettingsKey::kSettings, kValueNextUpdateCheck, now + kMinute));
  EXPECT_EQ(IsCheckDue(store_, now).ResultCode(), E_UPD_CHECK_NOT_DUE);

  ASSERT_TRUE(store_.WriteNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy, kPolicyDisable));
  ASSERT_TRUE(store_.WriteTime(SettingsKey::kSettings, kValueNextUpdateCheck, now - kMinute));
  EXPECT_EQ(IsCheckDue(store_, now).ResultCode(), E_UPD_AUTO_CHECK_DISABLED);

  ASSERT_TRUE(store_.DeleteValue(SettingsKey::kSettings, kValueAutoUpdatePolicy));
  ASSERT_TRUE(store_.WriteFlag(SettingsKey::kSettings, kValueNoAutoUpdateCheck, true));
  EXPECT_EQ(IsCheckDue(store_, now).ResultCode(), E_UPD_CHECK_NOT_DUE);
}

TEST_F(SettingsStoreRegistry, ScheduleWritesTheNextCheckTime) {
  const FileTime64 tenOClock = UtcFileTime(2024, 5, 1, 10, 0);
  ASSERT_TRUE(ScheduleNextCheck(store_, 3, tenOClock));
  EXPECT_EQ(store_.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck), UtcFileTime(2024, 5, 4, 10, 0));
  EXPECT_FALSE(IsCheckDue(store_, UtcFileTime(2024, 5, 4, 9, 59)).due);
  EXPECT_TRUE(IsCheckDue(store_, UtcFileTime(2024, 5, 4, 10, 0)).due);
}

// ---- "/set" ----

TEST(SetCommandParsing, PolicyWordsAreExactSingleWords) {
  EXPECT_EQ(ParseAutoUpdatePolicy(L"Disable"), 0u);
  EXPECT_EQ(ParseAutoUpdatePolicy(L"Prompt"), 1u);
  EXPECT_EQ(ParseAutoUpdatePolicy(L" AutoAll "), 2u);
  EXPECT_EQ(ParseAutoUpdatePolicy(L"AutoCritical"), 3u);
  EXPECT_FALSE(ParseAutoUpdatePolicy(L"Never").has_value());
  EXPECT_FALSE(ParseAutoUpdatePolicy(L"prompt").has_value());
  EXPECT_FALSE(ParseAutoUpdatePolicy(L"").has_value());
  EXPECT_FALSE(ParseAutoUpdatePolicy(L"Prompt|AutoAll").has_value());
}

TEST(SetCommandParsing, RetryAttemptsReadsUpToTheFirstNonDigit) {
  EXPECT_EQ(ParseRetryAttempts(L"5"), 5);
  EXPECT_EQ(ParseRetryAttempts(L"-3"), -3);
  EXPECT_EQ(ParseRetryAttempts(L"12abc"), 12);
  EXPECT_EQ(ParseRetryAttempts(L"abc"), 0);
  EXPECT_EQ(ParseRetryAttempts(L"-"), 0);
  EXPECT_EQ(ParseRetryAttempts(L"99999999999"), INT32_MAX);
}

TEST(SetCommandParsing, LogLevelWordsStopAtTheFirstUnknownWord) {
  EXPECT_EQ(ParseLogLevelWords(L"Error|Debug"), 5u);
  EXPECT_EQ(ParseLogLevelWords(L"Error | Info|Debug|Trace"), 15u);
  EXPECT_EQ(ParseLogLevelWords(L"Off"), 0u);
  EXPECT_EQ(ParseLogLevelWords(L"Info|debug|Trace"), 2u);
}

TEST_F(SettingsStoreRegistry, SetAutoUpdatePolicy) {
  EXPECT_EQ(ApplySetCommand(store_, 0, L"autoupdatepolicy", L"AutoCritical", L""), kOk);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy), 3u);

  EXPECT_EQ(ApplySetCommand(store_, 0, L"autoupdatepolicy", L"Never", L""), E_UPD_COMMAND_LINE);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy), 3u);

  EXPECT_EQ(ApplySetCommand(store_, kClientFlagNoDisableAutoCheck, L"autoupdatepolicy", L"Disable", L""),
            E_UPD_POLICY_LOCKED);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy), 3u);

  EXPECT_EQ(ApplySetCommand(store_, kClientFlagNoDisableAutoCheck, L"autoupdatepolicy", L"Prompt", L""), kOk);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy), 1u);
  EXPECT_EQ(ApplySetCommand(store_, 0, L"autoupdatepolicy", L"Disable", L""), kOk);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy), 0u);
}

TEST_F(SettingsStoreRegistry, SetLogLevelRetryAttemptsAndProxy) {
  EXPECT_EQ(ApplySetCommand(store_, 0, L"loglevel", L"Error|Debug", L""), kOk);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueLogLevel), 5u);

  EXPECT_EQ(ApplySetCommand(store_, 0, L"retryattempts", L"-1", L""), kOk);
  EXPECT_EQ(store_.ReadNumber(SettingsKey::kSettings, kValueRetryAttempts), 0xFFFFFFFFu);

  EXPECT_EQ(ApplySetCommand(store_, 0, L"proxy", L"http://127.0.0.1:3128", L""), kOk);
  EXPECT_EQ(store_.ReadString(SettingsKey::kSettings, kValueProxy), L"http://127.0.0.1:3128");
  EXPECT_EQ(ApplySetCommand(store_, 0, L"proxy", L"", L""), kOk);
  EXPECT_FALSE(store_.ReadString(SettingsKey::kSettings, kValueProxy).has_value());
}

TEST_F(SettingsStoreRegistry, SetDownloadsFolderAppliesToThisRunToo) {
  std::wstring forRun = L"C:\\old";
  EXPECT_EQ(ApplySetCommand(store_, 0, L"downloadsfolder", L"D:\\Downloads\\App", L"", &forRun), kOk);
  EXPECT_EQ(forRun, L"D:\\Downloads\\App");
  EXPECT_EQ(store_.ReadString(SettingsKey::kSettings, kValueDownloadsFolder), L"D:\\Downloads\\App");
}

Result RecordCredentials(const std::wstring& user, const std::wstring& password) {
  return user == L"alice" && password == L"secret" ? kOk : E_UPD_NOT_MODIFIED;
}

TEST_F(SettingsStoreRegistry, SetNamesAreExactAndCredentialsGoThroughTheHook) {
  EXPECT_EQ(ApplySetCommand(store_, 0, L"LogLevel", L"Error", L""), E_UPD_COMMAND_LINE);
  EXPECT_FALSE(store_.ReadNumber(SettingsKey::kSettings, kValueLogLevel).has_value());
  EXPECT_EQ(ApplySetCommand(store_, 0, L"rememberpassword", L"alice", L"secret"), E_UPD_COMMAND_LINE);
  EXPECT_EQ(ApplySetCommand(store_, 0, L"rememberpassword", L"alice", L"secret", nullptr, RecordCredentials), kOk);
  EXPECT_EQ(ApplySetCommand(store_, 0, L"rememberpassword", L"bob", L"x", nullptr, RecordCredentials),
            E_UPD_NOT_MODIFIED);
}

}  // namespace
}  // namespace updater
