#include "config/settings_store.h"

#include <climits>

#include "catalogue/ini_file.h"
#include "core/win_handles.h"

namespace updater {
namespace {

// The 32-bit program's registry view, so that this build and the shipped one see the same keys.
constexpr REGSAM kView = KEY_WOW64_32KEY;

// Opens (creating) the key with full access. A read that is refused full access (a standard user
// reading the machine hive) opens the existing key for reading instead, so that machine-wide
// values stay readable without administrative rights.
UniqueRegKey OpenStoreKey(HKEY hive, const std::wstring& path, bool forRead) {
  UniqueRegKey key;
  if (path.empty()) return key;
  LSTATUS status = ::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | kView,
                                     nullptr, key.Put(), nullptr);
  if (status == ERROR_SUCCESS) return key;
  key.Reset();
  if (forRead && status == ERROR_ACCESS_DENIED &&
      ::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | kView, key.Put()) != ERROR_SUCCESS)
    key.Reset();
  return key;
}

// Reads raw value bytes; nullopt when the key or the value is missing or unreadable.
std::optional<std::vector<BYTE>> ReadRaw(HKEY hive, const std::wstring& path, const std::wstring& name,
                                         DWORD* type) {
  UniqueRegKey key = OpenStoreKey(hive, path, true);
  if (!key) return std::nullopt;
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, type, nullptr, &size) != ERROR_SUCCESS)
      return std::nullopt;
    std::vector<BYTE> data(size);
    LSTATUS status = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, type, data.data(), &size);
    if (status == ERROR_MORE_DATA) continue;  // the value grew in between
    if (status != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return data;
  }
  return std::nullopt;
}

bool WriteRaw(HKEY hive, const std::wstring& path, const std::wstring& name, DWORD type, const void* data,
              DWORD size) {
  UniqueRegKey key = OpenStoreKey(hive, path, false);
  if (!key) return false;
  return ::RegSetValueExW(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

std::wstring Trimmed(const std::wstring& text) {
  size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return L"";
  size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
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
  }
  return L"";
}

std::optional<FileTime64> SettingsStore::ReadTime(SettingsKey kind, const std::wstring& name) const {
  DWORD type = 0;
  auto data = ReadRaw(hive_, KeyPath(kind), name, &type);
  if (!data || data->size() != sizeof(FileTime64) || (type != REG_BINARY && type != REG_QWORD)) return std::nullopt;
  FileTime64 time = 0;
  memcpy(&time, data->data(), sizeof(time));
  return time;
}

bool SettingsStore::WriteTime(SettingsKey kind, const std::wstring& name, FileTime64 time) const {
  return WriteRaw(hive_, KeyPath(kind), name, REG_BINARY, &time, sizeof(time));
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
  DWORD type = 0;
  auto data = ReadRaw(hive_, KeyPath(kind), name, &type);
  if (!data || type != REG_DWORD || data->size() != sizeof(DWORD)) return std::nullopt;
  DWORD number = 0;
  memcpy(&number, data->data(), sizeof(number));
  return number;
}

bool SettingsStore::WriteNumber(SettingsKey kind, const std::wstring& name, std::uint32_t number) const {
  DWORD data = number;
  return WriteRaw(hive_, KeyPath(kind), name, REG_DWORD, &data, sizeof(data));
}

std::optional<std::uint64_t> SettingsStore::ReadNumber64(SettingsKey kind, const std::wstring& name) const {
  DWORD type = 0;
  auto data = ReadRaw(hive_, KeyPath(kind), name, &type);
  if (!data || type != REG_QWORD || data->size() != sizeof(std::uint64_t)) return std::nullopt;
  std::uint64_t number = 0;
  memcpy(&number, data->data(), sizeof(number));
  return number;
}

bool SettingsStore::WriteNumber64(SettingsKey kind, const std::wstring& name, std::uint64_t number) const {
  return WriteRaw(hive_, KeyPath(kind), name, REG_QWORD, &number, sizeof(number));
}

std::optional<std::wstring> SettingsStore::ReadString(SettingsKey kind, const std::wstring& name) const {
  DWORD type = 0;
  auto data = ReadRaw(hive_, KeyPath(kind), name, &type);
  if (!data || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
  // Registry strings need not be terminated: take whole characters and stop at the first NUL.
  std::wstring text(data->size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) memcpy(text.data(), data->data(), text.size() * sizeof(wchar_t));
  size_t end = text.find(L'\0');
  if (end != std::wstring::npos) text.resize(end);
  return text;
}

bool SettingsStore::WriteString(SettingsKey kind, const std::wstring& name, const std::wstring& text) const {
  return WriteRaw(hive_, KeyPath(kind), name, REG_SZ, text.c_str(),
                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool SettingsStore::DeleteValue(SettingsKey kind, const std::wstring& name) const {
  std::wstring path = KeyPath(kind);
  if (path.empty()) return false;
  UniqueRegKey key;
  LSTATUS status = ::RegOpenKeyExW(hive_, path.c_str(), 0, KEY_SET_VALUE | kView, key.Put());
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) return false;
  status = ::RegDeleteValueW(key.Get(), name.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SettingsStore::DeleteKey(SettingsKey kind) const {
  std::wstring path = KeyPath(kind);
  if (path.empty()) return false;
  {
    UniqueRegKey key;
    LSTATUS status = ::RegOpenKeyExW(hive_, path.c_str(), 0, KEY_ALL_ACCESS | kView, key.Put());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    // Empties the key (subkeys and values); the key itself goes below.
    status = ::RegDeleteTreeW(key.Get(), nullptr);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return false;
  }
  LSTATUS status = ::RegDeleteKeyExW(hive_, path.c_str(), kView, 0);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

std::vector<std::wstring> SettingsStore::ValueNames(SettingsKey kind) const {
  std::vector<std::wstring> names;
  UniqueRegKey key = OpenStoreKey(hive_, KeyPath(kind), true);
  if (!key) return names;
  DWORD longest = 0;
  if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
    return names;
  std::vector<wchar_t> buffer(longest + 2);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(buffer.size());
    LSTATUS status =
        ::RegEnumValueW(key.Get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) {
      // A longer name appeared meanwhile: grow and read this index again.
      buffer.resize(buffer.size() * 2 + 256);
      --index;
      continue;
    }
    if (status != ERROR_SUCCESS) break;
    names.emplace_back(buffer.data(), length);
  }
  return names;
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

FileTime64 CurrentUtcFileTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<FileTime64>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
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
  std::wstring word = Trimmed(text);
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
