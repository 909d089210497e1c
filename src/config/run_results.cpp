#include "config/run_results.h"

#include "base/logger.h"
#include "base/registry.h"

namespace updater {
namespace {

// Times are stored as "NextUpdateCheck" is: the 8 bytes of the file time (REG_BINARY).
LSTATUS WriteFileTime(const RegistryKey& key, const wchar_t* name, FileTime64 time) {
  return key.WriteRaw(name, REG_BINARY, &time, sizeof(time));
}

}  // namespace

bool IsUsersChoice(Result result) {
  return result == kErrorInstallUserExit || result == kErrorCancelled || result == E_UPD_CANCELED;
}

std::optional<FileTime64> CheckBroughtForward(const std::vector<UpdateOutcome>& outcomes,
                                              const std::optional<FileTime64>& nextCheck, FileTime64 now) {
  bool failed = false;
  for (const UpdateOutcome& outcome : outcomes) failed = failed || (outcome.result != kOk && !IsUsersChoice(outcome.result));
  if (!failed || !nextCheck) return std::nullopt;
  FileTime64 retry = NextCheckTime(now, kRetryAfterFailedInstallDays);
  if (*nextCheck <= retry) return std::nullopt;
  return retry;
}

std::wstring ResultsSubkeyName(const std::wstring& sectionName) {
  std::wstring name = sectionName;
  for (wchar_t& c : name)
    if (c == L'\\') c = L'/';
  return name;
}

void RecordCheckResult(const SettingsStore& store, Result result, FileTime64 now) {
  if (store.Id().empty()) return;
  RegistryKey results = store.OpenKey(SettingsKey::kResults);
  if (!results || WriteFileTime(results, kValueLastCheckTime, now) != ERROR_SUCCESS ||
      results.WriteDword(kValueLastCheckResult, result) != ERROR_SUCCESS)
    Log(kLogError, L"Unable to record the result of the check under " + store.KeyPath(SettingsKey::kResults) + L".");
}

void RecordInstallResults(const SettingsStore& store, Result runResult, const std::vector<UpdateOutcome>& outcomes,
                          bool newRun, FileTime64 now) {
  if (store.Id().empty()) return;
  const std::wstring resultsPath = store.KeyPath(SettingsKey::kResults);
  RegistryKey results = store.OpenKey(SettingsKey::kResults);
  bool recorded = static_cast<bool>(results);
  if (recorded && newRun) {
    for (const std::wstring& name : results.SubkeyNames())
      DeleteRegistryTree(store.Hive(), resultsPath + L"\\" + name, RegistryView::k32);
  }
  for (const UpdateOutcome& outcome : outcomes) {
    if (!recorded) break;
    RegistryKey update = RegistryKey::Create(store.Hive(), resultsPath + L"\\" + ResultsSubkeyName(outcome.sectionName),
                                             RegistryView::k32, KEY_ALL_ACCESS);
    recorded = update && update.WriteDword(kValueUpdateResult, outcome.result) == ERROR_SUCCESS &&
               WriteFileTime(update, kValueUpdateTime, now) == ERROR_SUCCESS;
    if (recorded) {
      if (outcome.version.empty())
        update.DeleteValue(kValueUpdateVersion);
      else
        recorded = update.WriteString(kValueUpdateVersion, outcome.version) == ERROR_SUCCESS;
    }
  }
  recorded = recorded && WriteFileTime(results, kValueLastInstallTime, now) == ERROR_SUCCESS &&
             results.WriteDword(kValueLastInstallResult, runResult) == ERROR_SUCCESS;
  if (!recorded) Log(kLogError, L"Unable to record the results of the installation under " + resultsPath + L".");

  BringCheckForward(store, outcomes, now);
}

void BringCheckForward(const SettingsStore& store, const std::vector<UpdateOutcome>& outcomes, FileTime64 failedAt) {
  std::optional<FileTime64> retry =
      CheckBroughtForward(outcomes, store.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck), failedAt);
  if (!retry) return;
  if (store.WriteTime(SettingsKey::kSettings, kValueNextUpdateCheck, *retry))
    LogFormat(kLogInfo, L"An update failed to install; the next automatic check is brought forward to %ls.",
              FormatUtc(*retry).c_str());
}

void KeepRetryOfFailedInstall(const SettingsStore& store, FileTime64 since) {
  if (store.Id().empty()) return;
  std::optional<FileTime64> installed = store.ReadTime(SettingsKey::kResults, kValueLastInstallTime);
  if (!installed || *installed < since) return;
  const std::wstring resultsPath = store.KeyPath(SettingsKey::kResults);
  std::vector<UpdateOutcome> outcomes;
  for (const std::wstring& name : store.OpenKey(SettingsKey::kResults).SubkeyNames()) {
    RegistryKey update = RegistryKey::Open(store.Hive(), resultsPath + L"\\" + name, RegistryView::k32);
    if (std::optional<std::uint32_t> result = update.ReadDword(kValueUpdateResult))
      outcomes.push_back(UpdateOutcome{name, *result, L""});
  }
  BringCheckForward(store, outcomes, *installed);
}

}  // namespace updater
