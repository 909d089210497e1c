#include "catalogue/detection.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>
#include <cwctype>
#include <vector>

#include "base/logger.h"
#include "base/process.h"
#include "base/text_util.h"
#include "base/win_handles.h"

namespace updater {
namespace {

constexpr wchar_t kCurrentVersionKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::int32_t kFirstWindows11Build = 22000;
// A wildcard path is matched against at most this many directory entries, so that a pattern such
// as "C:\Windows\System32\*" cannot keep a check busy.
constexpr int kMaxWildcardMatches = 256;
// A registry value that keeps changing size between the size query and the read is given up.

bool IsAbsolute(const std::wstring& path) {
  return (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') || (path.size() >= 2 && path[1] == L':');
}

std::int32_t TextToNumber(const std::wstring& text) {
  // Decimal digits from the start; anything else ends the number (no digits give 0).
  std::int64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') break;
    value = value * 10 + (c - L'0');
    if (value > 0x7FFFFFFF) return 0x7FFFFFFF;
  }
  return static_cast<std::int32_t>(value);
}

bool RunsOn64BitWindows() {
#ifdef _WIN64
  // A 64-bit build of the updater (used where only 64-bit programs run) is on a 64-bit Windows.
  return true;
#else
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto isWow64Process =
      kernel ? reinterpret_cast<IsWow64ProcessFn>(::GetProcAddress(kernel, "IsWow64Process")) : nullptr;
  BOOL wow64 = FALSE;
  return isWow64Process && isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
}

// The view of the registry a detection reads: the 64-bit one for "Sys64" updates, else the one a
// 32-bit program sees.
RegistryView DetectionView(const UpdateRecord& record) {
  return record.HasFlag(kUpdateSys64) ? RegistryView::k64 : RegistryView::k32;
}

VersionNumber ParseOrZero(const std::wstring& text) {
  VersionNumber version;
  if (!ParseVersion(text, version)) version = VersionNumber{};
  return version;
}

bool FileMatchesCriteria(const UpdateRecord& record, const std::wstring& path) {
  if ((record.criteria & kCriterionVersion) != 0 &&
      !CompareForDetection(ReadFileVersion(path), record.versionOperator, record.Version))
    return false;
  if ((record.criteria & kCriterionFileSize) == 0) return true;
  if (record.FileSize == 0) return false;
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD high = 0;
  DWORD low = ::GetFileSize(file.Get(), &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return false;
  return low == static_cast<std::uint32_t>(record.FileSize);
}

bool HasWildcard(const std::wstring& name) { return name.find_first_of(L"*?") != std::wstring::npos; }

// FilePath: the file search decides existence. Wildcards ("*", "?") are supported in the file name
// only (the system's search matches no others): the update is installed when one of the matching
// entries meets the version and size criteria. A "\\?\" prefix is not a wildcard.
bool IsFileInstalled(const UpdateRecord& record) {
  const std::wstring& path = record.detectionTarget;
  if (record.expansionError != 0 || !IsAbsolute(path)) return false;
  size_t slash = path.find_last_of(L"\\/");
  std::wstring folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);

  WIN32_FIND_DATAW found{};
  UniqueFind search(::FindFirstFileW(path.c_str(), &found));
  if (!search) return false;
  if (!HasWildcard(name)) return FileMatchesCriteria(record, path);
  int examined = 0;
  do {
    std::wstring entry = found.cFileName;
    if (entry == L"." || entry == L"..") continue;
    if (FileMatchesCriteria(record, folder + entry)) return true;
  } while (++examined < kMaxWildcardMatches && ::FindNextFileW(search.Get(), &found));
  return false;
}

bool ValueSatisfies(const UpdateRecord& record, const RegistryKey& key, const std::wstring& valueName) {
  std::wstring text = ReadRegistryText(key, valueName).value_or(std::wstring());
  return CompareForDetection(ParseOrZero(text), record.versionOperator, record.Version);
}

bool IsRegistryInstalled(const UpdateRecord& record) {
  RegistryKeyParts parts;
  if (!SplitRegistryKey(record.detectionTarget, parts)) return false;
  RegistryView view = DetectionView(record);
  if (parts.userThenMachine) {
    RegistryKey user = RegistryKey::Open(HKEY_CURRENT_USER, parts.subkey, view);
    RegistryKey machine = RegistryKey::Open(HKEY_LOCAL_MACHINE, parts.subkey, view);
    if (!user && !machine) return false;
    if ((record.criteria & kCriterionVersion) == 0) return true;
    if (user && ValueSatisfies(record, user, parts.valueName)) return true;
    return machine && ValueSatisfies(record, machine, parts.valueName);
  }
  RegistryKey key = RegistryKey::Open(parts.root, parts.subkey, view);
  if (!key) return false;
  return ValueSatisfies(record, key, parts.valueName);
}

// CustomDetection: the publisher's program answers through its exit code, non-zero for installed.
// Whether it may run at all was decided when the updates configuration file was read (it must be
// signed like the updater unless the update allows otherwise).
bool IsCustomDetectionInstalled(const UpdateRecord& record) {
  if (record.expansionError != 0 || record.detectionTarget.empty()) return false;
  ShellOpen open;
  open.file = record.detectionTarget;
  open.parameters = record.CustomDetectionParams;
  open.show = SW_HIDE;
  open.waitForStart = true;
  UniqueHandle process;
  Result started = OpenWithShell(open, &process);
  if (started != kOk) {
    LogFormat(kLogDebug, L"Custom detection program %ls could not be started: %lu", record.detectionTarget.c_str(),
              static_cast<unsigned long>(started));
    return false;
  }
  if (!process) return false;
  DWORD exitCode = 0;
  if (WaitForExit(process.Get(), &exitCode) != kOk) return false;
  LogFormat(kLogDebug, L"Custom detection program %ls exited with %lu", record.detectionTarget.c_str(), exitCode);
  return exitCode != 0;
}

// The package identity as GetPackagePath takes it.
struct PackageIdentity {
  UINT32 reserved;
  UINT32 processorArchitecture;
  union {
    UINT64 whole;
    struct {
      USHORT revision;
      USHORT build;
      USHORT minor;
      USHORT major;
    } parts;
  } version;
  PWSTR name;
  PWSTR publisher;
  PWSTR resourceId;
  PWSTR publisherId;
};
using GetPackagePathFn = LONG(WINAPI*)(const PackageIdentity*, const UINT32, UINT32*, PWSTR);

PWSTR OptionalText(std::wstring& text) { return text.empty() ? nullptr : text.data(); }

bool IsAppPackageInstalled(const UpdateRecord& record) {
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  // Looked up at run time: Windows versions before app packages do not have it.
  auto getPackagePath = kernel ? reinterpret_cast<GetPackagePathFn>(::GetProcAddress(kernel, "GetPackagePath")) : nullptr;
  if (!getPackagePath) return false;

  std::wstring name = record.AppIdName;
  std::wstring resourceId = record.AppIdResourceId;
  std::wstring publisherId = record.AppIdPublisherId;
  PackageIdentity identity{};
  identity.processorArchitecture = PackageArchitecture(record.AppIdArch);
  identity.version.parts.major = static_cast<USHORT>(record.Version.parts[0]);
  identity.version.parts.minor = static_cast<USHORT>(record.Version.parts[1]);
  identity.version.parts.build = static_cast<USHORT>(record.Version.parts[2]);
  identity.version.parts.revision = static_cast<USHORT>(record.Version.parts[3]);
  identity.name = name.data();
  identity.resourceId = OptionalText(resourceId);
  identity.publisherId = OptionalText(publisherId);

  std::vector<wchar_t> buffer(MAX_PATH);
  UINT32 length = static_cast<UINT32>(buffer.size());
  LONG status = getPackagePath(&identity, 0, &length, buffer.data());
  if (status == ERROR_INSUFFICIENT_BUFFER && length > 0 && length < 0x8000) {
    buffer.assign(length, L'\0');
    status = getPackagePath(&identity, 0, &length, buffer.data());
  }
  if (status != ERROR_SUCCESS) return false;
  buffer.back() = L'\0';
  return ::PathFileExistsW(buffer.data()) != FALSE;
}

}  // namespace

WindowsFacts WindowsFactsFrom(const WindowsVersionValues& values, bool is64Bit) {
  WindowsFacts facts;
  facts.is64Bit = is64Bit;
  facts.major = static_cast<std::int32_t>(values.currentMajorVersionNumber.value_or(0));
  facts.minor = static_cast<std::int32_t>(values.currentMinorVersionNumber.value_or(0));
  if (facts.major == 0 && values.currentVersion) {
    const std::wstring& text = *values.currentVersion;
    if (text.size() == 3 && std::iswdigit(text[0]) && text[1] == L'.' && std::iswdigit(text[2])) {
      facts.major = text[0] - L'0';
      facts.minor = text[2] - L'0';
    }
  }
  if (values.currentBuildNumber) facts.build = TextToNumber(*values.currentBuildNumber);
  if (facts.major == 10 && facts.build >= kFirstWindows11Build) facts.major = 11;
  if (values.releaseId) facts.releaseId = TextToNumber(*values.releaseId);
  if (values.csdVersion && !values.csdVersion->empty()) {
    wchar_t last = values.csdVersion->back();
    if (last >= L'0' && last <= L'9') facts.servicePack = last - L'0';
  }
  return facts;
}

WindowsFacts ReadWindowsFacts() {
  WindowsVersionValues values;
  bool is64Bit = RunsOn64BitWindows();
  RegistryKey key = RegistryKey::Open(HKEY_LOCAL_MACHINE, kCurrentVersionKey, RegistryView::k64);
  if (!key) {
    WindowsFacts facts;
    facts.is64Bit = is64Bit;
    return facts;
  }
  values.currentMajorVersionNumber = key.ReadDword(L"CurrentMajorVersionNumber");
  values.currentMinorVersionNumber = key.ReadDword(L"CurrentMinorVersionNumber");
  values.currentVersion = ReadRegistryText(key, L"CurrentVersion");
  values.currentBuildNumber = ReadRegistryText(key, L"CurrentBuildNumber");
  values.releaseId = ReadRegistryText(key, L"ReleaseId");
  values.csdVersion = ReadRegistryText(key, L"CSDVersion");
  return WindowsFactsFrom(values, is64Bit);
}

const WindowsFacts& GetWindowsFacts() {
  static const WindowsFacts facts = ReadWindowsFacts();
  return facts;
}

VersionNumber WindowsVersionOf(const WindowsFacts& facts) {
  return VersionNumber::Of(facts.major, facts.minor, facts.build, 0);
}

bool SplitRegistryKey(const std::wstring& text, RegistryKeyParts& parts) {
  struct Root {
    const wchar_t* name;
    HKEY key;
    bool userThenMachine;
  };
  static const Root kRoots[] = {
      {L"HKLM", HKEY_LOCAL_MACHINE, false}, {L"HKCU", HKEY_CURRENT_USER, false},
      {L"HKU", HKEY_USERS, false},          {L"HKCC", HKEY_CURRENT_CONFIG, false},
      {L"HKCR", HKEY_CLASSES_ROOT, false},  {L"HKUD", HKEY_CURRENT_USER, true},
  };
  parts = RegistryKeyParts{};
  size_t first = text.find(L'\\');
  if (first == std::wstring::npos) return false;
  std::wstring rootName = text.substr(0, first);
  const Root* root = nullptr;
  for (const Root& candidate : kRoots)
    if (rootName == candidate.name) root = &candidate;
  if (!root) return false;
  std::wstring rest = text.substr(first + 1);
  size_t last = rest.rfind(L'\\');
  if (last == std::wstring::npos) return false;
  parts.root = root->key;
  parts.userThenMachine = root->userThenMachine;
  parts.subkey = rest.substr(0, last);
  parts.valueName = rest.substr(last + 1);
  return true;
}

std::uint32_t PackageArchitecture(const std::wstring& text) {
  constexpr std::uint32_t kX86 = 0, kX64 = 9, kNeutral = 11;
  if (EqualsIgnoringCase(text, L"x64")) return kX64;
  if (EqualsIgnoringCase(text, L"neutral")) return kNeutral;
  return kX86;
}

std::optional<std::wstring> ReadRegistryText(const RegistryKey& key, const std::wstring& valueName) {
  DWORD type = 0;
  std::optional<std::vector<BYTE>> data = key.ReadRaw(valueName, type);
  if (!data) return std::nullopt;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
      // Up to the first NUL: a list gives its first string.
      std::wstring text(data->size() / sizeof(wchar_t), L'\0');
      if (!text.empty()) std::memcpy(text.data(), data->data(), text.size() * sizeof(wchar_t));
      return text.substr(0, text.find(L'\0'));
    }
    case REG_DWORD:
      if (data->size() >= sizeof(DWORD)) return std::to_wstring(*reinterpret_cast<const DWORD*>(data->data()));
      return std::nullopt;
    case REG_QWORD:
      if (data->size() >= sizeof(ULONGLONG)) return std::to_wstring(*reinterpret_cast<const ULONGLONG*>(data->data()));
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

VersionNumber ReadFileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return VersionNumber{};
  std::vector<BYTE> block(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return VersionNumber{};
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
      length < sizeof(VS_FIXEDFILEINFO))
    return VersionNumber{};
  return FileVersionFromHalves(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

bool IsInstalled(const UpdateRecord& record) {
  switch (record.detectionKind) {
    case DetectionKind::FilePath:
      return IsFileInstalled(record);
    case DetectionKind::RegistryKey:
      return IsRegistryInstalled(record);
    case DetectionKind::CustomDetection:
      return IsCustomDetectionInstalled(record);
    case DetectionKind::AppId:
      return IsAppPackageInstalled(record);
    default:
      return false;
  }
}

}  // namespace updater
