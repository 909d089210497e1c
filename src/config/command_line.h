// The updater's command line: the run mode of a process, its options, and the command lines that the
// updater gives its own processes (temporary copy, privileged server, toast actions, application restart).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace updater {

// The role of one process. The numbers are written to the log and are part of the external behaviour;
// 5 is selected by no switch.
enum class RunMode : int {
  CheckNow = 0,
  Silent = 1,
  SilentAll = 2,
  SilentCritical = 3,
  Configure = 4,
  InstallInteractive = 6,
  InstallSilent = 7,
  InstallSilentAll = 8,
  InstallSilentCritical = 9,
  Clean = 10,
  JustCheck = 11,
  JustCheckCritical = 12,
  RunService = 13,
  DebugService = 14,
  InstallService = 15,
  ConfigService = 16,
  UninstallService = 17,
  RunServer = 18,
  Set = 19,
  Automation = 20,
  ToastLink = 21,
  ToastCommand = 22,
};

// The options of one command line. Strings are empty and flags false when not given.
struct RunOptions {
  std::wstring commandLine;  // the raw command line (or the configured default); left alone by the parser

  // From the settings file of "/install" and "/runserver".
  std::wstring clientConfigPath;
  std::wstring serverConfigPath;
  std::wstring uninstallFilePath;
  std::wstring realUpdaterPath;
  std::wstring ipcObjNameBase;

  std::wstring credentials;  // fourth argument of "/install": user name, ":", protected password
  bool cleanSilent = false;
  HWND parentWindow = nullptr;  // "/configure" <decimal window handle>

  // Check options and their settings-file twins.
  bool noFreqCheck = false;
  std::wstring urlOverride;
  bool minUserActions = false;
  std::wstring dumpDetectedPath;
  bool justDownload = false;
  bool startMinimized = false;

  std::wstring serviceName;  // "/configservice" "-name"

  std::wstring setName;
  std::wstring setValue;
  std::wstring setValue2;

  std::wstring restartApp;
  std::wstring restartAppCmd;
  bool startAppFirst = false;
  bool installReady = false;
  bool noGui = false;
  bool reducedGui = false;
  bool showWaitDlg = false;
  bool forceMsiBasicUi = false;

  // "/automation".
  std::wstring clsid;
  bool registerProxyStub = false;
  bool embedding = false;

  // Toast activations.
  std::wstring linkTarget;
  std::wstring linkParameters;
  std::wstring toastCommand;
  std::wstring toastArg1;
  std::wstring toastArg2;
};

// Reads one value of a settings file (path, section, key); empty when the file or key is missing.
using SettingsFileReader =
    std::function<std::wstring(const std::wstring& path, const std::wstring& section, const std::wstring& key)>;

// The reader used by the product: the INI reader shared with the client configuration file.
std::wstring ReadSettingFromIni(const std::wstring& path, const std::wstring& section, const std::wstring& key);

// Splits a command line into arguments. A quoted argument runs to the next double quote (the quotes are
// dropped; an unterminated quote takes the rest of the line); any other argument runs to the next blank
// (space or tab) and keeps inner quotes. Blanks between arguments are skipped.
std::vector<std::wstring> Tokenize(const std::wstring& commandLine);

// Parses commandLine into mode and options. Returns 0, or E_UPD_COMMAND_LINE for any violation of the
// grammar; mode and options are changed only on success (options.commandLine is kept as it was).
Result ParseCommandLine(const std::wstring& commandLine, RunMode& mode, RunOptions& options,
                        const SettingsFileReader& readSetting);

// The same for options.commandLine.
Result ParseCommandLine(RunMode& mode, RunOptions& options, const SettingsFileReader& readSetting);

// The URL protocol whose activations come back as command lines.
inline constexpr const wchar_t* kToastProtocolName = L"velmora-morvask-updater2";

// "velmora-morvask-updater2:/Link" and "velmora-morvask-updater2:/Command".
std::wstring LinkArgument();
std::wstring CommandArgument();

// The kind word that the temporary copy receives for a parent check mode: "silent", "silentall",
// "silentcritical" for modes 1 to 3, "checknow" for every other mode.
std::wstring InstallKindWord(RunMode parentMode);

// Arguments of the temporary copy: "/install <kind> "<settingsPath>"" and, when given, the credentials
// argument (quoted when it contains a blank, so that a user name with a blank stays one argument).
std::wstring BuildInstallArguments(RunMode parentMode, const std::wstring& settingsPath,
                                   const std::wstring& credentials = std::wstring());

// Arguments of the privileged server: "/runserver "<settingsPath>"".
std::wstring BuildRunServerArguments(const std::wstring& settingsPath);

// The toast "Install" action: "\"<updaterPath>\" /checknow".
std::wstring BuildToastInstallCommandLine(const std::wstring& updaterPath);

// The toast "Remind me later" action argument: "purgenotifseen <appId> <valueName>", and the full
// activation line that starts with the command argument.
std::wstring BuildRemindLaterArguments(const std::wstring& appId, const std::wstring& valueName);
std::wstring BuildRemindLaterCommandLine(const std::wstring& appId, const std::wstring& valueName);

// The application restart line: the path in double quotes, then restartAppCmd after a blank when not empty.
std::wstring BuildRestartCommandLine(const std::wstring& appPath, const std::wstring& restartAppCmd);

}  // namespace updater
