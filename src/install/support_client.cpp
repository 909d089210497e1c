#include "install/support_client.h"

#include <objbase.h>

#include <vector>

#include "base/logger.h"
#include "base/paths.h"
#include "base/win_handles.h"
#include "catalogue/detection.h"
#include "install/channel_objects.h"
#include "install/command_channel.h"
#include "transfer/signature.h"

namespace updater {
namespace {

constexpr DWORD kStoppedPollMs = 500;
constexpr DWORD kStoppedWaitMs = 30000;

// The service's configured command line, or empty.
std::wstring ServiceCommandLine(SC_HANDLE service) {
  DWORD needed = 0;
  ::QueryServiceConfigW(service, nullptr, 0, &needed);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return {};
  std::vector<unsigned char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service, config, needed, &needed) || !config->lpBinaryPathName) return {};
  return config->lpBinaryPathName;
}

std::wstring ProgramOf(const std::wstring& commandLine) {
  if (!commandLine.empty() && commandLine[0] == L'"') {
    std::size_t end = commandLine.find(L'"', 1);
    return commandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
  }
  return commandLine.substr(0, commandLine.find(L' '));
}

// A previous run of the service may still be ending: wait (at most 30 s) until it reports stopped.
void WaitUntilStopped(SC_HANDLE manager, const std::wstring& name) {
  UniqueServiceHandle service(::OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) return;
  for (DWORD waited = 0; waited < kStoppedWaitMs; waited += kStoppedPollMs) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) ||
        status.dwCurrentState == SERVICE_STOPPED)
      return;
    ::Sleep(kStoppedPollMs);
  }
}

}  // namespace

bool UseSupportService(const AppSettings& settings, const UpdateRecord& update, ChannelClient& channel) {
  if (!update.HasFlag(kUpdateAdvertises)) return false;
  Log(kLogTrace, L"Installing using helper service.");
  if (settings.supportServiceName.empty()) {
    Log(kLogError, L"Support service not configured in updates.ini.");
    return false;
  }
  Log(kLogTrace, L"Service detected.");
  const std::wstring& name = settings.supportServiceName;

  GUID guid{};
  if (FAILED(::CoCreateGuid(&guid))) return false;
  std::wstring base = GuidBaseName(guid);
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    LogError(L"Unable to start service: " + name, ::GetLastError());
    return false;
  }
  {
    UniqueServiceHandle config(::OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_CONFIG));
    std::wstring commandLine = config ? ServiceCommandLine(config.Get()) : std::wstring();
    Log(kLogDebug, L"Service running from path: " + commandLine);
    std::wstring chosen = ChannelBaseFor(base, commandLine, ReadFileVersion(ProgramOf(commandLine)));
    if (chosen != base) Log(kLogDebug, L"LegacyIpcObjectBaseName: " + chosen);
    base = chosen;
  }
  WaitUntilStopped(manager.Get(), name);
  UniqueServiceHandle service(::OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_START));
  const wchar_t* startArguments[] = {base.c_str()};
  if (!service || !::StartServiceW(service.Get(), 1, startArguments)) {
    LogError(L"Unable to start service: " + name, ::GetLastError());
    return false;
  }
  Log(kLogTrace, L"Service started.");

  channel.SetObjectNames(base);
  if (!channel.WaitForServerToBecomeReady() || !channel.Open()) return false;
  // The server makes the same check with the rule that its updater must be signed.
  if (VerifySignatureTrust(ExecutablePath(), update.localPath) != kOk) return false;
  return true;
}

bool InstallThroughSupportService(const AppSettings& settings, UpdateRecord& update, Result& result) {
  ChannelClient channel;
  if (!UseSupportService(settings, update, channel)) return false;
  std::wstring url = settings.urls.empty() ? std::wstring() : settings.urls.front();
  result = channel.SendCommand(ChannelCommand{{L"install", update.sectionName, settings.clientConfigPath, url}});
  LogFormat(kLogDebug, L"The support service installed \"%ls\". Return code: %ls", update.Name.c_str(),
            FormatResultForLog(result).c_str());
  return true;
}

}  // namespace updater
