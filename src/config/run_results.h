// What the updater leaves on the machine about its runs, for deployment tools and support staff:
// under "<ID>\Results" the last check and the last installing run, and one subkey per update that
// installing run touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/utc_time.h"
#include "config/settings_store.h"

namespace updater {

// Values of the "Results" key; the times are file times (UTC, the 8 bytes of a REG_BINARY value like "NextUpdateCheck"), the results 32-bit.
inline constexpr wchar_t kValueLastCheckTime[] = L"LastCheckTime";
inline constexpr wchar_t kValueLastCheckResult[] = L"LastCheckResult";
inline constexpr wchar_t kValueLastInstallTime[] = L"LastInstallTime";
inline constexpr wchar_t kValueLastInstallResult[] = L"LastInstallResult";
// Values of an update's subkey.
inline constexpr wchar_t kValueUpdateResult[] = L"Result";
inline constexpr wchar_t kValueUpdateTime[] = L"Time";
inline constexpr wchar_t kValueUpdateVersion[] = L"Version";

// After a failed installation the next automatic check comes at the latest this long after it.
inline constexpr std::int32_t kRetryAfterFailedInstallDays = 1;

// How one update of an installing run ended.
struct UpdateOutcome {
  std::wstring sectionName;
  Result result = kOk;
  std::wstring version;  // the version the catalogue gave, empty when none
};

// The user's own choice (an installer or the run cancelled), not a failure to retry soon.
bool IsUsersChoice(Result result);
// "NextUpdateCheck" after an installing run: the earlier of the stored time and now + 1 day when
// at least one update failed other than by the user's choice; empty when it stays as it is (also
// when no time is stored, which makes the next check due at once anyway).
std::optional<FileTime64> CheckBroughtForward(const std::vector<UpdateOutcome>& outcomes,
                                              const std::optional<FileTime64>& nextCheck, FileTime64 now);
// The subkey name of an update: its section name, with the backslashes a key name cannot hold
// replaced by "/".
std::wstring ResultsSubkeyName(const std::wstring& sectionName);

// Records the end of a check that read (or tried to read) the updates file.
void RecordCheckResult(const SettingsStore& store, Result result, FileTime64 now = CurrentUtcFileTime());

// Records an installing run. With `newRun` the update subkeys of the previous run go first; a host
// application that installs one update after another adds to the same run. The run's result and
// time are written either way, and a failure brings the next automatic check forward.
void RecordInstallResults(const SettingsStore& store, Result runResult, const std::vector<UpdateOutcome>& outcomes,
                          bool newRun = true, FileTime64 now = CurrentUtcFileTime());

// Applies the rule above to "NextUpdateCheck" for outcomes of an installation that ended at `failedAt`.
void BringCheckForward(const SettingsStore& store, const std::vector<UpdateOutcome>& outcomes, FileTime64 failedAt);
// A scheduled check writes its next check after the hand-over, and the temporary copy may have
// ended (and failed) before that: an installing run recorded since `since` keeps its earlier retry.
void KeepRetryOfFailedInstall(const SettingsStore& store, FileTime64 since);

}  // namespace updater
