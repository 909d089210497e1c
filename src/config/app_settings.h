// The settings of one run: the client configuration file beside the executable (section
// "General"), the per-user registry overrides, and what the command line adds.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "base/result_codes.h"
#include "config/settings_store.h"

namespace updater {

// Words of the client configuration's "Flags" value.
enum ClientFlag : std::uint32_t {
  kClientNoDisableAutoCheck = 1,
  kClientVertSplitter = 2,
  kClientPerMachine = 4,
  kClientShowConfigOptionsButton = 8,
  kClientUtf8 = 16,
  kClientVerifyDigitalSignature = 32,
  kClientNoUpdaterInstallGui = 64,
  kClientInstallSummaryAlways = 128,
  kClientGitHubUpdates = 256,
};
static_assert(kClientNoDisableAutoCheck == kClientFlagNoDisableAutoCheck);

// A flag set over the client flag words, value 0.
FlagSet MakeClientFlags();

inline constexpr std::int32_t kDefaultCheckFrequencyDays = 3;

// The client configuration's "UpdatesFileSignature": absent or empty, "Required", or anything else,
// which makes the configuration invalid so that a mistyped value never turns the check off.
enum class UpdatesFileSignature { kNotRequired, kRequired, kInvalid };
UpdatesFileSignature ParseUpdatesFileSignature(const std::wstring& value);

// Lookups used by the folder expansion; the defaults ask the environment and Windows Installer.
struct FolderExpansionSources {
  // An environment variable's value; nullopt when it is not defined.
  std::function<std::optional<std::wstring>(const std::wstring& name)> environment;
  // A property of the installed product with this product code ("{...}"); nullopt when the query fails.
  std::function<std::optional<std::wstring>(const std::wstring& productCode, const std::wstring& property)>
      productProperty;
};
FolderExpansionSources SystemFolderExpansionSources();

// Expands "%NAME%" environment variables and "[APPDIR]" / "[{product code}Property]" folder
// properties, left to right. 0 and the expanded text, or 0xE0000001 for an undefined variable, an
// unknown bracketed name or a failed product query (then `expanded` is left as it was).
Result ExpandFolderValue(const std::wstring& value, const std::wstring& appDir, const FolderExpansionSources& sources,
                         std::wstring& expanded);
// The same with the environment and Windows Installer of this system.
Result ExpandFolderValue(const std::wstring& value, const std::wstring& appDir, std::wstring& expanded);

class AppSettings {
 public:
  // Create: the defaults, for the client configuration file at this path.
  explicit AppSettings(std::wstring clientConfigPath);

  // The client configuration file: the per-user "ConfigFilePath" when it names an existing file,
  // else the executable's path with ".ini" in place of its extension.
  static std::wstring Locate();
  // The rule of Locate over given facts (the registry value, the executable's path).
  static std::wstring LocateFrom(const std::optional<std::wstring>& configFilePathValue,
                                 const std::wstring& executablePath);

  // Reads the file and the registry overrides. 0, 0xE0000002 for a missing file, or a system error
  // when the file cannot be read.
  Result Load();
  // What the checking modes need: "ID", one URL, the application and downloads folders, and a
  // known "UpdatesFileSignature"; else 0xE0000007.
  Result Validate() const;
  // Every updates configuration file read from a server must carry the publisher's signature.
  bool RequiresSignedUpdatesFile() const { return updatesFileSignature == UpdatesFileSignature::kRequired; }

  // Writes "NextUpdateCheck" `days` days from now.
  bool ScheduleNextCheck(std::int32_t days);
  // The effective check frequency (registry over file over the default of 3 days).
  std::int32_t CheckFrequency() const { return checkFrequency; }
  bool HasClientFlag(std::uint32_t flag) const { return (clientFlags.Value() & flag) != 0; }

  // Applies one "/set" preference to the store; "downloadsfolder" also changes this run's folder.
  Result ApplySet(const std::wstring& name, const std::wstring& value, const std::wstring& value2,
                  RememberCredentialsHook rememberCredentials = nullptr);

  SettingsStore& Store() { return store_; }
  const SettingsStore& Store() const { return store_; }
  // From the client configuration file (and registry overrides).
  std::wstring id;
  std::vector<std::wstring> urls;
  std::wstring applicationMainBinary;
  std::wstring appDir;
  std::wstring downloadsFolder;
  std::int32_t checkFrequency = kDefaultCheckFrequencyDays;
  FlagSet clientFlags = MakeClientFlags();
  std::wstring applicationName;
  std::wstring applicationVersion;
  std::wstring companyName;
  std::wstring defaultCommandLine;
  std::wstring supportServiceName;
  std::wstring comClassId;
  std::wstring appId;
  UpdatesFileSignature updatesFileSignature = UpdatesFileSignature::kNotRequired;
  std::wstring updatesFileSignatureText;  // as written, for the log

  // From the registry only.
  std::int32_t retryAttempts = -1;  // -1: the download engine's default
  std::uint32_t logLevel = 0;       // Off
  std::wstring proxy;

  // From the command line and the run driver.
  std::wstring userName;
  std::wstring password;
  bool justDownload = false;
  bool startMinimized = false;
  bool noGui = false;
  bool reducedGui = false;
  bool forceMsiBasicUi = false;
  bool startAppFirst = false;
  std::wstring restartApp;
  std::wstring restartAppCmd;
  std::wstring clientConfigPath;
  std::wstring realUpdaterPath;
  bool isTemporaryCopy = false;
  bool readsSavedSelection = false;  // the run reads the selection saved by the run that started it

 private:
  void ApplyRegistryOverrides();

  SettingsStore store_;  // the current user's keys of this application
};

}  // namespace updater
