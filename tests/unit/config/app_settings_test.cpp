#include "config/app_settings.h"

#include <gtest/gtest.h>

#include <map>

#include "config/registry_test_support.h"

namespace updater {
namespace {

using testing::ScopedApplicationKeys;
using testing::UniqueApplicationId;

// A fresh folder under the temporary folder, removed with its files at the end.
class TempFolder {
 public:
  TempFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + UniqueApplicationId(L"Cfg");
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    for (const auto& file : files_) ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(path_.c_str());
  }
  // Writes the text as ANSI, or as UTF-16LE with the byte-order mark.
  std::wstring Write(const std::wstring& name, const std::wstring& text, bool utf16 = false) {
    std::wstring file = path_ + L"\\" + name;
    std::string bytes;
    if (utf16) {
      bytes = "\xFF\xFE";
      for (wchar_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
      }
    } else {
      for (wchar_t c : text) bytes.push_back(static_cast<char>(c));
    }
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(handle);
    files_.push_back(file);
    return file;
  }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
  std::vector<std::wstring> files_;
};

class ClientConfiguration : public ::testing::Test {
 protected:
  ClientConfiguration()
      : id_(UniqueApplicationId(L"Config")), userKeys_(HKEY_CURRENT_USER, id_), machineKeys_(HKEY_LOCAL_MACHINE, id_) {}

  // Loads a "General" section made of the given lines plus ID=<unique id>.
  AppSettings LoadGeneral(const std::wstring& lines, Result expected = kOk) {
    std::wstring path = folder_.Write(L"updater.ini", L"[General]\r\nID=" + id_ + L"\r\n" + lines);
    AppSettings settings(path);
    EXPECT_EQ(settings.Load(), expected);
    return settings;
  }

  SettingsStore UserStore() const { return SettingsStore(HKEY_CURRENT_USER, id_); }
  SettingsStore MachineStore() const { return SettingsStore(HKEY_LOCAL_MACHINE, id_); }

  std::wstring id_;
  ScopedApplicationKeys userKeys_;
  ScopedApplicationKeys machineKeys_;
  TempFolder folder_;
};

TEST_F(ClientConfiguration, MissingFileIsConfigurationNotFoundAndKeepsDefaults) {
  AppSettings settings(folder_.Path() + L"\\absent.ini");
  EXPECT_EQ(settings.Load(), E_UPD_CONFIG_NOT_FOUND);
  EXPECT_EQ(settings.checkFrequency, 3);
  EXPECT_EQ(settings.retryAttempts, -1);
  EXPECT_EQ(settings.logLevel, 0u);
  EXPECT_EQ(AppSettings(L"").Load(), E_UPD_CONFIG_NOT_FOUND);
  EXPECT_EQ(AppSettings(folder_.Path()).Load(), E_UPD_CONFIG_NOT_FOUND);  // a folder is no file
}

TEST_F(ClientConfiguration, ReadsEveryFieldOfTheGeneralSection) {
  AppSettings settings = LoadGeneral(
      L"Flags=PerMachine|UTF8\r\n"
      L"URL=http://127.0.0.1/a.txt\r\nURL1=http://127.0.0.1/b.txt\r\nURL2=http://127.0.0.1/c.txt\r\n"
      L"URL4=http://127.0.0.1/skipped.txt\r\n"
      L"ApplicationMainBinary=tool.exe\r\nAppDir=C:\\Program Files\\Tool\r\nDownloadsFolder=[APPDIR]\\dl\r\n"
      L"CheckFrequency=7\r\nApplicationName=Tool\r\nApplicationVersion=2.5\r\nCompanyName=Acme\r\n"
      L"DefaultCommandLine=/silent\r\nSupportServiceName=ToolSupport\r\nAppId=Acme.Tool\r\n");
  EXPECT_EQ(settings.clientFlags.Value(), 20u);
  EXPECT_TRUE(settings.HasClientFlag(kClientPerMachine));
  EXPECT_FALSE(settings.HasClientFlag(kClientNoDisableAutoCheck));
  EXPECT_EQ(settings.id, id_);
  EXPECT_EQ(settings.comClassId, id_);
  EXPECT_EQ(settings.urls, (std::vector<std::wstring>{L"http://127.0.0.1/a.txt", L"http://127.0.0.1/b.txt",
                                                       L"http://127.0.0.1/c.txt"}));
  EXPECT_EQ(settings.applicationMainBinary, L"tool.exe");
  EXPECT_EQ(settings.appDir, L"C:\\Program Files\\Tool");
  EXPECT_EQ(settings.downloadsFolder, L"C:\\Program Files\\Tool\\dl");
  EXPECT_EQ(settings.checkFrequency, 7);
  EXPECT_EQ(settings.applicationName, L"Tool");
  EXPECT_EQ(settings.applicationVersion, L"2.5");
  EXPECT_EQ(settings.companyName, L"Acme");
  EXPECT_EQ(settings.defaultCommandLine, L"/silent");
  EXPECT_EQ(settings.supportServiceName, L"ToolSupport");
  EXPECT_EQ(settings.appId, L"Acme.Tool");
  EXPECT_EQ(settings.Store().Id(), id_);
  EXPECT_EQ(settings.Validate(), kOk);
}

TEST_F(ClientConfiguration, UrlListStartsAtTheFirstNumberWhenUrlIsEmpty) {
  AppSettings settings = LoadGeneral(L"URL=\r\nURL1=http://127.0.0.1/one\r\nURL3=http://127.0.0.1/three\r\n");
  EXPECT_EQ(settings.urls, std::vector<std::wstring>{L"http://127.0.0.1/one"});
  AppSettings both = LoadGeneral(L"URL=http://127.0.0.1/u\r\nURL1=http://127.0.0.1/one\r\nURL3=http://127.0.0.1/x\r\n");
  EXPECT_EQ(both.urls.size(), 2u);
}

TEST_F(ClientConfiguration, DefaultsForAppIdFlagsAndFrequency) {
  AppSettings settings = LoadGeneral(L"CompanyName=Acme\r\nApplicationName=Tool\r\nApplicationVersion=1.0\r\n"
                                     L"Flags=UTF8|Bogus|PerMachine\r\n");
  EXPECT_EQ(settings.appId, L"Acme.Tool 1.0");
  EXPECT_EQ(settings.clientFlags.Value(), 16u);
  EXPECT_EQ(settings.checkFrequency, 3);
  EXPECT_EQ(settings.retryAttempts, -1);
  EXPECT_EQ(settings.proxy, L"");
}

TEST_F(ClientConfiguration, Utf16FileWithByteOrderMarkIsRead) {
  std::wstring path = folder_.Write(L"unicode.ini",
                                    L"[General]\r\nID=" + id_ + L"\r\nApplicationName=Outil \u00e9t\u00e9 \u4e2d\r\n",
                                    true);
  AppSettings settings(path);
  ASSERT_EQ(settings.Load(), kOk);
  EXPECT_EQ(settings.id, id_);
  EXPECT_EQ(settings.applicationName, L"Outil \u00e9t\u00e9 \u4e2d");
}

TEST_F(ClientConfiguration, UserRegistryValuesOverrideTheFile) {
  SettingsStore user = UserStore();
  ASSERT_TRUE(user.WriteString(SettingsKey::kSettings, kValueDownloadsFolder, L"D:\\Mine"));
  ASSERT_TRUE(user.WriteNumber(SettingsKey::kSettings, kValueCheckFrequency, 14));
  ASSERT_TRUE(user.WriteNumber(SettingsKey::kSettings, kValueRetryAttempts, 5));
  ASSERT_TRUE(user.WriteNumber(SettingsKey::kSettings, kValueLogLevel, 3));
  ASSERT_TRUE(user.WriteString(SettingsKey::kSettings, kValueProxy, L"127.0.0.1:3128"));
  AppSettings settings = LoadGeneral(L"DownloadsFolder=C:\\FromFile\r\nCheckFrequency=7\r\n");
  EXPECT_EQ(settings.downloadsFolder, L"D:\\Mine");
  EXPECT_EQ(settings.checkFrequency, 14);
  EXPECT_EQ(settings.CheckFrequency(), 14);
  EXPECT_EQ(settings.retryAttempts, 5);
  EXPECT_EQ(settings.logLevel, 3u);
  EXPECT_EQ(settings.proxy, L"127.0.0.1:3128");
}

TEST_F(ClientConfiguration, EmptyRegistryDownloadsFolderDoesNotOverride) {
  ASSERT_TRUE(UserStore().WriteString(SettingsKey::kSettings, kValueDownloadsFolder, L""));
  AppSettings settings = LoadGeneral(L"DownloadsFolder=C:\\FromFile\r\n");
  EXPECT_EQ(settings.downloadsFolder, L"C:\\FromFile");
}

TEST_F(ClientConfiguration, LogLevelAndProxyFallBackToTheMachineKey) {
  SettingsStore machine = MachineStore();
  ASSERT_TRUE(machine.WriteNumber(SettingsKey::kSettings, kValueLogLevel, 15));
  ASSERT_TRUE(machine.WriteString(SettingsKey::kSettings, kValueProxy, L"machine-proxy:8080"));
  // Only these two are machine-wide; the others are not read from there.
  ASSERT_TRUE(machine.WriteNumber(SettingsKey::kSettings, kValueCheckFrequency, 30));
  AppSettings fromMachine = LoadGeneral(L"");
  EXPECT_EQ(fromMachine.logLevel, 15u);
  EXPECT_EQ(fromMachine.proxy, L"machine-proxy:8080");
  EXPECT_EQ(fromMachine.checkFrequency, 3);

  SettingsStore user = UserStore();
  ASSERT_TRUE(user.WriteNumber(SettingsKey::kSettings, kValueLogLevel, 0));
  ASSERT_TRUE(user.WriteString(SettingsKey::kSettings, kValueProxy, L""));
  AppSettings fromUser = LoadGeneral(L"");
  EXPECT_EQ(fromUser.logLevel, 0u);
  EXPECT_EQ(fromUser.proxy, L"");
}

TEST_F(ClientConfiguration, FolderValuesExpandEnvironmentAndAppDir) {
  wchar_t temp[MAX_PATH] = {};
  ASSERT_GT(::GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH), 0u);
  AppSettings settings = LoadGeneral(L"AppDir=%TEMP%\\Tool\r\nDownloadsFolder=[APPDIR]\\Downloads\r\n");
  EXPECT_EQ(settings.appDir, std::wstring(temp) + L"\\Tool");
  EXPECT_EQ(settings.downloadsFolder, std::wstring(temp) + L"\\Tool\\Downloads");
}

TEST_F(ClientConfiguration, FolderValuesThatDoNotExpandStayAsWritten) {
  AppSettings unknownName = LoadGeneral(L"AppDir=C:\\App\r\nDownloadsFolder=[SOMEDIR]\\Downloads\r\n");
  EXPECT_EQ(unknownName.downloadsFolder, L"[SOMEDIR]\\Downloads");
  AppSettings undefinedVariable =
      LoadGeneral(L"AppDir=%KESTRUNE_UNDEFINED_VARIABLE%\\App\r\nDownloadsFolder=[APPDIR]\\dl\r\n");
  EXPECT_EQ(undefinedVariable.appDir, L"%KESTRUNE_UNDEFINED_VARIABLE%\\App");
  EXPECT_EQ(undefinedVariable.downloadsFolder, L"%KESTRUNE_UNDEFINED_VARIABLE%\\App\\dl");
  AppSettings notInstalled =
      LoadGeneral(L"DownloadsFolder=[{01234567-89AB-CDEF-0123-456789ABCDEF}InstallLocation]\\dl\r\n");
  EXPECT_EQ(notInstalled.downloadsFolder, L"[{01234567-89AB-CDEF-0123-456789ABCDEF}InstallLocation]\\dl");
}

TEST(FolderExpansion, ReplacesEachNameLeftToRight) {
  std::map<std::wstring, std::wstring> environment{{L"A", L"x"}, {L"EMPTY", L""}};
  FolderExpansionSources sources;
  sources.environment = [&](const std::wstring& name) -> std::optional<std::wstring> {
    auto found = environment.find(name);
    if (found == environment.end()) return std::nullopt;
    return found->second;
  };
  sources.productProperty = [](const std::wstring& code, const std::wstring& property) -> std::optional<std::wstring> {
    if (code == L"{11111111-2222-3333-4444-555555555555}" && property == L"InstallLocation") return L"C:\\Prod";
    return std::nullopt;
  };
  std::wstring out = L"unchanged";
  EXPECT_EQ(ExpandFolderValue(L"%A%\\[APPDIR]\\%EMPTY%%A%", L"C:\\App", sources, out), kOk);
  EXPECT_EQ(out, L"x\\C:\\App\\x");
  EXPECT_EQ(ExpandFolderValue(L"[{11111111-2222-3333-4444-555555555555}InstallLocation]\\Data", L"", sources, out),
            kOk);
  EXPECT_EQ(out, L"C:\\Prod\\Data");
  EXPECT_EQ(ExpandFolderValue(L"100% sure [open", L"", sources, out), kOk);
  EXPECT_EQ(out, L"100% sure [open");

  out = L"unchanged";
  EXPECT_EQ(ExpandFolderValue(L"%B%\\x", L"", sources, out), E_UPD_EXPAND_PATH);
  EXPECT_EQ(ExpandFolderValue(L"[appdir]\\x", L"C:\\App", sources, out), E_UPD_EXPAND_PATH);
  EXPECT_EQ(ExpandFolderValue(L"[{11111111-2222-3333-4444-555555555555}Other]", L"", sources, out),
            E_UPD_EXPAND_PATH);
  EXPECT_EQ(ExpandFolderValue(L"[{11111111-2222-3333-4444-555555555555}]", L"", sources, out), E_UPD_EXPAND_PATH);
  EXPECT_EQ(out, L"unchanged");
}

TEST_F(ClientConfiguration, ValidationNeedsIdUrlAndBothFolders) {
  const std::wstring complete = L"URL=http://127.0.0.1/u\r\nAppDir=C:\\App\r\nDownloadsFolder=C:\\Dl\r\n";
  EXPECT_EQ(LoadGeneral(complete).Validate(), kOk);
  EXPECT_EQ(LoadGeneral(L"AppDir=C:\\App\r\nDownloadsFolder=C:\\Dl\r\n").Validate(), E_UPD_CLIENT_CONFIG);
  EXPECT_EQ(LoadGeneral(L"URL=http://127.0.0.1/u\r\nDownloadsFolder=C:\\Dl\r\n").Validate(), E_UPD_CLIENT_CONFIG);
  EXPECT_EQ(LoadGeneral(L"URL=http://127.0.0.1/u\r\nAppDir=C:\\App\r\n").Validate(), E_UPD_CLIENT_CONFIG);
  std::wstring noId = folder_.Write(L"noid.ini", L"[General]\r\n" + complete);
  AppSettings settings(noId);
  ASSERT_EQ(settings.Load(), kOk);
  EXPECT_EQ(settings.Validate(), E_UPD_CLIENT_CONFIG);
  EXPECT_EQ(AppSettings(L"").Validate(), E_UPD_CLIENT_CONFIG);
}

TEST_F(ClientConfiguration, SetPreferencesThroughTheLoadedSettings) {
  AppSettings settings = LoadGeneral(L"Flags=NoDisableAutoCheck\r\nDownloadsFolder=C:\\Dl\r\n");
  EXPECT_EQ(settings.ApplySet(L"autoupdatepolicy", L"Disable", L""), E_UPD_POLICY_LOCKED);
  EXPECT_FALSE(UserStore().ReadNumber(SettingsKey::kSettings, kValueAutoUpdatePolicy).has_value());
  EXPECT_EQ(settings.ApplySet(L"downloadsfolder", L"E:\\New", L""), kOk);
  EXPECT_EQ(settings.downloadsFolder, L"E:\\New");
  EXPECT_EQ(UserStore().ReadString(SettingsKey::kSettings, kValueDownloadsFolder), L"E:\\New");
}

TEST_F(ClientConfiguration, ScheduleNextCheckWritesFrequencyDaysAhead) {
  AppSettings settings = LoadGeneral(L"");
  const FileTime64 before = CurrentUtcFileTime();
  ASSERT_TRUE(settings.ScheduleNextCheck(settings.CheckFrequency()));
  const FileTime64 after = CurrentUtcFileTime();
  auto next = UserStore().ReadTime(SettingsKey::kSettings, kValueNextUpdateCheck);
  ASSERT_TRUE(next.has_value());
  EXPECT_GE(*next, before + 3 * kFileTimeTicksPerDay);
  EXPECT_LE(*next, after + 3 * kFileTimeTicksPerDay);
  EXPECT_EQ(IsCheckDue(settings.Store()).ResultCode(), E_UPD_CHECK_NOT_DUE);
}

TEST(ClientConfigurationLocation, BesideTheExecutableUnlessTheRegistryNamesAnExistingFile) {
  EXPECT_EQ(AppSettings::LocateFrom(std::nullopt, L"C:\\Tools\\updater.exe"), L"C:\\Tools\\updater.ini");
  EXPECT_EQ(AppSettings::LocateFrom(std::nullopt, L"C:\\Tools\\updater"), L"C:\\Tools\\updater.ini");
  EXPECT_EQ(AppSettings::LocateFrom(std::nullopt, L"C:\\my.tools\\updater"), L"C:\\my.tools\\updater.ini");
  EXPECT_EQ(AppSettings::LocateFrom(L"C:\\nowhere\\missing.ini", L"C:\\Tools\\updater.exe"), L"C:\\Tools\\updater.ini");
  TempFolder folder;
  std::wstring existing = folder.Write(L"elsewhere.ini", L"[General]\r\n");
  EXPECT_EQ(AppSettings::LocateFrom(existing, L"C:\\Tools\\updater.exe"), existing);
}

// Sets the per-user "ConfigFilePath" for one test and puts the previous state back.
class ScopedConfigFilePath {
 public:
  explicit ScopedConfigFilePath(const std::wstring& value) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, kGlobalSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                      &key_, nullptr);
    wchar_t old[1024] = {};
    DWORD size = sizeof(old) - sizeof(wchar_t);
    DWORD type = 0;
    hadOld_ = ::RegQueryValueExW(key_, kValueConfigFilePath, nullptr, &type, reinterpret_cast<BYTE*>(old), &size) ==
              ERROR_SUCCESS;
    old_ = old;
    Set(value);
  }
  ~ScopedConfigFilePath() {
    if (hadOld_)
      Set(old_);
    else
      ::RegDeleteValueW(key_, kValueConfigFilePath);
    ::RegCloseKey(key_);
  }

 private:
  void Set(const std::wstring& value) {
    ::RegSetValueExW(key_, kValueConfigFilePath, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  HKEY key_ = nullptr;
  bool hadOld_ = false;
  std::wstring old_;
};

TEST(ClientConfigurationLocation, LocateReadsTheRegistryValue) {
  wchar_t module[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring besideExecutable = module;
  besideExecutable = besideExecutable.substr(0, besideExecutable.find_last_of(L'.')) + L".ini";
  {
    ScopedConfigFilePath missing(L"C:\\nowhere\\missing.ini");
    EXPECT_EQ(AppSettings::Locate(), besideExecutable);
  }
  TempFolder folder;
  std::wstring existing = folder.Write(L"named.ini", L"[General]\r\n");
  ScopedConfigFilePath named(existing);
  EXPECT_EQ(AppSettings::Locate(), existing);
}

}  // namespace
}  // namespace updater
