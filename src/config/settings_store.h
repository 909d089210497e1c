// The registry state of one application: preferences, the automatic-check schedule, downloaded
// installers and their locks, the updater copies that served it, and the publisher-message state,
// all under "Software\Velmora\Kestrune Updater".
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/registry.h"
#include "base/result_codes.h"
#include "base/utc_time.h"

namespace updater {

// The keys of the layout; the numbers are the kinds other parts store and pass around.
enum class SettingsKey : int {
  kSettings = 0,          // ...\<ID>\Settings
  kUpdates = 1,           // ...\<ID>\Updates
  kUpdateLocks = 2,       // ...\<ID>\Updates\Locks
  kApplication = 3,       // ...\<ID>
  kProductRoot = 4,       // Software\Velmora\Kestrune Updater
  kMessages = 5,          // ...\<ID>\Messages
  kMessageResources = 6,  // ...\<ID>\Messages\Resources
  kResults = 7,           // ...\<ID>\Results
};

inline constexpr wchar_t kProductRootKey[] = L"Software\\Velmora\\Kestrune Updater";
// Per-user key holding "ConfigFilePath", outside every application's keys.
inline constexpr wchar_t kGlobalSettingsKey[] = L"Software\\Velmora\\Kestrune Updater\\Settings";

// Value names of the "Settings" key.
inline constexpr wchar_t kValueAutoUpdatePolicy[] = L"AutoUpdatePolicy";
inline constexpr wchar_t kValueNoAutoUpdateCheck[] = L"NoAutoUpdateCheck";
inline constexpr wchar_t kValueNextUpdateCheck[] = L"NextUpdateCheck";
inline constexpr wchar_t kValueLastModified[] = L"LastModified";
inline constexpr wchar_t kValueCheckFrequency[] = L"CheckFrequency";
inline constexpr wchar_t kValueRetryAttempts[] = L"RetryAttempts";
inline constexpr wchar_t kValueLogLevel[] = L"LogLevel";
inline constexpr wchar_t kValueProxy[] = L"Proxy";
inline constexpr wchar_t kValueDownloadsFolder[] = L"DownloadsFolder";
inline constexpr wchar_t kValueConfigFilePath[] = L"ConfigFilePath";
// The updates file's entity tag, sent back as "If-None-Match" beside "LastModified".
inline constexpr wchar_t kValueETag[] = L"ETag";
// A busy server's wish: no check before this file time (only a person asking still asks).
inline constexpr wchar_t kValueNotBefore[] = L"NotBefore";
// This machine's staged-rollout bucket for the application, 0 to 9999, drawn once.
inline constexpr wchar_t kValueRolloutBucket[] = L"RolloutBucket";
// The signed updates configuration file last accepted: its serial (64-bit number) and SHA-256.
inline constexpr wchar_t kValueUpdatesFileSerial[] = L"UpdatesFileSerial";
inline constexpr wchar_t kValueUpdatesFileDigest[] = L"UpdatesFileDigest";

// "AutoUpdatePolicy" values.
enum AutoUpdatePolicy : std::uint32_t {
  kPolicyDisable = 0,
  kPolicyPrompt = 1,
  kPolicyAutoAll = 2,
  kPolicyAutoCritical = 3,
};


class SettingsStore {
 public:
  // A store over the given hive (the current user's by default) for the application "ID".
  explicit SettingsStore(HKEY hive = HKEY_CURRENT_USER, std::wstring id = L"");

  HKEY Hive() const { return hive_; }
  const std::wstring& Id() const { return id_; }
  void SetId(std::wstring id) { id_ = std::move(id); }

  // The key of a kind below the hive; empty while the store has no "ID" (then every access fails).
  std::wstring KeyPath(SettingsKey kind) const;

  std::optional<FileTime64> ReadTime(SettingsKey kind, const std::wstring& name) const;
  bool WriteTime(SettingsKey kind, const std::wstring& name, FileTime64 time) const;
  std::optional<bool> ReadFlag(SettingsKey kind, const std::wstring& name) const;
  bool WriteFlag(SettingsKey kind, const std::wstring& name, bool flag) const;
  std::optional<std::uint32_t> ReadNumber(SettingsKey kind, const std::wstring& name) const;
  bool WriteNumber(SettingsKey kind, const std::wstring& name, std::uint32_t number) const;
  // 64-bit numbers (registry type REG_QWORD).
  std::optional<std::uint64_t> ReadNumber64(SettingsKey kind, const std::wstring& name) const;
  bool WriteNumber64(SettingsKey kind, const std::wstring& name, std::uint64_t number) const;
  std::optional<std::wstring> ReadString(SettingsKey kind, const std::wstring& name) const;
  bool WriteString(SettingsKey kind, const std::wstring& name, const std::wstring& text) const;

  // True when the value (key) is gone afterwards, also when it never existed.
  bool DeleteValue(SettingsKey kind, const std::wstring& name) const;
  // Deletes the key of the kind with everything below it.
  bool DeleteKey(SettingsKey kind) const;
  // Deletes the key of the kind only when it has no subkeys left (its values go with it).
  bool DeleteKeyWithoutSubkeys(SettingsKey kind) const;
  std::vector<std::wstring> ValueNames(SettingsKey kind) const;
  // The key of the kind itself (created when missing), for what lies below it.
  RegistryKey OpenKey(SettingsKey kind) const;

 private:
  HKEY hive_;
  std::wstring id_;
};

// ---- Automatic-check schedule ----

// What the due test reads from the "Settings" key; absent values stay empty.
struct CheckScheduleState {
  std::optional<std::uint32_t> autoUpdatePolicy;
  std::optional<bool> noAutoUpdateCheck;
  std::optional<FileTime64> nextUpdateCheck;
};

struct CheckDueDecision {
  bool due = false;
  bool disabledByPolicy = false;
  // 0 when due, else 0xE0000019 (policy Disable) or 0xE000001A (not yet, or checks turned off).
  Result ResultCode() const;
};

// The due rule over stored values and the current UTC file time.
CheckDueDecision DecideCheckDue(const CheckScheduleState& state, FileTime64 nowUtc);
// The time `days` days after `nowUtc`; saturates at the ends of the file-time range.
FileTime64 NextCheckTime(FileTime64 nowUtc, std::int32_t days);

CheckScheduleState ReadCheckSchedule(const SettingsStore& store);
CheckDueDecision IsCheckDue(const SettingsStore& store, FileTime64 nowUtc = CurrentUtcFileTime());
// Writes "NextUpdateCheck" = now + days.
bool ScheduleNextCheck(const SettingsStore& store, std::int32_t days, FileTime64 nowUtc = CurrentUtcFileTime());

// ---- "/set" ----

// Client flag that forbids turning automatic checks off (the "Flags" word "NoDisableAutoCheck").
inline constexpr std::uint32_t kClientFlagNoDisableAutoCheck = 1;

// Parses "autoupdatepolicy" text: exactly one of Disable, Prompt, AutoAll, AutoCritical (blanks around
// it ignored, case counts).
std::optional<std::uint32_t> ParseAutoUpdatePolicy(const std::wstring& text);
// "LogLevel" words Off, Error, Info, Debug, Trace joined by "|"; the mask up to the first unknown word.
std::uint32_t ParseLogLevelWords(const std::wstring& text);
// "retryattempts" text: optional "-", digits up to the first non-digit; no digits give 0.
std::int32_t ParseRetryAttempts(const std::wstring& text);

// Stores one remembered credential pair for "rememberpassword"; returns the run's result.
using RememberCredentialsHook = std::function<Result(const std::wstring& userName, const std::wstring& password)>;

// Applies one "/set" preference. `downloadsFolderForRun` (when given) receives the new downloads
// folder so that the run uses it at once. Without a credentials hook "rememberpassword" gives
// 0xE0000006.
Result ApplySetCommand(const SettingsStore& store, std::uint32_t clientFlags, const std::wstring& name,
                       const std::wstring& value, const std::wstring& value2,
                       std::wstring* downloadsFolderForRun = nullptr,
                       RememberCredentialsHook rememberCredentials = nullptr);

}  // namespace updater
