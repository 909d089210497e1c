#include "config/command_line.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

namespace updater {
namespace {

using Arguments = std::vector<std::wstring>;

constexpr int kMaxCheckOptionPasses = 13;
constexpr size_t kMaxJustCheckArguments = 5;
constexpr size_t kMaxAutomationArguments = 4;
constexpr const wchar_t* kSettingsSection = L"General";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool ContainsBlank(const std::wstring& text) {
  for (wchar_t c : text) {
    if (IsBlank(c)) return true;
  }
  return false;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Quotes an argument only where the tokenizer would otherwise split it or drop it.
std::wstring QuotedIfNeeded(const std::wstring& text) {
  return (text.empty() || ContainsBlank(text)) ? Quoted(text) : text;
}

bool IsTrue(const std::wstring& value) { return value == L"true"; }

std::wstring ReadSetting(const SettingsFileReader& readSetting, const std::wstring& path, const wchar_t* key) {
  if (!readSetting) return std::wstring();
  return readSetting(path, kSettingsSection, key);
}

// --- check options (modes 0 to 3) ---------------------------------------------------------------

struct CheckOption {
  const wchar_t* name;
  bool takesValue;
  void (*apply)(RunOptions& options, const std::wstring& value);
};

// Tried in this order within every pass.
const CheckOption kCheckOptions[] = {
    {L"-nofreqcheck", false, [](RunOptions& o, const std::wstring&) { o.noFreqCheck = true; }},
    {L"-url", true, [](RunOptions& o, const std::wstring& v) { o.urlOverride = v; }},
    {L"-minuseractions", false, [](RunOptions& o, const std::wstring&) { o.minUserActions = true; }},
    {L"-justdownload", false, [](RunOptions& o, const std::wstring&) { o.justDownload = true; }},
    {L"-startminimized", false, [](RunOptions& o, const std::wstring&) { o.startMinimized = true; }},
    {L"-restartapp", true, [](RunOptions& o, const std::wstring& v) { o.restartApp = v; }},
    {L"-restartappcmd", true, [](RunOptions& o, const std::wstring& v) { o.restartAppCmd = v; }},
    {L"-nogui", false, [](RunOptions& o, const std::wstring&) { o.noGui = true; }},
    {L"-reducedgui", false, [](RunOptions& o, const std::wstring&) { o.reducedGui = true; }},
    {L"-showaitdlg", false, [](RunOptions& o, const std::wstring&) { o.showWaitDlg = true; }},
    {L"-forcemsibasicui", false, [](RunOptions& o, const std::wstring&) { o.forceMsiBasicUi = true; }},
    {L"-startappfirst", false, [](RunOptions& o, const std::wstring&) { o.startAppFirst = true; }},
};

// Matches one option at position: 0 (consumed, position advanced), E_UPD_NO_MATCH, or
// E_UPD_COMMAND_LINE for a value option without its value.
Result TryCheckOption(const CheckOption& option, const Arguments& args, size_t& position, RunOptions& options) {
  if (position >= args.size() || args[position] != option.name) return E_UPD_NO_MATCH;
  if (!option.takesValue) {
    option.apply(options, std::wstring());
    ++position;
    return kOk;
  }
  if (position + 1 >= args.size()) return E_UPD_COMMAND_LINE;
  option.apply(options, args[position + 1]);
  position += 2;
  return kOk;
}

bool CheckCombinationsValid(RunMode mode, const RunOptions& options) {
  if (options.noGui && options.reducedGui) return false;
  const bool silentAllOrCritical = mode == RunMode::SilentAll || mode == RunMode::SilentCritical;
  if (!silentAllOrCritical && (options.justDownload || options.noGui || options.reducedGui ||
                               options.noFreqCheck || options.showWaitDlg)) {
    return false;
  }
  const bool checkNowOrSilent = mode == RunMode::CheckNow || mode == RunMode::Silent;
  if (!checkNowOrSilent && options.startMinimized) return false;
  return true;
}

Result ParseCheckOptions(const Arguments& args, RunMode mode, RunOptions& options) {
  size_t position = 1;
  for (int pass = 0; pass < kMaxCheckOptionPasses && position < args.size(); ++pass) {
    for (const CheckOption& option : kCheckOptions) {
      Result result = TryCheckOption(option, args, position, options);
      if (result == E_UPD_COMMAND_LINE) return result;
    }
    if (!CheckCombinationsValid(mode, options)) return E_UPD_COMMAND_LINE;
  }
  if (position < args.size()) return E_UPD_COMMAND_LINE;
  if (options.startAppFirst && options.restartApp.empty()) return E_UPD_COMMAND_LINE;
  return kOk;
}

// --- the other modes --------------------------------------------------------------------------

// Unsigned decimal after leading blanks, up to the first non-digit. A number too large for a window
// handle is no window: null rather than a bogus owner.
HWND ParseWindowHandle(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - L'0');
    if (value > 0xFFFFFFFFull) return nullptr;
  }
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
}

Result ParseConfigure(const Arguments& args, RunMode& mode, RunOptions& options) {
  if (args.size() > 2) return E_UPD_COMMAND_LINE;
  if (args.size() == 2) options.parentWindow = ParseWindowHandle(args[1]);
  mode = RunMode::Configure;
  return kOk;
}

RunMode InstallModeOfKind(const std::wstring& kind) {
  if (kind == L"silent") return RunMode::InstallSilent;
  if (kind == L"silentall") return RunMode::InstallSilentAll;
  if (kind == L"silentcritical") return RunMode::InstallSilentCritical;
  return RunMode::InstallInteractive;
}

Result ParseInstall(const Arguments& args, RunMode& mode, RunOptions& options, const SettingsFileReader& read) {
  if (args.size() != 3 && args.size() != 4) return E_UPD_COMMAND_LINE;
  const std::wstring& path = args[2];
  options.clientConfigPath = ReadSetting(read, path, L"ClientConfigPath");
  options.serverConfigPath = ReadSetting(read, path, L"ServerConfigPath");
  options.uninstallFilePath = ReadSetting(read, path, L"UninstallFilePath");
  options.realUpdaterPath = ReadSetting(read, path, L"RealUpdaterPath");
  options.justDownload = IsTrue(ReadSetting(read, path, L"JustDownloadUpdates"));
  options.startMinimized = IsTrue(ReadSetting(read, path, L"StartMinimized"));
  options.urlOverride = ReadSetting(read, path, L"URL");
  options.restartApp = ReadSetting(read, path, L"restartapp");
  options.restartAppCmd = ReadSetting(read, path, L"restartappcmd");
  options.startAppFirst = IsTrue(ReadSetting(read, path, L"startappfirst"));
  options.noGui = IsTrue(ReadSetting(read, path, L"NoGUI"));
  options.reducedGui = IsTrue(ReadSetting(read, path, L"ReducedGUI"));
  options.forceMsiBasicUi = IsTrue(ReadSetting(read, path, L"ForceMSIBasicUI"));
  if (args.size() == 4) options.credentials = args[3];
  mode = InstallModeOfKind(args[1]);
  return kOk;
}

Result ParseClean(const Arguments& args, RunMode& mode, RunOptions& options) {
  if (args.size() > 2) return E_UPD_COMMAND_LINE;
  if (args.size() == 2) {
    if (args[1] != L"silent") return E_UPD_COMMAND_LINE;
    options.cleanSilent = true;
  }
  mode = RunMode::Clean;
  return kOk;
}

Result ParseJustCheck(const Arguments& args, RunMode& mode, RunOptions& options) {
  if (args.size() - 1 > kMaxJustCheckArguments) return E_UPD_COMMAND_LINE;
  bool critical = false;
  size_t position = 1;
  while (position < args.size()) {
    const std::wstring& option = args[position];
    if (option == L"-critical") {
      critical = true;
      ++position;
      continue;
    }
    if (option == L"-installready") {
      options.installReady = true;
      ++position;
      continue;
    }
    std::wstring* target = nullptr;
    if (option == L"-dumpdetected") {
      target = &options.dumpDetectedPath;
    } else if (option == L"-url") {
      target = &options.urlOverride;
    } else if (option == L"-restartapp") {
      target = &options.restartApp;
    } else if (option == L"-restartappcmd") {
      target = &options.restartAppCmd;
    } else {
      return E_UPD_COMMAND_LINE;
    }
    if (position + 1 >= args.size()) return E_UPD_COMMAND_LINE;
    *target = args[position + 1];
    position += 2;
  }
  mode = critical ? RunMode::JustCheckCritical : RunMode::JustCheck;
  return kOk;
}

Result ParseConfigService(const Arguments& args, RunMode& mode, RunOptions& options) {
  if (args.size() != 3 || args[1] != L"-name") return E_UPD_COMMAND_LINE;
  options.serviceName = args[2];
  mode = RunMode::ConfigService;
  return kOk;
}

Result ParseRunServer(const Arguments& args, RunMode& mode, RunOptions& options, const SettingsFileReader& read) {
  if (args.size() != 2) return E_UPD_COMMAND_LINE;
  const std::wstring& path = args[1];
  options.clientConfigPath = ReadSetting(read, path, L"ClientConfigPath");
  options.uninstallFilePath = ReadSetting(read, path, L"UninstallFilePath");
  options.realUpdaterPath = ReadSetting(read, path, L"RealUpdaterPath");
  options.ipcObjNameBase = ReadSetting(read, path, L"IPCObjNameBase");
  mode = RunMode::RunServer;
  return kOk;
}

Result ParseSet(const Arguments& args, RunMode& mode, RunOptions& options) {
  if (args.size() < 2) return E_UPD_COMMAND_LINE;
  const std::wstring& name = args[1];
  size_t expectedCount = 0;
  if (name == L"rememberpassword") {
    expectedCount = 4;
  } else if (name == L"retryattempts" || name == L"loglevel" || name == L"autoupdatepolicy" || name == L"proxy" ||
             name == L"downloadsfolder") {
    expectedCount = 3;
  } else {
    return E_UPD_COMMAND_LINE;
  }
  if (args.size() != expectedCount) return E_UPD_COMMAND_LINE;
  options.setName = name;
  options.setValue = args[2];
  if (expectedCount == 4) options.setValue2 = args[3];
  mode = RunMode::Set;
  return kOk;
}

Result ParseAutomation(const Arguments& args, RunMode& mode, RunOptions& options) {
  // COM starts a local server with " -Embedding" appended to its registered command line, which
  // already holds one: the repeat does not count against the limit, or a server registered with
  // -registerproxystub could never start.
  std::size_t embeddings = static_cast<std::size_t>(std::count(args.begin(), args.end(), L"-Embedding"));
  if (args.size() - 1 - (embeddings > 1 ? embeddings - 1 : 0) > kMaxAutomationArguments) return E_UPD_COMMAND_LINE;
  size_t position = 1;
  while (position < args.size()) {
    const std::wstring& option = args[position];
    if (option == L"-clsid") {
      if (position + 1 >= args.size()) return E_UPD_COMMAND_LINE;
      options.clsid = args[position + 1];
      position += 2;
    } else if (option == L"-registerproxystub") {
      options.registerProxyStub = true;
      ++position;
    } else if (option == L"-Embedding") {
      options.embedding = true;
      ++position;
    } else {
      return E_UPD_COMMAND_LINE;
    }
  }
  mode = RunMode::Automation;
  return kOk;
}

Result ParseToastLink(const Arguments& args, RunMode& mode, RunOptions& options) {
  if (args.size() < 2 || args.size() > 3) return E_UPD_COMMAND_LINE;
  options.linkTarget = args[1];
  if (args.size() == 3) options.linkParameters = args[2];
  mode = RunMode::ToastLink;
  return kOk;
}

Result ParseToastCommand(const Arguments& args, RunMode& mode, RunOptions& options) {
  if (args.size() < 2 || args.size() > 4) return E_UPD_COMMAND_LINE;
  options.toastCommand = args[1];
  if (args.size() >= 3) options.toastArg1 = args[2];
  if (args.size() == 4) options.toastArg2 = args[3];
  mode = RunMode::ToastCommand;
  return kOk;
}

bool IsNoArgumentService(const std::wstring& first, RunMode& mode) {
  if (first == L"/runservice") {
    mode = RunMode::RunService;
  } else if (first == L"/debugservice") {
    mode = RunMode::DebugService;
  } else if (first == L"/installservice") {
    mode = RunMode::InstallService;
  } else if (first == L"/uninstallservice") {
    mode = RunMode::UninstallService;
  } else {
    return false;
  }
  return true;
}

// Chooses the mode by the first argument, the first match in the fixed order deciding.
Result ParseArguments(const Arguments& args, RunMode& mode, RunOptions& options, const SettingsFileReader& read) {
  if (args.empty()) return E_UPD_COMMAND_LINE;
  const std::wstring& first = args[0];

  static const struct {
    const wchar_t* name;
    RunMode mode;
  } kCheckSwitches[] = {
      {L"/checknow", RunMode::CheckNow},
      {L"/silent", RunMode::Silent},
      {L"/silentall", RunMode::SilentAll},
      {L"/silentcritical", RunMode::SilentCritical},
  };
  for (const auto& checkSwitch : kCheckSwitches) {
    if (first == checkSwitch.name) {
      Result result = ParseCheckOptions(args, checkSwitch.mode, options);
      if (result == kOk) mode = checkSwitch.mode;
      return result;
    }
  }
  if (first == L"/configure") return ParseConfigure(args, mode, options);
  if (first == L"/install") return ParseInstall(args, mode, options, read);
  if (first == L"/clean") return ParseClean(args, mode, options);
  if (first == L"/justcheck") return ParseJustCheck(args, mode, options);
  RunMode serviceMode = RunMode::RunService;
  if (IsNoArgumentService(first, serviceMode)) {
    if (args.size() != 1) return E_UPD_COMMAND_LINE;
    mode = serviceMode;
    return kOk;
  }
  if (first == L"/configservice") return ParseConfigService(args, mode, options);
  if (first == L"/runserver") return ParseRunServer(args, mode, options, read);
  if (first == L"/set") return ParseSet(args, mode, options);
  if (first == L"/automation") return ParseAutomation(args, mode, options);
  if (first == LinkArgument()) return ParseToastLink(args, mode, options);
  if (first == CommandArgument()) return ParseToastCommand(args, mode, options);
  return E_UPD_COMMAND_LINE;
}

}  // namespace

std::vector<std::wstring> Tokenize(const std::wstring& commandLine) {
  std::vector<std::wstring> args;
  const size_t length = commandLine.size();
  size_t i = 0;
  while (i < length && IsBlank(commandLine[i])) ++i;
  while (i < length) {
    if (commandLine[i] == L'"') {
      size_t close = commandLine.find(L'"', i + 1);
      if (close == std::wstring::npos) {
        args.push_back(commandLine.substr(i + 1));
        break;
      }
      args.push_back(commandLine.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      size_t start = i;
      while (i < length && !IsBlank(commandLine[i])) ++i;
      args.push_back(commandLine.substr(start, i - start));
    }
    while (i < length && IsBlank(commandLine[i])) ++i;
  }
  return args;
}

Result ParseCommandLine(const std::wstring& commandLine, RunMode& mode, RunOptions& options,
                        const SettingsFileReader& readSetting) {
  // Work on fresh options and a scratch mode so that a rejected line leaves the caller's state alone.
  const Arguments args = Tokenize(commandLine);
  RunOptions parsed;
  parsed.commandLine = options.commandLine;
  RunMode parsedMode = mode;
  Result result = ParseArguments(args, parsedMode, parsed, readSetting);
  // The "option not here" signal belongs to the option matcher; whatever is not success is a bad line.
  if (result != kOk) return E_UPD_COMMAND_LINE;
  mode = parsedMode;
  options = std::move(parsed);
  return kOk;
}

Result ParseCommandLine(RunMode& mode, RunOptions& options, const SettingsFileReader& readSetting) {
  const std::wstring commandLine = options.commandLine;
  return ParseCommandLine(commandLine, mode, options, readSetting);
}

std::wstring LinkArgument() { return std::wstring(kToastProtocolName) + L":/Link"; }

std::wstring CommandArgument() { return std::wstring(kToastProtocolName) + L":/Command"; }

std::wstring InstallKindWord(RunMode parentMode) {
  switch (parentMode) {
    case RunMode::Silent:
      return L"silent";
    case RunMode::SilentAll:
      return L"silentall";
    case RunMode::SilentCritical:
      return L"silentcritical";
    default:
      return L"checknow";
  }
}

std::wstring BuildInstallArguments(RunMode parentMode, const std::wstring& settingsPath,
                                   const std::wstring& credentials) {
  std::wstring arguments = L"/install " + InstallKindWord(parentMode) + L" " + Quoted(settingsPath);
  if (!credentials.empty()) arguments += L" " + QuotedIfNeeded(credentials);
  return arguments;
}

std::wstring BuildRunServerArguments(const std::wstring& settingsPath) {
  return L"/runserver " + Quoted(settingsPath);
}

std::wstring BuildToastInstallCommandLine(const std::wstring& updaterPath) {
  return Quoted(updaterPath) + L" /checknow";
}

std::wstring BuildRemindLaterArguments(const std::wstring& appId, const std::wstring& valueName) {
  return L"purgenotifseen " + QuotedIfNeeded(appId) + L" " + QuotedIfNeeded(valueName);
}

std::wstring BuildRemindLaterCommandLine(const std::wstring& appId, const std::wstring& valueName) {
  return CommandArgument() + L" " + BuildRemindLaterArguments(appId, valueName);
}

std::wstring BuildRestartCommandLine(const std::wstring& appPath, const std::wstring& restartAppCmd) {
  std::wstring line = Quoted(appPath);
  if (!restartAppCmd.empty()) line += L" " + restartAppCmd;
  return line;
}

}  // namespace updater
