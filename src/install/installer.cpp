#include "install/installer.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cwctype>
#include <sstream>
#include <vector>

#include "base/logger.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/text_util.h"
#include "base/win_handles.h"
#include "catalogue/detection.h"
#include "config/temp_updater_copy.h"
#include "install/script_runner.h"
#include "install/support_client.h"
#include "transfer/download_phase.h"
#include "transfer/signature.h"

namespace updater {
namespace {

constexpr DWORD kStillActive = 259;
// How long a closed application may take to end before the installer starts anyway.
constexpr DWORD kApplicationCloseWaitMs = 10000;
// An application that does not answer WM_CLOSE within this time is left alone.
constexpr UINT kCloseMessageTimeoutMs = 5000;

std::wstring Lowercase(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

std::wstring Extension(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return {};
  return Lowercase(path.substr(dot + 1));
}

// The full paths of the running processes whose executable is `path`, as open handles.
std::vector<UniqueHandle> ProcessesOf(const std::wstring& path) {
  std::vector<UniqueHandle> processes;
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return processes;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    if (entry.th32ProcessID == ::GetCurrentProcessId()) continue;
    UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    if (!process) continue;
    wchar_t image[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    if (!::QueryFullProcessImageNameW(process.Get(), 0, image, &length)) continue;
    if (EqualsIgnoringCase(std::wstring(image, length), path)) processes.push_back(std::move(process));
  }
  return processes;
}

struct CloseSearch {
  DWORD processId;
  const std::wstring* wanted;
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindows(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<CloseSearch*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId) return TRUE;
  wchar_t title[512];
  int length = ::GetWindowTextW(window, title, 512);
  if (length > 0 && WindowTitleMatches(std::wstring(title, static_cast<size_t>(length)), *search->wanted))
    search->windows.push_back(window);
  return TRUE;
}

// Asks every running instance of the entry's application to close; true when one was running.
bool CloseApplication(AutoCloseEntry& entry) {
  std::vector<UniqueHandle> processes = ProcessesOf(entry.path);
  for (UniqueHandle& process : processes) {
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.Get(), &exitCode) || exitCode != kStillActive) continue;
    CloseSearch search{::GetProcessId(process.Get()), &entry.windowTitle, {}};
    ::EnumWindows(CollectWindows, reinterpret_cast<LPARAM>(&search));
    for (HWND window : search.windows) {
      if (!::GetExitCodeProcess(process.Get(), &exitCode) || exitCode != kStillActive) break;
      DWORD_PTR ignored = 0;
      ::SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, kCloseMessageTimeoutMs, &ignored);
    }
    LogFormat(kLogDebug, L"Asked %ls to close (%u windows).", entry.path.c_str(),
              static_cast<unsigned>(search.windows.size()));
    // The installer replaces the application's files: give it the time to end.
    if (!search.windows.empty()) ::WaitForSingleObject(process.Get(), kApplicationCloseWaitMs);
  }
  return !processes.empty();
}

void RestartApplication(const AutoCloseEntry& entry) {
  if (!ProcessesOf(entry.path).empty()) return;
  std::wstring folder = FolderOf(entry.path);
  Result started = StartProgram(
      {entry.path, L"\"" + entry.path + L"\" " + entry.restartArguments, folder.size() > 1 ? folder : std::wstring()});
  if (started != kOk) {
    LogError(L"Unable to restart " + entry.path, started);
    return;
  }
  LogFormat(kLogDebug, L"Restarted %ls.", entry.path.c_str());
}

bool Installed(const InstallPhaseSettings& settings, const UpdateRecord& update) {
  return settings.isInstalled ? settings.isInstalled(update) : IsInstalled(update);
}

int StateOf(const InstallPhaseSettings& settings, const UpdateRecord& update, const SettingsStore& store) {
  return settings.downloadState ? settings.downloadState(update) : GetDownloadState(update, store);
}

Result CheckSignature(const InstallPhaseSettings& settings, const std::wstring& installer) {
  return settings.verifySignature ? settings.verifySignature(installer) : VerifyDigitalSignature(installer);
}

// Waits for a process the server started and gives the failure of its start as a logged code.
// Installers run in the temporary folder. They must not inherit this process's current folder, nor
// run in their own: a folder that a lingering child (a console host, an application the installer
// starts again) keeps as its current folder cannot be removed afterwards, and both the temporary
// copy's folder and an installer's folder (with NoCache) are removed once the installer ended.
std::wstring InstallerWorkingFolder() { return TemporaryFolder(); }

Result StartAndWait(const std::wstring& program, const std::wstring& commandLine) {
  UniqueHandle process;
  Result started = StartProgram({program, commandLine, InstallerWorkingFolder()}, &process);
  if (started != kOk) {
    LogError(L"CreateProcess \"" + program + L"\" with command line \"" + commandLine + L"\" failed.", started);
    return started;
  }
  WaitForExit(process.Get());
  return kOk;
}

}  // namespace

InstallerType InstallerTypeOf(const std::wstring& path) {
  std::wstring extension = Extension(path);
  if (extension == L"msi") return InstallerType::kMsi;
  if (extension == L"msp") return InstallerType::kMsp;
  if (extension == L"appx" || extension == L"msix") return InstallerType::kAppPackage;
  return InstallerType::kExecutable;
}

std::wstring ClientInstallerParameters(const std::wstring& installerPath, const std::wstring& commandLine,
                                       bool forceMsiBasicUi) {
  std::wstring parameters = commandLine;
  if (forceMsiBasicUi && InstallerTypeOf(installerPath) == InstallerType::kMsi &&
      parameters.find(L"/qb") == std::wstring::npos)
    parameters += L" /qb";
  return parameters;
}

std::wstring AppPackageScript(const std::wstring& packagePath) {
  return L"Add-AppPackage -Path \"" + packagePath + L"\" \n exit $error.count\n";
}

std::wstring ServerExecutableParameters(const std::wstring& commandLine, const std::wstring& noGuiSwitch) {
  std::wistringstream words(noGuiSwitch);
  std::wstring word;
  while (words >> word) {
    if (EqualsIgnoringCase(word, L"/exenoui")) {
      std::wstring parameters = L"/exenoui";
      if (!commandLine.empty()) parameters += L" " + commandLine;
      return parameters + L" /qn";
    }
  }
  return commandLine + L" " + noGuiSwitch;
}

std::wstring MsiexecCommandLine(const std::wstring& format, const std::wstring& packagePath,
                                const std::wstring& extra) {
  std::wstring commandLine;
  size_t from = 0;
  const std::wstring fills[] = {L"msiexec.exe", packagePath};
  int used = 0;
  for (size_t at = format.find(L"%s"); at != std::wstring::npos && used < 2; at = format.find(L"%s", from)) {
    commandLine += format.substr(from, at - from) + fills[used++];
    from = at + 2;
  }
  commandLine += format.substr(from);
  if (!extra.empty()) commandLine += L" " + extra;
  return commandLine;
}

bool WindowTitleMatches(const std::wstring& windowTitle, const std::wstring& wanted) {
  if (windowTitle.empty()) return false;
  if (wanted.empty()) return true;
  return Lowercase(windowTitle).find(Lowercase(wanted)) != std::wstring::npos;
}

bool RestartNeeded(const AutoCloseEntry& entry, bool wasRunning) {
  std::uint32_t flags = entry.restartFlags.Value();
  if ((flags & kRestartNo) != 0) return false;
  return wasRunning || (flags & kRestartAlways) != 0;
}

InstallPhaseSettings InstallPhaseSettingsOf(const AppSettings& settings) {
  InstallPhaseSettings phase;
  phase.verifyDigitalSignature = settings.HasClientFlag(kClientVerifyDigitalSignature);
  phase.forceMsiBasicUi = settings.forceMsiBasicUi;
  phase.noUpdaterInstallGui = settings.HasClientFlag(kClientNoUpdaterInstallGui);
  phase.supportService = [&settings](UpdateRecord& update, Result& result) {
    return InstallThroughSupportService(settings, update, result);
  };
  return phase;
}

Result RunInstaller(const UpdateRecord& update, bool forceMsiBasicUi, bool wait, DWORD* exitCode) {
  if (exitCode) *exitCode = 0;
  if (InstallerTypeOf(update.localPath) == InstallerType::kAppPackage) {
    PowerShellRunner runner;
    if (runner.RunScript(AppPackageScript(update.localPath))) return kOk;
    RegisterComputedText(E_UPD_PACKAGE_SCRIPT, runner.GetMessage());
    return E_UPD_PACKAGE_SCRIPT;
  }
  std::wstring parameters = ClientInstallerParameters(update.localPath, update.CommandLine, forceMsiBasicUi);
  ShellOpen open;
  open.file = update.localPath;
  open.parameters = parameters;
  open.folder = InstallerWorkingFolder();
  open.show = update.HasFlag(kUpdateSilentInstall) ? SW_HIDE : SW_SHOWNORMAL;
  open.waitForStart = true;
  UniqueHandle process;
  Result started = OpenWithShell(open, wait ? &process : nullptr);
  if (started != kOk) return started;
  if (!wait || !process) return kOk;
  return WaitForExit(process.Get(), exitCode);
}

Result InstallUpdate(UpdateRecord& update, DownloadObserver* observer, const SettingsStore& store,
                     const InstallPhaseSettings& settings) {
  (void)observer;
  update.installAttempted = true;
  if (StateOf(settings, update, store) != kDownloadStateDownloaded) return update.status = E_UPD_INSTALL_FAILED;
  if (settings.verifyDigitalSignature) {
    Result trust = CheckSignature(settings, update.localPath);
    if (trust != kOk) return update.status = trust;
  }
  if (update.status != kOk) return update.status;
  if (update.dependsOn && !Installed(settings, *update.dependsOn)) {
    LogFormat(kLogDebug, L"Update \"%ls\" needs \"%ls\", which is not installed.", update.Name.c_str(),
              update.dependsOn->Name.c_str());
    return update.status = E_UPD_DEPENDENCY;
  }

  for (AutoCloseEntry& entry : update.AutoCloseApplication) {
    if (entry.path.empty()) continue;
    entry.restartNeeded = RestartNeeded(entry, CloseApplication(entry));
  }

  Result result = kOk;
  if (!(settings.supportService && settings.supportService(update, result))) {
    DWORD exitCode = 0;
    result = RunInstaller(update, settings.forceMsiBasicUi, true, &exitCode);
    LogFormat(kLogTrace, L"Update \"%ls\" installer runned. Exit code: %lu. Return code: %ls", update.Name.c_str(),
              exitCode, FormatResultForLog(result).c_str());
    // The installer's own exit code fails the update only when the user cancelled it; otherwise
    // detecting the update again is the judge.
    if (result == kOk && (exitCode == kErrorInstallUserExit || exitCode == kErrorCancelled)) result = exitCode;
  }
  update.status = result;
  if (result == kOk && !update.HasFlag(kUpdateNoRedetect)) {
    // What the detection looked at goes to the log with the failure: the publisher needs it to
    // see why an installer that ended did not count.
    std::wstring explanation;
    bool installed = settings.isInstalled ? settings.isInstalled(update) : IsInstalled(update, &explanation);
    if (!installed) {
      LogFormat(kLogDebug, L"Update \"%ls\" is not detected after its installer ended.", update.Name.c_str());
      if (!explanation.empty())
        LogFormat(kLogDebug, L"Detection of \"%ls\": %ls.", update.Name.c_str(), explanation.c_str());
      update.status = result = E_UPD_INSTALL_FAILED;
    }
  }
  if (result == kOk && update.HasFlag(kUpdateNoCache)) {
    Log(kLogDebug, L"Removed cached update installer.");
    DeleteDownload(update.localPath);
    store.DeleteValue(SettingsKey::kUpdates, update.sectionName);
  }
  return result;
}

Result InstallSelectedUpdates(UpdateCatalogue& catalogue, DownloadObserver* observer, const SettingsStore& store,
                              const InstallPhaseSettings& settings) {
  std::vector<UpdateRecord*> order;
  for (size_t i = catalogue.Count(); i-- > 0;) {
    UpdateRecord& update = catalogue.At(i);
    if (update.selected && StateOf(settings, update, store) == kDownloadStateDownloaded) order.push_back(&update);
  }
  // A lock tells the clean-up that the installer is in use; a run that dies leaves it for the next.
  for (UpdateRecord* update : order) store.WriteNumber(SettingsKey::kUpdateLocks, update->sectionName, 1);

  if (observer) observer->BeginAction(PAID_INSTALL, static_cast<std::uint32_t>(order.size()), nullptr);
  if (settings.noUpdaterInstallGui && observer) observer->BeginAction(PAID_INSTALL_EXTRA, 0, nullptr);
  Result phase = kOk;
  for (UpdateRecord* update : order) {
    if (observer) observer->BeginAction(PAID_INSTALL_UPDATE, 0, update->Name.c_str());
    Result result = InstallUpdate(*update, observer, store, settings);
    if (result != kOk) {
      phase = result;
      if (observer) observer->Error(nullptr, result, nullptr);
    }
    if (observer) observer->EndAction(PAID_INSTALL_UPDATE, result);
  }
  if (phase == kOk) {
    for (UpdateRecord* update : order)
      for (const AutoCloseEntry& entry : update->AutoCloseApplication)
        if (entry.restartNeeded) RestartApplication(entry);
  }
  for (size_t i = 0; i < catalogue.Count(); ++i)
    if (catalogue.At(i).selected) store.DeleteValue(SettingsKey::kUpdateLocks, catalogue.At(i).sectionName);
  store.DeleteKey(SettingsKey::kUpdateLocks);
  if (observer) observer->EndAction(PAID_INSTALL, phase);
  return phase;
}

UpdateOutcome OutcomeOf(const UpdateRecord& update) {
  return UpdateOutcome{update.sectionName, update.status, update.Version.count > 0 ? FormatVersion(update.Version) : L""};
}

std::vector<UpdateOutcome> InstallOutcomes(const UpdateCatalogue& catalogue) {
  std::vector<UpdateOutcome> outcomes;
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const UpdateRecord& update = catalogue.At(i);
    if (update.selected && (update.installAttempted || update.status != kOk)) outcomes.push_back(OutcomeOf(update));
  }
  return outcomes;
}

Result RunMsiexec(const std::wstring& format, const std::wstring& packagePath, const std::wstring& extra) {
  std::wstring commandLine = MsiexecCommandLine(format, packagePath, extra);
  wchar_t windir[MAX_PATH];
  DWORD length = ::GetEnvironmentVariableW(L"windir", windir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    Result error = length == 0 ? ::GetLastError() : ERROR_BUFFER_OVERFLOW;
    LogError(L"Unable to resolve msiexec.exe path.", error);
    return E_UPD_NO_MSIEXEC;
  }
  std::wstring program(windir, length);
  if (program.back() != L'\\') program += L'\\';
  program += L"system32\\msiexec.exe";
  Result trust = VerifySignatureTrust(ExecutablePath(), packagePath);
  if (trust != kOk) {
    LogError(L"VerifyDigitalSignature failed.", trust);
    return trust;
  }
  return StartAndWait(program, commandLine);
}

Result RunExecutable(const std::wstring& path, const std::wstring& parameters) {
  Result trust = VerifyDigitalSignature(path);
  if (trust != kOk) return trust;
  return StartAndWait(path, L"\"" + path + L"\" " + parameters);
}

Result ServerInstallUpdate(const std::wstring& sectionName, UpdateCatalogue& catalogue, const SettingsStore& store) {
  UpdateRecord* update = catalogue.Find(sectionName);
  if (!update) {
    LogError(L"Unable to find update: " + sectionName, E_UPD_SERVICE_ERROR);
    return E_UPD_SERVICE_ERROR;
  }
  int state = GetDownloadState(*update, store);
  if (state != kDownloadStateDownloaded) {
    LogError(L"Invalid update state: " + std::to_wstring(state), E_UPD_SERVICE_ERROR);
    return E_UPD_SERVICE_ERROR;
  }
  std::wstring parameters = ServerExecutableParameters(update->CommandLine, update->NoGUICommandLineSwitch);
  switch (InstallerTypeOf(update->localPath)) {
    case InstallerType::kMsi:
      return RunMsiexec(L"\"%s\" /i \"%s\" /qn", update->localPath, parameters);
    case InstallerType::kMsp:
      return RunMsiexec(L"\"%s\" /p \"%s\" /qn", update->localPath, parameters);
    default:
      return RunExecutable(update->localPath, parameters);
  }
}

}  // namespace updater
