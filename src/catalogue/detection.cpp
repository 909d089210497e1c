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

// What the criteria read of a file the search found: its version and size, each only when a
// criterion asks for it.
struct FileFacts {
  VersionNumber version;
  std::optional<std::uint32_t> size;  // the low 32 bits; empty when the file cannot be opened
};

FileFacts ReadFileFacts(const UpdateRecord& record, const std::wstring& path) {
  FileFacts facts;
  if ((record.criteria & kCriterionVersion) != 0) facts.version = ReadFileVersion(path);
  if ((record.criteria & kCriterionFileSize) == 0) return facts;
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return facts;
  DWORD high = 0;
  DWORD low = ::GetFileSize(file.Get(), &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return facts;
  facts.size = low;
  return facts;
}

bool FileFactsMeetCriteria(const UpdateRecord& record, const FileFacts& facts) {
  if ((record.criteria & kCriterionVersion) != 0 &&
      !CompareForDetection(facts.version, record.versionOperator, record.Version))
    return false;
  if ((record.criteria & kCriterionFileSize) == 0) return true;
  if (record.FileSize == 0 || !facts.size) return false;
  return *facts.size == static_cast<std::uint32_t>(record.FileSize);
}

std::wstring DescribeFileFacts(const UpdateRecord& record, const std::wstring& path, const FileFacts& facts) {
  std::wstring text = path + L" found";
  if ((record.criteria & kCriterionVersion) != 0) text += L", version " + FormatVersion(facts.version);
  if ((record.criteria & kCriterionFileSize) != 0)
    text += facts.size ? L", size " + std::to_wstring(*facts.size) : std::wstring(L", size unreadable");
  return text;
}

bool HasWildcard(const std::wstring& name) { return name.find_first_of(L"*?") != std::wstring::npos; }

// FilePath: the file search decides existence. Wildcards ("*", "?") are supported in the file name
// only (the system's search matches no others): the update is installed when one of the matching
// entries meets the version and size criteria. A "\\?\" prefix is not a wildcard.
bool IsFileInstalled(const UpdateRecord& record, std::wstring* finding) {
  const std::wstring& path = record.detectionTarget;
  auto note = [finding](const std::wstring& text) {
    if (finding) *finding = text;
  };
  if (record.expansionError != 0) {
    note(path + L" could not be expanded (" + FormatResultForLog(record.expansionError) + L")");
    return false;
  }
  if (!IsAbsolute(path)) {
    note(path + L" is not an absolute path");
    return false;
  }
  size_t slash = path.find_last_of(L"\\/");
  std::wstring folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);

  WIN32_FIND_DATAW found{};
  UniqueFind search(::FindFirstFileW(path.c_str(), &found));
  if (!search) {
    note(path + L" missing");
    return false;
  }
  if (!HasWildcard(name)) {
    FileFacts facts = ReadFileFacts(record, path);
    note(DescribeFileFacts(record, path, facts));
    return FileFactsMeetCriteria(record, facts);
  }
  int examined = 0;
  std::wstring lastExamined;
  do {
    std::wstring entry = found.cFileName;
    if (entry == L"." || entry == L"..") continue;
    FileFacts facts = ReadFileFacts(record, folder + entry);
    lastExamined = DescribeFileFacts(record, folder + entry, facts);
    if (FileFactsMeetCriteria(record, facts)) {
      note(lastExamined);
      return true;
    }
  } while (++examined < kMaxWildcardMatches && ::FindNextFileW(search.Get(), &found));
  note(path + L": " + std::to_wstring(examined) + L" matching entries, none meets the criterion (last: " +
       lastExamined + L")");
  return false;
}

// The registry value as the detection read it: its text in quotes, or "missing".
std::wstring DescribeRegistryValue(const RegistryKey& key, const std::wstring& valueName) {
  if (!key) return L"key missing";
  std::optional<std::wstring> text = ReadRegistryText(key, valueName);
  return text ? L"\"" + *text + L"\"" : std::wstring(L"value missing");
}

bool ValueSatisfies(const UpdateRecord& record, const RegistryKey& key, const std::wstring& valueName) {
  std::wstring text = ReadRegistryText(key, valueName).value_or(std::wstring());
  return CompareForDetection(ParseOrZero(text), record.versionOperator, record.Version);
}

bool IsRegistryInstalled(const UpdateRecord& record, std::wstring* finding) {
  RegistryKeyParts parts;
  if (!SplitRegistryKey(record.detectionTarget, parts)) {
    if (finding) *finding = record.detectionTarget + L" is not a key the detection understands";
    return false;
  }
  RegistryView view = DetectionView(record);
  const std::wstring where = record.detectionTarget + (view == RegistryView::k64 ? L" (64-bit view)" : L" (32-bit view)");
  if (parts.userThenMachine) {
    RegistryKey user = RegistryKey::Open(HKEY_CURRENT_USER, parts.subkey, view);
    RegistryKey machine = RegistryKey::Open(HKEY_LOCAL_MACHINE, parts.subkey, view);
    if (finding)
      *finding = where + L": user " + DescribeRegistryValue(user, parts.valueName) + L", machine " +
                 DescribeRegistryValue(machine, parts.valueName);
    if (!user && !machine) return false;
    if ((record.criteria & kCriterionVersion) == 0) return true;
    if (user && ValueSatisfies(record, user, parts.valueName)) return true;
    return machine && ValueSatisfies(record, machine, parts.valueName);
  }
  RegistryKey key = RegistryKey::Open(parts.root, parts.subkey, view);
  if (finding) *finding = where + L": " + DescribeRegistryValue(key, parts.valueName);
  if (!key) return false;
  return ValueSatisfies(record, key, parts.valueName);
}

// CustomDetection: the publisher's program answers through its exit code, non-zero for installed.
// Whether it may run at all was decided when the updates configuration file was read (it must be
// signed like the updater unless the update allows otherwise).
bool IsCustomDetectionInstalled(const UpdateRecord& record, std::wstring* finding) {
  auto note = [finding](const std::wstring& text) {
    if (finding) *finding = text;
  };
  if (record.expansionError != 0 || record.detectionTarget.empty()) {
    note(L"program " + record.detectionTarget + L" cannot run");
    return false;
  }
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
    note(L"program " + record.detectionTarget + L" could not be started (" + FormatResultForLog(started) + L")");
    return false;
  }
  if (!process) return false;
  DWORD exitCode = 0;
  if (WaitForExit(process.Get(), &exitCode) != kOk) {
    note(L"program " + record.detectionTarget + L" did not end");
    return false;
  }
  LogFormat(kLogDebug, L"Custom detection program %ls exited with %lu", record.detectionTarget.c_str(), exitCode);
  note(L"program " + record.detectionTarget + L" exited with " + std::to_wstring(exitCode));
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

bool IsAppPackageInstalled(const UpdateRecord& record, std::wstring* finding) {
  if (finding) *finding = L"package " + record.AppIdName + L" " + FormatVersion(record.Version) + L" missing";
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
  if (::PathFileExistsW(buffer.data()) == FALSE) return false;
  if (finding) *finding = L"package " + record.AppIdName + L" " + FormatVersion(record.Version) + L" found at " + buffer.data();
  return true;
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

const wchar_t* DetectionKindName(DetectionKind kind) {
  switch (kind) {
    case DetectionKind::RegistryKey:
      return L"RegistryKey";
    case DetectionKind::FilePath:
      return L"FilePath";
    case DetectionKind::CustomDetection:
      return L"CustomDetection";
    case DetectionKind::AppId:
      return L"AppId";
    default:
      return L"none";
  }
}

std::wstring DetectionCriterionText(const UpdateRecord& record) {
  auto versionText = [&record]() -> std::wstring {
    switch (record.versionOperator) {
      case kVersionEqual:
        return L"= " + FormatVersion(record.Version);
      case kVersionAtLeast:
        return L">= " + FormatVersion(record.Version);
      default:
        return L"operator " + std::to_wstring(record.versionOperator) + L" (never met)";
    }
  };
  switch (record.detectionKind) {
    case DetectionKind::RegistryKey:
      // A key of "HKUD" without the version criterion only has to exist; every other key compares.
      if (record.detectionTarget.rfind(L"HKUD\\", 0) == 0 && (record.criteria & kCriterionVersion) == 0)
        return L"exists";
      return versionText();
    case DetectionKind::FilePath: {
      std::wstring text;
      if ((record.criteria & kCriterionVersion) != 0) text = versionText();
      if ((record.criteria & kCriterionFileSize) != 0)
        text += (text.empty() ? L"" : L", ") + std::wstring(L"size ") + std::to_wstring(record.FileSize);
      return text.empty() ? L"exists" : text;
    }
    case DetectionKind::CustomDetection:
      return L"exit code not 0";
    case DetectionKind::AppId:
      return L"package present";
    default:
      return L"none (never installed)";
  }
}

bool IsInstalled(const UpdateRecord& record, std::wstring* explanation) {
  std::wstring finding;
  std::wstring* note = explanation ? &finding : nullptr;
  bool installed = false;
  switch (record.detectionKind) {
    case DetectionKind::FilePath:
      installed = IsFileInstalled(record, note);
      break;
    case DetectionKind::RegistryKey:
      installed = IsRegistryInstalled(record, note);
      break;
    case DetectionKind::CustomDetection:
      installed = IsCustomDetectionInstalled(record, note);
      break;
    case DetectionKind::AppId:
      installed = IsAppPackageInstalled(record, note);
      break;
    default:
      break;
  }
  if (explanation) {
    *explanation = std::wstring(DetectionKindName(record.detectionKind)) + (finding.empty() ? L"" : L" ") + finding +
                   L"; criterion " +
                   DetectionCriterionText(record) + (installed ? L"; installed" : L"; not installed");
  }
  return installed;
}

}  // namespace updater
