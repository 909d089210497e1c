#include "config/settings_store.h"

#include <climits>

#include "base/ini_file.h"
#include "base/registry.h"
#include "base/text_util.h"

namespace updater {
namespace {

// The 32-bit program's registry view, so that this build and the shipped one see the same keys.
constexpr RegistryView kView = RegistryView::k32;

// Opens (creating) the key with full access. A read that is refused full access (a standard user
// reading the machine hive) opens the existing key for reading instead, so that machine-wide
// values stay readable without administrative rights.
RegistryKey OpenStoreKey(HKEY hive, const std::wstring& path, bool forRead) {
  if (path.empty()) return {};
  LSTATUS status = ERROR_SUCCESS;
  RegistryKey key = RegistryKey::Create(hive, path, kView, KEY_ALL_ACCESS, &status);
  if (key || !forRead || status != ERROR_ACCESS_DENIED) return key;
  return RegistryKey::Open(hive, path, kView, KEY_READ);
}

}  // namespace

SettingsStore::SettingsStore(HKEY hive, std::wstring id) : hive_(hive), id_(std::move(id)) {}

std::wstring SettingsStore::KeyPath(SettingsKey kind) const {
  if (id_.empty()) return L"";
  const std::wstring application = std::wstring(kProductRootKey) + L"\\" + id_;
  switch (kind) {
    case SettingsKey::kSettings:
      return application + L"\\Settings";
    case SettingsKey::kUpdates:
      return application + L"\\Updates";
    case SettingsKey::kUpdateLocks:
      return application + L"\\Updates\\Locks";
    case SettingsKey::kApplication:
      return application;
    case SettingsKey::kProductRoot:
      return kProductRootKey;
    case SettingsKey::kMessages:
      return application + L"\\Messages";
    case SettingsKey::kMessageResources:
      return application + L"\\Messages\\Resources";
    case SettingsKey::kResults:
      return application + L"\\Results";
  }
  return L"";
}

std::optional<FileTime64> SettingsStore::ReadTime(SettingsKey kind, const std::wstring& name) const {
  DWORD type = 0;
  auto data = OpenStoreKey(hive_, KeyPath(kind), true).ReadRaw(name, type);
  if (!data || data->size() != sizeof(FileTime64) || (type != REG_BINARY && type != REG_QWORD)) return std::nullopt;
  FileTime64 time = 0;
  memcpy(&time, data->data(), sizeof(time));
  return time;
}

bool SettingsStore::WriteTime(SettingsKey kind, const std::wstring& name, FileTime64 time) const {
  return OpenStoreKey(hive_, KeyPath(kind), false).WriteRaw(name, REG_BINARY, &time, sizeof(time)) == ERROR_SUCCESS;
}

std::optional<bool> SettingsStore::ReadFlag(SettingsKey kind, const std::wstring& name) const {
  auto number = ReadNumber(kind, name);
  if (!number) return std::nullopt;
  return *number != 0;
}

bool SettingsStore::WriteFlag(SettingsKey kind, const std::wstring& name, bool flag) const {
  return WriteNumber(kind, name, flag ? 1u : 0u);
}

std::optional<std::uint32_t> SettingsStore::ReadNumber(SettingsKey kind, const std::wstring& name) const {
  return OpenStoreKey(hive_, KeyPath(kind), true).ReadDword(name);
}

bool SettingsStore::WriteNumber(SettingsKey kind, const std::wstring& name, std::uint32_t number) const {
  return OpenStoreKey(hive_, KeyPath(kind), false).WriteDword(name, number) == ERROR_SUCCESS;
}

std::optional<std::uint64_t> SettingsStore::ReadNumber64(SettingsKey kind, const std::wstring& name) const {
  return OpenStoreKey(hive_, KeyPath(kind), true).ReadQword(name);
}

bool SettingsStore::WriteNumber64(SettingsKey kind, const std::wstring& name, std::uint64_t number) const {
  return OpenStoreKey(hive_, KeyPath(kind), false).WriteQword(name, number) == ERROR_SUCCESS;
}

std::optional<std::wstring> SettingsStore::ReadString(SettingsKey kind, const std::wstring& name) const {
  return OpenStoreKey(hive_, KeyPath(kind), true).ReadString(name);
}

bool SettingsStore::WriteString(SettingsKey kind, const std::wstring& name, const std::wstring& text) const {
  return OpenStoreKey(hive_, KeyPath(kind), false).WriteString(name, text) == ERROR_SUCCESS;
}

bool SettingsStore::DeleteValue(SettingsKey kind, const std::wstring& name) const {
  std::wstring path = KeyPath(kind);
  if (path.empty()) return false;
  LSTATUS status = ERROR_SUCCESS;
  RegistryKey key = RegistryKey::Open(hive_, path, kView, KEY_SET_VALUE, &status);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (!key) return false;
  status = key.DeleteValue(name);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SettingsStore::DeleteKey(SettingsKey kind) const {
  std::wstring path = KeyPath(kind);
  if (path.empty()) return false;
  LSTATUS status = DeleteRegistryTree(hive_, path, kView);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SettingsStore::DeleteKeyWithoutSubkeys(SettingsKey kind) const {
  std::wstring path = KeyPath(kind);
  return !path.empty() && DeleteRegistryKey(hive_, path, kView) == ERROR_SUCCESS;
}

RegistryKey SettingsStore::OpenKey(SettingsKey kind) const { return OpenStoreKey(hive_, KeyPath(kind), false); }

std::vector<std::wstring> SettingsStore::ValueNames(SettingsKey kind) const {
  return OpenStoreKey(hive_, KeyPath(kind), true).ValueNames();
}

// ---- Schedule ----

Result CheckDueDecision::ResultCode() const {
  if (due) return kOk;
  return disabledByPolicy ? E_UPD_AUTO_CHECK_DISABLED : E_UPD_CHECK_NOT_DUE;
}

CheckDueDecision DecideCheckDue(const CheckScheduleState& state, FileTime64 nowUtc) {
  CheckDueDecision decision;
  if (state.autoUpdatePolicy) {
    if (*state.autoUpdatePolicy == kPolicyDisable) {
      decision.disabledByPolicy = true;
      return decision;
    }
  } else if (state.noAutoUpdateCheck.value_or(false)) {
    return decision;
  }
  decision.due = !state.nextUpdateCheck || nowUtc >= *state.nextUpdateCheck;
  return decision;
}

FileTime64 NextCheckTime(FileTime64 nowUtc, std::int32_t days) {
  // A frequency far out of range must not wrap round into the past (or the future); the largest
  // result is the largest file time the system converts.
  if (nowUtc > kLatestFileTime) nowUtc = kLatestFileTime;
  const FileTime64 dayCount = days >= 0 ? static_cast<FileTime64>(days) : static_cast<FileTime64>(-static_cast<std::int64_t>(days));
  if (dayCount > kLatestFileTime / kFileTimeTicksPerDay) return days >= 0 ? kLatestFileTime : 0;
  const FileTime64 step = dayCount * kFileTimeTicksPerDay;
  if (days >= 0) return step > kLatestFileTime - nowUtc ? kLatestFileTime : nowUtc + step;
  return step > nowUtc ? 0 : nowUtc - step;
}

CheckScheduleState ReadCheckSchedule(const SettingsStore& store) {
  CheckScheduleState state;
  state.autoUpdatePolicy = store.ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy);
  if (!state.autoUpdatePolicy) state.noAutoUpdateCheck = store.ReadFlag(SettingsKey::kSettings, kValueNoAutoUpdateCheck);
  state.nextUpdateCheck = store.ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck);
  return state;
}

CheckDueDecision IsCheckDue(const SettingsStore& store, FileTime64 nowUtc) {
  return DecideCheckDue(ReadCheckSchedule(store), nowUtc);
}

bool ScheduleNextCheck(const SettingsStore& store, std::int32_t days, FileTime64 nowUtc) {
  return store.WriteTime(SettingsKey::kSettings, kValueNextUpdateCheck, NextCheckTime(nowUtc, days));
}

// ---- "/set" ----

std::optional<std::uint32_t> ParseAutoUpdatePolicy(const std::wstring& text) {
  static const struct {
    const wchar_t* word;
    std::uint32_t policy;
  } kWords[] = {{L"Disable", kPolicyDisable},
                {L"Prompt", kPolicyPrompt},
                {L"AutoAll", kPolicyAutoAll},
                {L"AutoCritical", kPolicyAutoCritical}};
  std::wstring word = Trim(text, kSpacesAndTabs);
  for (const auto& entry : kWords)
    if (word == entry.word) return entry.policy;
  return std::nullopt;
}

std::uint32_t ParseLogLevelWords(const std::wstring& text) {
  FlagSet words({{L"Off", 0}, {L"Error", 1}, {L"Info", 2}, {L"Debug", 4}, {L"Trace", 8}});
  words.Parse(text);
  return words.Value();
}

std::int32_t ParseRetryAttempts(const std::wstring& text) {
  size_t position = 0;
  bool negative = false;
  if (position < text.size() && text[position] == L'-') {
    negative = true;
    ++position;
  }
  std::int64_t number = 0;
  for (; position < text.size() && text[position] >= L'0' && text[position] <= L'9'; ++position) {
    number = number * 10 + (text[position] - L'0');
    if (number > static_cast<std::int64_t>(INT_MAX) + 1) number = static_cast<std::int64_t>(INT_MAX) + 1;
  }
  if (negative) number = -number;
  if (number > INT_MAX) number = INT_MAX;
  return static_cast<std::int32_t>(number);
}

Result ApplySetCommand(const SettingsStore& store, std::uint32_t clientFlags, const std::wstring& name,
                       const std::wstring& value, const std::wstring& value2, std::wstring* downloadsFolderForRun,
                       RememberCredentialsHook rememberCredentials) {
  if (name == L"retryattempts") {
    store.WriteNumber(SettingsKey::kSettings, kValueRetryAttempts,
                      static_cast<std::uint32_t>(ParseRetryAttempts(value)));
    return kOk;
  }
  if (name == L"rememberpassword") {
    if (!rememberCredentials) return E_UPD_COMMAND_LINE;
    return rememberCredentials(value, value2);
  }
  if (name == L"loglevel") {
    store.WriteNumber(SettingsKey::kSettings, kValueLogLevel, ParseLogLevelWords(value));
    return kOk;
  }
  if (name == L"autoupdatepolicy") {
    std::optional<std::uint32_t> policy = ParseAutoUpdatePolicy(value);
    if (!policy) return E_UPD_COMMAND_LINE;
    if (*policy == kPolicyDisable && (clientFlags & kClientFlagNoDisableAutoCheck)) return E_UPD_POLICY_LOCKED;
    store.WriteNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy, *policy);
    return kOk;
  }
  if (name == L"proxy") {
    if (value.empty())
      store.DeleteValue(SettingsKey::kSettings, kValueProxy);
    else
      store.WriteString(SettingsKey::kSettings, kValueProxy, value);
    return kOk;
  }
  if (name == L"downloadsfolder") {
    store.WriteString(SettingsKey::kSettings, kValueDownloadsFolder, value);
    if (downloadsFolderForRun) *downloadsFolderForRun = value;
    return kOk;
  }
  return E_UPD_COMMAND_LINE;
}

}  // namespace updater
