#include "catalogue/detection.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "base/paths.h"

namespace updater {
namespace {

// The files and programs the test tree builds beside the unit tests.
std::wstring BuildFolder() { return FolderOf(FolderOf(ExecutablePath())); }
std::wstring Fixture(const std::wstring& name) { return BuildFolder() + L"\\fixtures\\" + name; }
std::wstring Tool(const std::wstring& name) { return BuildFolder() + L"\\tools\\" + name; }

UpdateRecord Detecting(DetectionKind kind, const std::wstring& target, const wchar_t* version = nullptr,
                       int op = kVersionAtLeast) {
  UpdateRecord record;
  record.detectionKind = kind;
  record.detectionTarget = target;
  record.versionOperator = op;
  if (version) {
    record.criteria |= kCriterionVersion;
    ParseVersion(version, record.Version);
  }
  return record;
}

UpdateRecord WithSize(UpdateRecord record, std::int32_t size) {
  record.criteria |= kCriterionFileSize;
  record.FileSize = size;
  return record;
}

std::int32_t SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return static_cast<std::int32_t>(data.nFileSizeLow);
}

TEST(FileDetection, VersionsSizesAndPaths) {
  const std::wstring v1234 = Fixture(L"versioned_1_2_3_4.dll");
  const std::wstring v2001 = Fixture(L"versioned_2_0_0_1.dll");
  const std::wstring plain = Fixture(L"unversioned.dll");
  ASSERT_NE(::GetFileAttributesW(v1234.c_str()), INVALID_FILE_ATTRIBUTES) << "fixtures are missing";
  EXPECT_TRUE(SameVersion(ReadFileVersion(v1234), VersionNumber::Of(1, 2, 3, 4)));
  EXPECT_TRUE(ReadFileVersion(plain).IsZero());

  struct Case {
    UpdateRecord record;
    bool installed;
    const char* what;
  };
  UpdateRecord expansionFailed = Detecting(DetectionKind::FilePath, v1234);
  expansionFailed.expansionError = 0xE0000001;
  const Case cases[] = {
      {Detecting(DetectionKind::FilePath, v1234), true, "exists"},
      {Detecting(DetectionKind::FilePath, v1234 + L".missing"), false, "missing"},
      {Detecting(DetectionKind::FilePath, L"fixtures\\versioned_1_2_3_4.dll"), false, "relative path"},
      {Detecting(DetectionKind::FilePath, L"versioned_1_2_3_4.dll"), false, "bare name"},
      {Detecting(DetectionKind::FilePath, v1234, L"1.2"), true, ">= 1.2"},
      {Detecting(DetectionKind::FilePath, v1234, L"1.2.3.4", kVersionEqual), true, "= 1.2.3.4"},
      {Detecting(DetectionKind::FilePath, v1234, L"1.2", kVersionEqual), false, "= 1.2"},
      {Detecting(DetectionKind::FilePath, v1234, L"1.2.3.5"), false, ">= 1.2.3.5"},
      {Detecting(DetectionKind::FilePath, v2001, L"2.0", kVersionEqual), false, "= 2.0 against 2.0.0.1"},
      {Detecting(DetectionKind::FilePath, v2001, L"2.0"), true, ">= 2.0 against 2.0.0.1"},
      {Detecting(DetectionKind::FilePath, plain, L"1.2"), false, "no version resource, >= 1.2"},
      {Detecting(DetectionKind::FilePath, plain, L"0.0"), true, "no version resource, >= 0.0"},
      {WithSize(Detecting(DetectionKind::FilePath, plain), SizeOf(plain)), true, "size equal"},
      {WithSize(Detecting(DetectionKind::FilePath, plain), SizeOf(plain) + 1), false, "size differs"},
      {WithSize(Detecting(DetectionKind::FilePath, plain), 0), false, "FileSize 0 is never installed"},
      {WithSize(Detecting(DetectionKind::FilePath, v1234, L"1.0"), SizeOf(v1234)), true, "version and size"},
      {expansionFailed, false, "expansion failed"},
      {Detecting(DetectionKind::FilePath, Fixture(L"versioned_*.dll"), L"2.0"), true, "wildcard, one match is new"},
      {Detecting(DetectionKind::FilePath, Fixture(L"versioned_*.dll"), L"3.0"), false, "wildcard, none new enough"},
      {Detecting(DetectionKind::FilePath, Fixture(L"nothing*.dll")), false, "wildcard without match"},
      {Detecting(DetectionKind::FilePath, Fixture(L"versioned_?_2_3_4.dll"), L"1.2.3.4", kVersionEqual), true,
       "question mark"},
      {Detecting(DetectionKind::FilePath, L"C:\\" + std::wstring(100000, L'a')), false, "100,000 characters"},
      {Detecting(DetectionKind::None, v1234), false, "no detection"},
  };
  for (const Case& c : cases) {
    std::wstring explanation;
    EXPECT_EQ(IsInstalled(c.record), c.installed) << c.what;
    EXPECT_EQ(IsInstalled(c.record, &explanation), c.installed) << c.what;  // explaining changes nothing
  }
}

TEST(FileDetection, ExplainsWhatItFoundAgainstTheCriterion) {
  const std::wstring v1234 = Fixture(L"versioned_1_2_3_4.dll");
  const std::wstring plain = Fixture(L"unversioned.dll");
  const std::wstring size = std::to_wstring(SizeOf(plain));
  struct Case {
    UpdateRecord record;
    std::wstring explanation;
  };
  const Case cases[] = {
      {Detecting(DetectionKind::FilePath, v1234, L"1.2"),
       L"FilePath " + v1234 + L" found, version 1.2.3.4; criterion >= 1.2; installed"},
      {Detecting(DetectionKind::FilePath, v1234, L"2.1", kVersionEqual),
       L"FilePath " + v1234 + L" found, version 1.2.3.4; criterion = 2.1; not installed"},
      {Detecting(DetectionKind::FilePath, v1234 + L".missing", L"1.0"),
       L"FilePath " + v1234 + L".missing missing; criterion >= 1.0; not installed"},
      {WithSize(Detecting(DetectionKind::FilePath, plain), SizeOf(plain) + 1),
       L"FilePath " + plain + L" found, size " + size + L"; criterion size " + std::to_wstring(SizeOf(plain) + 1) +
           L"; not installed"},
      // A folder is found like a file: without criteria its existence is enough.
      {Detecting(DetectionKind::FilePath, BuildFolder() + L"\\fixtures"),
       L"FilePath " + BuildFolder() + L"\\fixtures found; criterion exists; installed"},
      {Detecting(DetectionKind::FilePath, Fixture(L"nothing*.dll")),
       L"FilePath " + Fixture(L"nothing*.dll") + L" missing; criterion exists; not installed"},
      {Detecting(DetectionKind::None, v1234), L"none; criterion none (never installed); not installed"},
  };
  for (const Case& c : cases) {
    std::wstring explanation;
    IsInstalled(c.record, &explanation);
    EXPECT_EQ(explanation, c.explanation);
  }
}

TEST(RegistryKeyText, SplitsRootSubkeyAndValue) {
  struct Case {
    const wchar_t* text;
    bool ok;
    HKEY root;
    const wchar_t* subkey;
    const wchar_t* value;
    bool userThenMachine;
  };
  const Case cases[] = {
      {L"HKLM\\Software\\Vendor\\App\\Version", true, HKEY_LOCAL_MACHINE, L"Software\\Vendor\\App", L"Version", false},
      {L"HKCU\\Software\\App\\", true, HKEY_CURRENT_USER, L"Software\\App", L"", false},
      {L"HKU\\.DEFAULT\\Software\\V", true, HKEY_USERS, L".DEFAULT\\Software", L"V", false},
      {L"HKCC\\System\\V", true, HKEY_CURRENT_CONFIG, L"System", L"V", false},
      {L"HKCR\\.txt\\Content Type", true, HKEY_CLASSES_ROOT, L".txt", L"Content Type", false},
      {L"HKUD\\Software\\App\\Version", true, HKEY_CURRENT_USER, L"Software\\App", L"Version", true},
      {L"hklm\\Software\\App\\Version", false, nullptr, L"", L"", false},
      {L"HKEY_LOCAL_MACHINE\\Software\\App\\Version", false, nullptr, L"", L"", false},
      {L"HKLM\\Version", false, nullptr, L"", L"", false},
      {L"HKLM", false, nullptr, L"", L"", false},
      {L"", false, nullptr, L"", L"", false},
      {L"\\\\", false, nullptr, L"", L"", false},
  };
  for (const Case& c : cases) {
    RegistryKeyParts parts;
    ASSERT_EQ(SplitRegistryKey(c.text, parts), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(parts.root, c.root) << c.text;
    EXPECT_EQ(parts.subkey, c.subkey) << c.text;
    EXPECT_EQ(parts.valueName, c.value) << c.text;
    EXPECT_EQ(parts.userThenMachine, c.userThenMachine) << c.text;
  }
}

// Keys written for one test in the real registry of the prefix, in a chosen view, removed afterwards.
class RegistryState : public ::testing::Test {
 protected:
  RegistryState() : name_(L"Software\\KestruneDetectionTest" + std::to_wstring(::GetCurrentProcessId())) {}
  ~RegistryState() override {
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(hive, name_.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) continue;
        ::RegDeleteTreeW(key, nullptr);
        ::RegCloseKey(key);
        ::RegDeleteKeyExW(hive, name_.c_str(), view, 0);
      }
    }
  }
  static HKEY Open(HKEY hive, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    return key;
  }
  void Write(HKEY hive, const std::wstring& subkey, const std::wstring& name, const std::wstring& text,
             REGSAM view = KEY_WOW64_32KEY) {
    HKEY key = Open(hive, name_ + subkey, view);
    ASSERT_NE(key, nullptr);
    ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
  }
  void WriteNumber(HKEY hive, const std::wstring& subkey, const std::wstring& name, DWORD number) {
    HKEY key = Open(hive, name_ + subkey, KEY_WOW64_32KEY);
    ::RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    ::RegCloseKey(key);
  }
  void CreateKey(HKEY hive, const std::wstring& subkey) { ::RegCloseKey(Open(hive, name_ + subkey, KEY_WOW64_32KEY)); }
  UpdateRecord Registry(const std::wstring& root, const std::wstring& rest, const wchar_t* version = nullptr,
                        int op = kVersionAtLeast) {
    return Detecting(DetectionKind::RegistryKey, root + L"\\" + name_ + rest, version, op);
  }

  std::wstring name_;
};

TEST_F(RegistryState, ValuesKeysAndRoots) {
  CreateKey(HKEY_LOCAL_MACHINE, L"\\Empty");
  Write(HKEY_LOCAL_MACHINE, L"\\App", L"Version", L"2.0.0.1");
  Write(HKEY_CURRENT_USER, L"\\App", L"", L"1.5");
  WriteNumber(HKEY_CURRENT_USER, L"\\App", L"Build", 3);
  Write(HKEY_LOCAL_MACHINE, L"\\App", L"Garbage", L"no digits");

  struct Case {
    UpdateRecord record;
    bool installed;
    const char* what;
  };
  const Case cases[] = {
      {Registry(L"HKLM", L"\\Empty\\Version"), true, "key without the value, no Version: the key decides"},
      {Registry(L"HKLM", L"\\Missing\\Version"), false, "missing key"},
      {Registry(L"hklm", L"\\App\\Version"), false, "root in lower case"},
      {Registry(L"HKLM", L"\\App\\Version", L"2.0"), true, ">= 2.0 against 2.0.0.1"},
      {Registry(L"HKLM", L"\\App\\Version", L"2.0", kVersionEqual), false, "= 2.0 against 2.0.0.1"},
      {Registry(L"HKLM", L"\\App\\Version", L"2.1"), false, ">= 2.1"},
      {Registry(L"HKLM", L"\\Empty\\Version", L"0.1"), false, "missing value counts as 0.0.0.0"},
      {Registry(L"HKLM", L"\\App\\Garbage", L"1.0"), false, "value without digits"},
      {Registry(L"HKCU", L"\\App\\", L"1.5", kVersionEqual), true, "the default value"},
      {Registry(L"HKCU", L"\\App\\Build", L"3"), true, "a number read as decimal text"},
      {Registry(L"HKCU", L"\\App\\Build", L"4"), false, "a number below the version"},
  };
  for (const Case& c : cases) EXPECT_EQ(IsInstalled(c.record), c.installed) << c.what;

  // What the log says of a detection: the key with its view, the value found, the criterion.
  const std::pair<UpdateRecord, std::wstring> explained[] = {
      {Registry(L"HKLM", L"\\App\\Version", L"2.1"), L"\\App\\Version (32-bit view): \"2.0.0.1\"; criterion >= 2.1; not installed"},
      {Registry(L"HKLM", L"\\Missing\\Version", L"1.0"), L"\\Missing\\Version (32-bit view): key missing; criterion >= 1.0; not installed"},
      {Registry(L"HKLM", L"\\Empty\\Version", L"0.1"), L"\\Empty\\Version (32-bit view): value missing; criterion >= 0.1; not installed"},
      {Registry(L"HKCU", L"\\App\\Build", L"3"), L"\\App\\Build (32-bit view): \"3\"; criterion >= 3.0; installed"},
  };
  for (const auto& [record, tail] : explained) {
    std::wstring explanation;
    IsInstalled(record, &explanation);
    EXPECT_EQ(explanation, L"RegistryKey " + record.detectionTarget.substr(0, record.detectionTarget.find(L'\\')) +
                               L"\\" + name_ + tail);
  }
}

TEST_F(RegistryState, UserThenMachine) {
  Write(HKEY_CURRENT_USER, L"\\App", L"Version", L"1.0");
  Write(HKEY_LOCAL_MACHINE, L"\\App", L"Version", L"2.0");
  CreateKey(HKEY_LOCAL_MACHINE, L"\\MachineOnly");
  EXPECT_TRUE(IsInstalled(Registry(L"HKUD", L"\\App\\Version", L"2.0")));  // the machine's value answers
  EXPECT_TRUE(IsInstalled(Registry(L"HKUD", L"\\App\\Version", L"1.0", kVersionEqual)));  // the user's does
  EXPECT_FALSE(IsInstalled(Registry(L"HKUD", L"\\App\\Version", L"2.1")));
  EXPECT_TRUE(IsInstalled(Registry(L"HKUD", L"\\MachineOnly\\Version")));  // no Version: one key suffices
  EXPECT_FALSE(IsInstalled(Registry(L"HKUD", L"\\MachineOnly\\Version", L"1.0")));
  EXPECT_FALSE(IsInstalled(Registry(L"HKUD", L"\\Nowhere\\Version")));
}

TEST_F(RegistryState, SixtyFourBitViewForSys64Updates) {
  // HKLM\Software is split into two views on a 64-bit Windows; a 32-bit program sees the 32-bit one.
  Write(HKEY_LOCAL_MACHINE, L"\\Native", L"Version", L"3.0", KEY_WOW64_64KEY);
  Write(HKEY_LOCAL_MACHINE, L"\\Redirected", L"Version", L"3.0", KEY_WOW64_32KEY);
  UpdateRecord native = Registry(L"HKLM", L"\\Native\\Version", L"3.0");
  UpdateRecord redirected = Registry(L"HKLM", L"\\Redirected\\Version", L"3.0");
  EXPECT_FALSE(IsInstalled(native));
  EXPECT_TRUE(IsInstalled(redirected));
  native.Flags.Parse(L"Sys64");
  redirected.Flags.Parse(L"Sys64");
  EXPECT_TRUE(IsInstalled(native));
  EXPECT_FALSE(IsInstalled(redirected));
  std::wstring explanation;
  IsInstalled(redirected, &explanation);
  EXPECT_NE(explanation.find(L"Version (64-bit view): key missing; criterion >= 3.0; not installed"),
            std::wstring::npos) << explanation;
}

TEST(CustomDetection, ExitCodeAnswers) {
  const std::wstring program = Tool(L"exitwith.exe");
  ASSERT_NE(::GetFileAttributesW(program.c_str()), INVALID_FILE_ATTRIBUTES);
  struct Case {
    const wchar_t* parameters;
    bool installed;
  };
  for (const Case& c : {Case{L"1", true}, Case{L"0", false}, Case{L"7", true}, Case{L"", false}}) {
    UpdateRecord record = Detecting(DetectionKind::CustomDetection, program);
    record.CustomDetectionParams = c.parameters;
    EXPECT_EQ(IsInstalled(record), c.installed) << c.parameters;
  }
  EXPECT_FALSE(IsInstalled(Detecting(DetectionKind::CustomDetection, Tool(L"no-such-program.exe"))));
  UpdateRecord failed = Detecting(DetectionKind::CustomDetection, program);
  failed.CustomDetectionParams = L"1";
  failed.expansionError = 203;
  EXPECT_FALSE(IsInstalled(failed));
}

TEST(AppPackageDetection, ArchitecturesAndUnknownPackage) {
  EXPECT_EQ(PackageArchitecture(L"x86"), 0u);
  EXPECT_EQ(PackageArchitecture(L"X64"), 9u);
  EXPECT_EQ(PackageArchitecture(L"Neutral"), 11u);
  EXPECT_EQ(PackageArchitecture(L"arm64"), 0u);
  EXPECT_EQ(PackageArchitecture(L""), 0u);
  UpdateRecord record = Detecting(DetectionKind::AppId, L"", L"1.0.0.0");
  record.AppIdName = L"Kestrune.NoSuchPackage";
  record.AppIdArch = L"x64";
  EXPECT_FALSE(IsInstalled(record));
}

TEST(WindowsVersion, FactsFromValues) {
  struct Case {
    WindowsVersionValues values;
    std::int32_t major, minor, build, servicePack, releaseId;
  };
  const Case cases[] = {
      {{std::nullopt, std::nullopt, L"6.1", L"7601", std::nullopt, L"Service Pack 1"}, 6, 1, 7601, 1, 0},
      {{10u, 0u, L"6.3", L"19045", L"2009", std::nullopt}, 10, 0, 19045, 0, 2009},
      {{10u, 0u, L"6.3", L"22000", std::nullopt, std::nullopt}, 11, 0, 22000, 0, 0},
      {{10u, 0u, L"6.3", L"21999", std::nullopt, std::nullopt}, 10, 0, 21999, 0, 0},
      {{std::nullopt, std::nullopt, L"10.0", L"7601", std::nullopt, std::nullopt}, 0, 0, 7601, 0, 0},
      {{}, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    WindowsFacts facts = WindowsFactsFrom(c.values, true);
    EXPECT_EQ(facts.major, c.major);
    EXPECT_EQ(facts.minor, c.minor);
    EXPECT_EQ(facts.build, c.build);
    EXPECT_EQ(facts.servicePack, c.servicePack);
    EXPECT_EQ(facts.releaseId, c.releaseId);
    EXPECT_TRUE(facts.is64Bit);
  }
}

// The version values of the prefix, changed for one test and put back afterwards.
class CurrentVersionValues : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kNames[] = {L"CurrentMajorVersionNumber", L"CurrentMinorVersionNumber",
                                              L"CurrentBuildNumber"};
  CurrentVersionValues() {
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                    KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key_);
    for (int i = 0; i < 3; ++i) {
      saved_[i].size = sizeof(saved_[i].data);
      saved_[i].present = ::RegQueryValueExW(key_, kNames[i], nullptr, &saved_[i].type, saved_[i].data,
                                             &saved_[i].size) == ERROR_SUCCESS;
    }
  }
  ~CurrentVersionValues() override {
    for (int i = 0; i < 3; ++i) {
      if (saved_[i].present)
        ::RegSetValueExW(key_, kNames[i], 0, saved_[i].type, saved_[i].data, saved_[i].size);
      else
        ::RegDeleteValueW(key_, kNames[i]);
    }
    ::RegCloseKey(key_);
  }
  void Set(DWORD major, DWORD minor, const std::wstring& build) {
    ::RegSetValueExW(key_, kNames[0], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&major), sizeof(major));
    ::RegSetValueExW(key_, kNames[1], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&minor), sizeof(minor));
    ::RegSetValueExW(key_, kNames[2], 0, REG_SZ, reinterpret_cast<const BYTE*>(build.c_str()),
                     static_cast<DWORD>((build.size() + 1) * sizeof(wchar_t)));
  }

  struct Saved {
    bool present = false;
    DWORD type = 0;
    BYTE data[256];
    DWORD size = 0;
  };
  HKEY key_ = nullptr;
  Saved saved_[3];
};

TEST_F(CurrentVersionValues, ReadFromThePrefix) {
  ASSERT_NE(key_, nullptr);
  Set(10, 0, L"19045");
  WindowsFacts ten = ReadWindowsFacts();
  EXPECT_EQ(ten.major, 10);
  EXPECT_EQ(ten.build, 19045);
  EXPECT_TRUE(ten.is64Bit);  // the prefix is a 64-bit Windows
  Set(10, 0, L"22631");
  WindowsFacts eleven = ReadWindowsFacts();
  EXPECT_EQ(eleven.major, 11);
  EXPECT_EQ(eleven.minor, 0);
  EXPECT_TRUE(SameVersion(WindowsVersionOf(eleven), VersionNumber::Of(11, 0, 22631)));
  // Once per process: the first answer stays.
  const WindowsFacts& first = GetWindowsFacts();
  Set(6, 1, L"7601");
  EXPECT_EQ(&GetWindowsFacts(), &first);
  EXPECT_EQ(GetWindowsFacts().build, first.build);
}

}  // namespace
}  // namespace updater
