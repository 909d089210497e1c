#include "base/registry.h"

#include <cstring>

namespace updater {
namespace {

constexpr int kReadAttempts = 4;

REGSAM ViewFlags(RegistryView view) { return static_cast<REGSAM>(view); }

}  // namespace

RegistryKey RegistryKey::Open(HKEY root, const std::wstring& path, RegistryView view, REGSAM access,
                              LSTATUS* status) {
  HKEY key = nullptr;
  LSTATUS opened = ::RegOpenKeyExW(root, path.c_str(), 0, access | ViewFlags(view), &key);
  if (status) *status = opened;
  return opened == ERROR_SUCCESS ? RegistryKey(key) : RegistryKey();
}

RegistryKey RegistryKey::Create(HKEY root, const std::wstring& path, RegistryView view, REGSAM access,
                                LSTATUS* status) {
  HKEY key = nullptr;
  LSTATUS created = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      access | ViewFlags(view), nullptr, &key, nullptr);
  if (status) *status = created;
  return created == ERROR_SUCCESS ? RegistryKey(key) : RegistryKey();
}

std::optional<std::vector<BYTE>> RegistryKey::ReadRaw(const std::wstring& name, DWORD& type) const {
  if (!key_) return std::nullopt;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    DWORD size = 0;
    if (::RegQueryValueExW(key_.Get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return std::nullopt;
    std::vector<BYTE> data(size);
    LSTATUS status = ::RegQueryValueExW(key_.Get(), name.c_str(), nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA) continue;  // the value grew in between
    if (status != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return data;
  }
  return std::nullopt;
}

std::optional<std::wstring> RegistryKey::ReadString(const std::wstring& name) const {
  DWORD type = 0;
  auto data = ReadRaw(name, type);
  if (!data || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
  // Registry strings need not be terminated: take whole characters and stop at the first NUL.
  std::wstring text(data->size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), data->data(), text.size() * sizeof(wchar_t));
  size_t end = text.find(L'\0');
  if (end != std::wstring::npos) text.resize(end);
  return text;
}

std::optional<std::uint32_t> RegistryKey::ReadDword(const std::wstring& name) const {
  DWORD type = 0;
  auto data = ReadRaw(name, type);
  if (!data || type != REG_DWORD || data->size() != sizeof(std::uint32_t)) return std::nullopt;
  std::uint32_t number = 0;
  std::memcpy(&number, data->data(), sizeof(number));
  return number;
}

std::optional<std::uint64_t> RegistryKey::ReadQword(const std::wstring& name) const {
  DWORD type = 0;
  auto data = ReadRaw(name, type);
  if (!data || type != REG_QWORD || data->size() != sizeof(std::uint64_t)) return std::nullopt;
  std::uint64_t number = 0;
  std::memcpy(&number, data->data(), sizeof(number));
  return number;
}

LSTATUS RegistryKey::WriteRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  return ::RegSetValueExW(key_.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

LSTATUS RegistryKey::WriteString(const std::wstring& name, const std::wstring& text) const {
  return WriteRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LSTATUS RegistryKey::WriteDword(const std::wstring& name, std::uint32_t number) const {
  return WriteRaw(name, REG_DWORD, &number, sizeof(number));
}

LSTATUS RegistryKey::WriteQword(const std::wstring& name, std::uint64_t number) const {
  return WriteRaw(name, REG_QWORD, &number, sizeof(number));
}

LSTATUS RegistryKey::DeleteValue(const std::wstring& name) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  return ::RegDeleteValueW(key_.Get(), name.c_str());
}

std::vector<std::wstring> RegistryKey::ValueNames() const {
  std::vector<std::wstring> names;
  if (!key_) return names;
  DWORD longest = 0;
  if (::RegQueryInfoKeyW(key_.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
    return names;
  std::vector<wchar_t> buffer(longest + 2);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(buffer.size());
    LSTATUS status = ::RegEnumValueW(key_.Get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
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

std::vector<std::wstring> RegistryKey::SubkeyNames() const {
  std::vector<std::wstring> names;
  if (!key_) return names;
  // Key names are at most 255 characters.
  wchar_t buffer[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (::RegEnumKeyExW(key_.Get(), index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(buffer, length);
  }
  return names;
}

LSTATUS DeleteRegistryKey(HKEY root, const std::wstring& path, RegistryView view) {
  return ::RegDeleteKeyExW(root, path.c_str(), ViewFlags(view), 0);
}

LSTATUS DeleteRegistryTree(HKEY root, const std::wstring& path, RegistryView view) {
  {
    LSTATUS status = ERROR_SUCCESS;
    RegistryKey key = RegistryKey::Open(root, path, view, KEY_ALL_ACCESS, &status);
    if (!key) return status;
    // Empties the key (subkeys and values); the key itself goes below.
    status = ::RegDeleteTreeW(key.Get(), nullptr);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
  }
  return DeleteRegistryKey(root, path, view);
}

}  // namespace updater
