// Whether an update is already installed on this machine, and the facts about the running Windows
// that the selection rules need. Detection never fails loudly: whatever cannot be read counts as
// not installed, which makes the update count as needed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/registry.h"
#include "catalogue/update_record.h"
#include "catalogue/version.h"

namespace updater {

struct WindowsFacts {
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t build = 0;
  std::int32_t servicePack = 0;
  std::int32_t releaseId = 0;
  bool is64Bit = false;  // a 64-bit Windows
};

// What the facts are made of: the values of "Software\Microsoft\Windows NT\CurrentVersion".
struct WindowsVersionValues {
  std::optional<std::uint32_t> currentMajorVersionNumber;
  std::optional<std::uint32_t> currentMinorVersionNumber;
  std::optional<std::wstring> currentVersion;      // "6.1" on systems before Windows 10
  std::optional<std::wstring> currentBuildNumber;
  std::optional<std::wstring> releaseId;
  std::optional<std::wstring> csdVersion;          // "Service Pack 1"
};

// The rules over the values: the "x.y" fallback, Windows 11 from build 22000 on, the service pack
// digit. Pure, for tests.
WindowsFacts WindowsFactsFrom(const WindowsVersionValues& values, bool is64Bit);
// Reads the registry (64-bit view) and the process's WOW64 state now.
WindowsFacts ReadWindowsFacts();
// The facts of this process, read once on first use (thread-safe).
const WindowsFacts& GetWindowsFacts();
// major.minor.build.0, the version the update bounds are compared with.
VersionNumber WindowsVersionOf(const WindowsFacts& facts);

// "ROOT\subkey\value": the root of the exact-case table, the subkey, the value name (empty for the
// key's default value) and, for "HKUD", the flag that asks the current user first, then the machine.
struct RegistryKeyParts {
  HKEY root = nullptr;
  std::wstring subkey;
  std::wstring valueName;
  bool userThenMachine = false;
};
bool SplitRegistryKey(const std::wstring& text, RegistryKeyParts& parts);

// The processor architecture of an app package identity from the publisher's "AppIdArch" text:
// x86 0, x64 9, neutral 11 (case ignored); anything else is x86.
std::uint32_t PackageArchitecture(const std::wstring& text);

// A registry value as text: strings as they are (the first string of a multi-string), numbers in
// decimal; nullopt when the value cannot be read.
std::optional<std::wstring> ReadRegistryText(const RegistryKey& key, const std::wstring& valueName);

// The version of an executable's version resource; 0.0.0.0 when it has none.
VersionNumber ReadFileVersion(const std::wstring& path);

// The criterion a detection applies, as its log line shows it: ">= 2.1", "= 2.1, size 5000",
// "exists".
std::wstring DetectionCriterionText(const UpdateRecord& record);

// The answer for one update, from its detection kind and criteria. With `explanation`, also what was
// looked at and found, for the log: the kind, the key (with its registry view) or path, the value
// or file facts found (or "missing"), the criterion and the answer.
bool IsInstalled(const UpdateRecord& record, std::wstring* explanation = nullptr);

}  // namespace updater
