// The registry: one key owner through which every registry read and write of the updater goes,
// with the view (32-bit, 64-bit or the program's own) always stated.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/win_handles.h"

namespace updater {

// The view of a key: the 32-bit program's view (what the shipped updater sees wherever it runs),
// the 64-bit view, or the view of the running program.
enum class RegistryView : REGSAM { kNative = 0, k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY };

class RegistryKey {
 public:
  RegistryKey() = default;
  // An existing key; invalid (with `status` set when given) when it cannot be opened.
  static RegistryKey Open(HKEY root, const std::wstring& path, RegistryView view, REGSAM access = KEY_READ,
                          LSTATUS* status = nullptr);
  // The key, created when it does not exist.
  static RegistryKey Create(HKEY root, const std::wstring& path, RegistryView view, REGSAM access,
                            LSTATUS* status = nullptr);

  explicit operator bool() const { return static_cast<bool>(key_); }
  HKEY Get() const { return key_.Get(); }

  // A value's bytes and type ("" names the default value); nullopt when it is missing or cannot be
  // read. A value that grows while it is read is read again.
  std::optional<std::vector<BYTE>> ReadRaw(const std::wstring& name, DWORD& type) const;
  // REG_SZ or REG_EXPAND_SZ (not expanded), up to the first NUL; a string without a terminator is
  // taken whole.
  std::optional<std::wstring> ReadString(const std::wstring& name) const;
  std::optional<std::uint32_t> ReadDword(const std::wstring& name) const;
  std::optional<std::uint64_t> ReadQword(const std::wstring& name) const;

  LSTATUS WriteRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) const;
  LSTATUS WriteString(const std::wstring& name, const std::wstring& text) const;
  LSTATUS WriteDword(const std::wstring& name, std::uint32_t number) const;
  LSTATUS WriteQword(const std::wstring& name, std::uint64_t number) const;
  LSTATUS DeleteValue(const std::wstring& name) const;
  // Every value name of the key, in the registry's order.
  std::vector<std::wstring> ValueNames() const;
  // Every subkey name of the key, in the registry's order.
  std::vector<std::wstring> SubkeyNames() const;

 private:
  explicit RegistryKey(HKEY key) : key_(key) {}
  UniqueRegKey key_;
};

// Deletes the key when it has no subkeys (its values go with it).
LSTATUS DeleteRegistryKey(HKEY root, const std::wstring& path, RegistryView view);
// Deletes the key with everything below it.
LSTATUS DeleteRegistryTree(HKEY root, const std::wstring& path, RegistryView view);

}  // namespace updater
