#include "config/app_settings.h"

#include <msi.h>

#include "base/logger.h"
#include "base/paths.h"
#include "base/registry.h"

namespace updater {
namespace {

constexpr wchar_t kGeneral[] = L"General";

bool FileExists(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The per-user "ConfigFilePath" string, read without creating anything.
std::optional<std::wstring> ReadConfigFilePathValue() {
  return RegistryKey::Open(HKEY_CURRENT_USER, kGlobalSettingsKey, RegistryView::k32, KEY_QUERY_VALUE)
      .ReadString(kValueConfigFilePath);
}

std::optional<std::wstring> SystemEnvironmentVariable(const std::wstring& name) {
  if (name.empty()) return std::nullopt;
  for (DWORD size = 256;;) {
    std::wstring value(size, L'\0');
    ::SetLastError(ERROR_SUCCESS);
    DWORD length = ::GetEnvironmentVariableW(name.c_str(), value.data(), size);
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (length < size) {
      value.resize(length);
      return value;
    }
    size = length + 1;
  }
}

std::optional<std::wstring> InstalledProductProperty(const std::wstring& productCode, const std::wstring& property) {
  DWORD length = 0;
  wchar_t empty[1] = {};
  UINT status = ::MsiGetProductInfoW(productCode.c_str(), property.c_str(), empty, &length);
  if (status == ERROR_SUCCESS) return std::wstring();
  if (status != ERROR_MORE_DATA) return std::nullopt;
  std::wstring value(length + 1, L'\0');
  length = static_cast<DWORD>(value.size());
  if (::MsiGetProductInfoW(productCode.c_str(), property.c_str(), value.data(), &length) != ERROR_SUCCESS)
    return std::nullopt;
  value.resize(length);
  return value;
}

// "{...}Property": a product code in braces followed by a non-empty property name.
bool SplitProductProperty(const std::wstring& name, std::wstring& productCode, std::wstring& property) {
  if (name.empty() || name[0] != L'{') return false;
  size_t close = name.find(L'}');
  if (close == std::wstring::npos || close + 1 >= name.size()) return false;
  productCode = name.substr(0, close + 1);
  property = name.substr(close + 1);
  return true;
}

std::wstring ValueOrWritten(const std::wstring& written, const std::wstring& appDir) {
  std::wstring expanded;
  return ExpandFolderValue(written, appDir, expanded) == kOk ? expanded : written;
}

}  // namespace

FlagSet MakeClientFlags() {
  return FlagSet({{L"NoDisableAutoCheck", kClientNoDisableAutoCheck},
                  {L"VertSplitter", kClientVertSplitter},
                  {L"PerMachine", kClientPerMachine},
                  {L"ShowConfigOptionsButton", kClientShowConfigOptionsButton},
                  {L"UTF8", kClientUtf8},
                  {L"VerifyDigitalSignature", kClientVerifyDigitalSignature},
                  {L"NoUpdaterInstallGUI", kClientNoUpdaterInstallGui},
                  {L"InstallSummaryAlways", kClientInstallSummaryAlways},
                  {L"GitHubUpdates", kClientGitHubUpdates}});
}

UpdatesFileSignature ParseUpdatesFileSignature(const std::wstring& value) {
  if (value.empty()) return UpdatesFileSignature::kNotRequired;
  return value == L"Required" ? UpdatesFileSignature::kRequired : UpdatesFileSignature::kInvalid;
}

FolderExpansionSources SystemFolderExpansionSources() {
  return {SystemEnvironmentVariable, InstalledProductProperty};
}

Result ExpandFolderValue(const std::wstring& value, const std::wstring& appDir, const FolderExpansionSources& sources,
                         std::wstring& expanded) {
  std::wstring result;
  for (size_t position = 0; position < value.size();) {
    const wchar_t c = value[position];
    const wchar_t closing = c == L'%' ? L'%' : (c == L'[' ? L']' : L'\0');
    size_t end = closing ? value.find(closing, position + 1) : std::wstring::npos;
    if (end == std::wstring::npos) {
      // Plain characters, and an opening sign without its closing one, are copied.
      result.push_back(c);
      ++position;
      continue;
    }
    const std::wstring name = value.substr(position + 1, end - position - 1);
    std::optional<std::wstring> replacement;
    std::wstring productCode, property;
    if (c == L'%') {
      if (sources.environment) replacement = sources.environment(name);
    } else if (name == L"APPDIR") {
      replacement = appDir;
    } else if (SplitProductProperty(name, productCode, property) && sources.productProperty) {
      replacement = sources.productProperty(productCode, property);
    }
    if (!replacement) return E_UPD_EXPAND_PATH;
    result += *replacement;
    position = end + 1;
  }
  expanded = std::move(result);
  return kOk;
}

Result ExpandFolderValue(const std::wstring& value, const std::wstring& appDir, std::wstring& expanded) {
  return ExpandFolderValue(value, appDir, SystemFolderExpansionSources(), expanded);
}

AppSettings::AppSettings(std::wstring clientConfigPathValue)
    : clientConfigPath(std::move(clientConfigPathValue)), store_(HKEY_CURRENT_USER) {}

std::wstring AppSettings::LocateFrom(const std::optional<std::wstring>& configFilePathValue,
                                     const std::wstring& executablePath) {
  if (configFilePathValue && !configFilePathValue->empty() && FileExists(*configFilePathValue))
    return *configFilePathValue;
  // Only a point in the file name starts the extension; a point in a folder name does not.
  size_t slash = executablePath.find_last_of(L"\\/");
  size_t dot = executablePath.find_last_of(L'.');
  if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
    return executablePath.substr(0, dot) + L".ini";
  return executablePath + L".ini";
}

std::wstring AppSettings::Locate() { return LocateFrom(ReadConfigFilePathValue(), ExecutablePath()); }

Result AppSettings::Load() {
  if (clientConfigPath.empty() || !FileExists(clientConfigPath)) return E_UPD_CONFIG_NOT_FOUND;
  IniFile ini(clientConfigPath);
  if (Result bom = ini.ReadBom(); bom != kOk) return bom;

  ini.GetFlags(kGeneral, L"Flags", clientFlags);
  id = ini.GetString(kGeneral, L"ID");
  urls = ini.GetNumberedList(kGeneral, L"URL");
  applicationMainBinary = ini.GetString(kGeneral, L"ApplicationMainBinary");
  appDir = ValueOrWritten(ini.GetString(kGeneral, L"AppDir"), appDir);
  downloadsFolder = ValueOrWritten(ini.GetString(kGeneral, L"DownloadsFolder"), appDir);
  // An absent (or empty) frequency keeps the default rather than reading as 0 days.
  std::wstring frequency = ini.GetString(kGeneral, L"CheckFrequency");
  if (!frequency.empty()) checkFrequency = ParseLeadingInt(frequency);
  applicationName = ini.GetString(kGeneral, L"ApplicationName");
  applicationVersion = ini.GetString(kGeneral, L"ApplicationVersion");
  companyName = ini.GetString(kGeneral, L"CompanyName");
  defaultCommandLine = ini.GetString(kGeneral, L"DefaultCommandLine");
  supportServiceName = ini.GetString(kGeneral, L"SupportServiceName");
  comClassId = ini.GetString(kGeneral, L"ID");
  appId = ini.GetString(kGeneral, L"AppId");
  if (appId.empty()) appId = companyName + L"." + applicationName + L" " + applicationVersion;
  updatesFileSignatureText = ini.GetString(kGeneral, L"UpdatesFileSignature");
  updatesFileSignature = ParseUpdatesFileSignature(updatesFileSignatureText);

  store_.SetId(id);
  ApplyRegistryOverrides();
  return kOk;
}

void AppSettings::ApplyRegistryOverrides() {
  if (auto folder = store_.ReadString(SettingsKey::kSettings, kValueDownloadsFolder); folder && !folder->empty())
    downloadsFolder = *folder;
  if (auto frequency = store_.ReadNumber(SettingsKey::kSettings, kValueCheckFrequency))
    checkFrequency = static_cast<std::int32_t>(*frequency);
  if (auto retries = store_.ReadNumber(SettingsKey::kSettings, kValueRetryAttempts))
    retryAttempts = static_cast<std::int32_t>(*retries);

  // "LogLevel" and "Proxy" may also be set for every user of the machine.
  SettingsStore machine(HKEY_LOCAL_MACHINE, id);
  if (auto level = store_.ReadNumber(SettingsKey::kSettings, kValueLogLevel))
    logLevel = *level;
  else if (auto machineLevel = machine.ReadNumber(SettingsKey::kSettings, kValueLogLevel))
    logLevel = *machineLevel;
  if (auto userProxy = store_.ReadString(SettingsKey::kSettings, kValueProxy))
    proxy = *userProxy;
  else if (auto machineProxy = machine.ReadString(SettingsKey::kSettings, kValueProxy))
    proxy = *machineProxy;
}

Result AppSettings::Validate() const {
  if (id.empty() || urls.empty() || appDir.empty() || downloadsFolder.empty()) return E_UPD_CLIENT_CONFIG;
  if (updatesFileSignature == UpdatesFileSignature::kInvalid) {
    LogError(L"The client configuration's UpdatesFileSignature is neither empty nor Required: " +
                 updatesFileSignatureText,
             E_UPD_CLIENT_CONFIG);
    return E_UPD_CLIENT_CONFIG;
  }
  return kOk;
}

bool AppSettings::ScheduleNextCheck(std::int32_t days) { return updater::ScheduleNextCheck(store_, days); }

Result AppSettings::ApplySet(const std::wstring& name, const std::wstring& value, const std::wstring& value2,
                             RememberCredentialsHook rememberCredentials) {
  return ApplySetCommand(store_, clientFlags.Value(), name, value, value2, &downloadsFolder, rememberCredentials);
}

}  // namespace updater
