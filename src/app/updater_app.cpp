#include "app/updater_app.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>

#include "app/run_modes.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/string_table.h"
#include "check/check_run.h"
#include "config/temp_updater_copy.h"
#include "resources/string_ids.h"
#include "transfer/catalogue_services.h"
#include "transfer/credential_protection.h"
#include "transfer/credentials.h"
#include "ui/window_classes.h"

namespace updater {
namespace {

bool ModeIn(RunMode mode, std::initializer_list<RunMode> modes) {
  return std::find(modes.begin(), modes.end(), mode) != modes.end();
}

int ModeNumber(RunMode mode) { return static_cast<int>(mode); }

bool IsAbsolutePath(const std::wstring& path) {
  return (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') || (path.size() >= 2 && path[1] == L':');
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

bool IsCheckingMode(RunMode mode) {
  return ModeIn(mode, {RunMode::CheckNow, RunMode::Silent, RunMode::SilentAll, RunMode::SilentCritical,
                       RunMode::Configure, RunMode::JustCheck});
}

std::wstring LogPathFor(const std::wstring& clientConfigPath) {
  std::wstring folder = FolderOf(clientConfigPath);
  return folder.empty() ? std::wstring(L"updater.log") : folder + L"\\updater.log";
}

void StartApplication(const std::wstring& application, const std::wstring& arguments, const std::wstring& appDir) {
  std::wstring path = application;
  std::wstring parameters = arguments;
  std::wstring expanded;
  if (ExpandFolderValue(application, appDir, expanded) == kOk) path = expanded;
  if (!arguments.empty() && ExpandFolderValue(arguments, appDir, expanded) == kOk) parameters = expanded;

  ShellOpen open;
  open.file = path;
  open.parameters = parameters;
  // In its own folder: started by a temporary copy, it would otherwise keep the copy's folder.
  std::wstring folder = FolderOf(path);
  if (folder.size() > 1) open.folder = folder;
  UniqueHandle process;
  Result started = OpenWithShell(open, &process);
  if (started != kOk) {
    LogError(L"Cannot start the application " + path, started);
    return;
  }
  if (!process) return;
  BringProcessWindowToForeground(::GetProcessId(process.Get()));
}

UpdaterApp::UpdaterApp(std::wstring commandLine) { options_.commandLine = std::move(commandLine); }

Result UpdaterApp::Run() {
  Result result = Drive();

  if (!options_.uninstallFilePath.empty() &&
      ModeIn(mode_, {RunMode::InstallInteractive, RunMode::InstallSilent, RunMode::InstallSilentAll,
                     RunMode::InstallSilentCritical, RunMode::RunServer})) {
    // The clean-up batch file waits for this process to end and then deletes the temporary copy.
    // It runs in its own folder: a command interpreter whose current folder is the copy's folder
    // (this process's) could not remove that folder.
    std::wstring batchFolder = FolderOf(options_.uninstallFilePath);
    // Nor may this process keep it as its own current folder: where a running program can be deleted
    // (Wine), the batch file may reach its "rmDir" before this process has ended.
    if (!batchFolder.empty()) ::SetCurrentDirectoryW(batchFolder.c_str());
    // The batch file deletes this program in a loop and then removes the folder. Where a running
    // program may be deleted (Wine), the loop would end at once and the folder's removal could
    // meet this process still ending; held open without delete sharing, the program file keeps the
    // loop waiting for the end of the process, as on Windows.
    heldProgramFile_.Reset(::CreateFileW(ExecutablePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LaunchCleanUpBatch(options_.uninstallFilePath);
  }

  // The code in the form the documentation's table and a deployment tool use, beside its text.
  LogFormat(kLogDebug, L"Result: 0x%08X (%ls)", static_cast<unsigned>(result), MessageText(result).c_str());
  if (LogWants(kLogTrace))
    LogFormat(kLogTrace, L"Updater finished. Mode: %d. Return code: %u", ModeNumber(mode_), static_cast<unsigned>(result));
  if (!IsQuietResult(result)) LogError(MessageText(result), result);
  return result;
}

Result UpdaterApp::Drive() {
  // 1. Without arguments the client configuration may supply a default command line.
  if (options_.commandLine.empty()) {
    settings_ = std::make_unique<AppSettings>(AppSettings::Locate());
    Result loaded = settings_->Load();
    if (loaded != kOk) return loaded;
    options_.commandLine = settings_->defaultCommandLine;
  }

  // 2. The command line.
  if (ParseCommandLine(mode_, options_, ReadSettingFromIni) != kOk) {
    // Still log the failure where the user's configuration says the log goes.
    if (!settings_) {
      settings_ = std::make_unique<AppSettings>(AppSettings::Locate());
      settings_->Load();
    }
    SetUpLogging(false);
    return E_UPD_COMMAND_LINE;
  }
  // COM for the run's thread: every other mode may show windows, use the shell or serve COM clients.
  // A quiet check needs none of it (the shell call that starts the application gets COM for itself),
  // and starting COM is a noticeable share of the time an application waits for its check.
  if (!ModeIn(mode_, {RunMode::JustCheck, RunMode::JustCheckCritical})) com_.emplace(COINIT_APARTMENTTHREADED);

  // 3. Which client configuration this run uses.
  std::wstring configPath = options_.clientConfigPath;
  if (IsCheckingMode(mode_) || configPath.empty() || mode_ == RunMode::Clean) configPath = AppSettings::Locate();

  // 4. Settings; a Windows error while loading ends the run, the program's own codes do not
  // (the modes that need the configuration report 0xE0000007 then).
  if (!settings_) {
    settings_ = std::make_unique<AppSettings>(configPath);
    if (!options_.realUpdaterPath.empty()) {
      settings_->realUpdaterPath = options_.realUpdaterPath;
      settings_->isTemporaryCopy = true;
    }
    settings_->readsSavedSelection = !options_.serverConfigPath.empty();
    Result loaded = settings_->Load();
    if (static_cast<std::int32_t>(loaded) > 0) return loaded;
  }

  // 5. Every updater copy that checks for this application is recorded for the clean-up.
  if (IsCheckingMode(mode_)) RecordUpdaterCopy();

  // 6. Command-line overrides.
  Result overrides = ApplyCommandLineOverrides();

  // 7. The log beside the client configuration.
  SetUpLogging(true);
  if (overrides != kOk) return overrides;

  // 8. The mode.
  Result result = Dispatch();

  // 9. Restart of the application after a run that did not hand updates over.
  if (!options_.restartApp.empty() && !options_.startAppFirst && (dialogCancelled_ || result != kOk) &&
      !ModeIn(mode_, {RunMode::JustCheck, RunMode::JustCheckCritical}))
    StartApplication(options_.restartApp, options_.restartAppCmd, settings_->appDir);

  // 10. "/checknow" tells the user what went wrong.
  if (!IsQuietResult(result) && mode_ == RunMode::CheckNow && !options_.minUserActions) ShowEndOfRunMessage(result);

  // 11.
  settings_.reset();
  return result;
}

void UpdaterApp::RecordUpdaterCopy() {
  const SettingsStore& store = settings_->Store();
  if (store.Id().empty()) return;
  std::wstring executable = ExecutablePath();
  if (executable.empty()) return;
  if (!store.ReadNumber(SettingsKey::kApplication, executable)) store.WriteNumber(SettingsKey::kApplication, executable, 0);
}

Result UpdaterApp::ApplyCommandLineOverrides() {
  AppSettings& settings = *settings_;
  if (!options_.urlOverride.empty()) {
    if (settings.urls.empty()) return E_UPD_CLIENT_CONFIG;
    settings.urls.front() = options_.urlOverride;
  }
  if (!options_.credentials.empty()) {
    // "user:protected password" from the run that started this copy.
    CredentialPair pair;
    Result decoded = DecodeCredentialsArgument(options_.credentials, pair);
    if (decoded != kOk) return decoded;
    settings.userName = pair.user;
    settings.password = pair.password;
  }
  if (options_.justDownload) settings.justDownload = true;
  if (options_.startMinimized) settings.startMinimized = true;
  if (!options_.restartApp.empty()) settings.restartApp = options_.restartApp;
  if (options_.startAppFirst) settings.startAppFirst = true;
  if (!options_.restartAppCmd.empty()) settings.restartAppCmd = options_.restartAppCmd;
  if (options_.noGui) settings.noGui = true;
  if (options_.reducedGui) settings.reducedGui = true;
  if (options_.forceMsiBasicUi) settings.forceMsiBasicUi = true;
  if (!options_.clsid.empty()) settings.comClassId = options_.clsid;
  return kOk;
}

void UpdaterApp::SetUpLogging(bool announceMode) {
  const AppSettings& settings = *settings_;
  std::wstring logPath = LogPathFor(settings.clientConfigPath);
  if (settings.logLevel != kLogOff && IsAbsolutePath(settings.clientConfigPath) &&
      !FileExists(settings.clientConfigPath)) {
    std::wstring folder = FolderOf(logPath);
    if (!folder.empty()) ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  }
  Logger& logger = Logger::Instance();
  logger.SetLogFile(logPath);
  logger.Enable(settings.logLevel != kLogOff);
  logger.SetLevel(settings.logLevel);
  if (announceMode) LogFormat(kLogTrace, L"Running updater. Mode: %d", ModeNumber(mode_));
}

void UpdaterApp::ShowEndOfRunMessage(Result result) {
  std::wstring text = LoadStringResource(kStrCheckingForUpdates) + L" - " + MessageText(result);
  text += CustomProxyHint(result, settings_->proxy);
  PrepareWindowClasses();
  ::MessageBoxW(::GetActiveWindow(), text.c_str(), settings_->applicationName.c_str(), MB_OK | MB_ICONERROR);
}

Result UpdaterApp::Dispatch() {
  RunContext context{*settings_, options_, mode_, checkGuard_, installGuard_, dialogCancelled_};
  ModeHandler handler = HandlerOf(mode_);
  return handler ? handler(context) : E_UPD_COMMAND_LINE;
}

}  // namespace updater
