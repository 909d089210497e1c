// Helpers for tests that work on the real registry of the test prefix: a unique application ID per
// test whose keys are removed again afterwards.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "config/settings_store.h"

namespace updater::testing {

inline std::wstring UniqueApplicationId(const wchar_t* purpose) {
  static std::atomic<unsigned> counter{0};
  return std::wstring(L"UnitTest-") + purpose + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(counter++);
}

// Removes the application's keys (and everything below them) in the given hive when it goes.
class ScopedApplicationKeys {
 public:
  ScopedApplicationKeys(HKEY hive, std::wstring id) : store_(hive, std::move(id)) { store_.DeleteKey(SettingsKey::kApplication); }
  ~ScopedApplicationKeys() { store_.DeleteKey(SettingsKey::kApplication); }
  ScopedApplicationKeys(const ScopedApplicationKeys&) = delete;
  ScopedApplicationKeys& operator=(const ScopedApplicationKeys&) = delete;

 private:
  SettingsStore store_;
};

// Raw access in the same registry view as the store, to check what really lies in the registry.
inline bool RawValue(HKEY hive, const std::wstring& path, const std::wstring& name, DWORD* type, std::wstring* bytesOut) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
  BYTE data[512];
  DWORD size = sizeof(data);
  LSTATUS status = ::RegQueryValueExW(key, name.c_str(), nullptr, type, data, &size);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) return false;
  if (bytesOut) {
    bytesOut->clear();
    for (DWORD i = 0; i < size; ++i) bytesOut->push_back(static_cast<wchar_t>(data[i]));
  }
  return true;
}

inline bool KeyExists(HKEY hive, const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

}  // namespace updater::testing
