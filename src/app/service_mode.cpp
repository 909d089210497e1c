#include "app/run_modes.h"

#include <windows.h>

#include "base/logger.h"
#include "base/paths.h"
#include "config/command_line.h"
#include "config/temp_updater_copy.h"

namespace updater {
namespace {

// The service control manager calls back without context: the one service of this process.
struct ServiceProcess {
  AppSettings* settings = nullptr;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  SERVICE_STATUS status{};
  Result result = kOk;
};
ServiceProcess* runningService = nullptr;

// Starts the server copy of the updater for one command of the service's client.
Result StartServerCopy(const AppSettings& settings, const std::vector<std::wstring>& arguments);

void ReportStatus(DWORD state, DWORD waitHint = 0) {
  ServiceProcess& service = *runningService;
  service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service.status.dwCurrentState = state;
  service.status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  service.status.dwWin32ExitCode = 0;
  service.status.dwWaitHint = waitHint;
  if (!::SetServiceStatus(service.statusHandle, &service.status))
    LogFormat(kLogError, L"Unable to set the service status: %lu", ::GetLastError());
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  Log(kLogDebug, L"Handler");
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    ReportStatus(SERVICE_STOP_PENDING, 3000);
    Log(kLogDebug, L"Stoping service");
    ReportStatus(SERVICE_STOPPED);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  runningService->statusHandle = ::RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", &ControlHandler, nullptr);
  if (!runningService->statusHandle) {
    LogError(L"Unable to register the service control handler", ::GetLastError());
    return;
  }
  ReportStatus(SERVICE_RUNNING);
  std::vector<std::wstring> arguments(argv, argv + argc);
  runningService->result = StartServerCopy(*runningService->settings, arguments);
  ReportStatus(SERVICE_STOPPED);
}

Result StartServerCopy(const AppSettings& settings, const std::vector<std::wstring>& arguments) {
  if (settings.clientConfigPath.empty() || ::GetFileAttributesW(settings.clientConfigPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Log(kLogError, L"Undefined client config");
    return E_UPD_SERVICE_ERROR;
  }
  if (arguments.size() != 2) {
    std::wstring text = L"To many parametes for updater service. Expecred 2. Transmited: " +
                        std::to_wstring(arguments.size()) + L" Params:";
    for (const std::wstring& argument : arguments) text += L" " + argument;
    Log(kLogError, text);
    return E_UPD_SERVICE_ERROR;
  }
  TempUpdaterCopy copy(ExecutablePath());
  Result prepared = copy.Prepare(false);
  if (prepared != kOk) {
    LogError(L"Failed to run updater as server.", prepared);
    return prepared;
  }
  if (!copy.WriteSetting(L"ClientConfigPath", settings.clientConfigPath) ||
      !copy.WriteSetting(L"IPCObjNameBase", arguments[1])) {
    Result error = ::GetLastError();
    LogError(L"Failed to run updater as server.", error);
    return error ? error : E_UPD_SERVICE_ERROR;
  }
  // The copy removes itself when it ends, as every temporary copy does.
  std::wstring folder = copy.Folder();
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  std::wstring batch = folder + L".bat";
  if (copy.WriteBatchFile(batch) == kOk) copy.WriteSetting(L"UninstallFilePath", batch);
  copy.AppendArgument(BuildRunServerArguments(copy.SettingsPath()), false);
  Result started = copy.Start(true);
  LogFormat(kLogDebug, L"Starting updater as server. Return code: %ls", FormatResultForLog(started).c_str());
  return started;
}

}  // namespace

Result RunService(RunContext& run) {
  AppSettings& settings = run.settings;
  ServiceProcess service;
  service.settings = &settings;
  runningService = &service;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), &ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    Result error = ::GetLastError();
    LogFormat(kLogError, L"Unable to start service %ls error: %lu", settings.supportServiceName.c_str(), error);
    runningService = nullptr;
    return error;
  }
  runningService = nullptr;
  return service.result;
}

Result RunDebugService(RunContext& run) {
  return StartServerCopy(run.settings, {run.settings.supportServiceName});
}

}  // namespace updater
