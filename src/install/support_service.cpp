#include "install/support_service.h"

#include <windows.h>
#include <aclapi.h>

#include "base/logger.h"
#include "base/security.h"
#include "base/win_handles.h"

namespace updater {
namespace {

std::wstring FileStem(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.find_last_of(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

UniqueServiceHandle OpenManager() {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) LogFormat(kLogError, L"Unable to open SCM error code %lu", ::GetLastError());
  return manager;
}

}  // namespace

std::wstring SupportServiceName(const AppSettings& settings, const std::wstring& executablePath) {
  return settings.supportServiceName.empty() ? FileStem(executablePath) : settings.supportServiceName;
}

std::wstring SupportServiceDescription(const std::wstring& executablePath) {
  return FileStem(executablePath) + L" support service";
}

std::wstring SupportServiceCommandLine(const std::wstring& executablePath) {
  return L"\"" + executablePath + L"\" /runservice";
}

Result CreateSupportService(const std::wstring& name, const std::wstring& executablePath) {
  UniqueServiceHandle manager = OpenManager();
  if (!manager) return ::GetLastError();
  std::wstring commandLine = SupportServiceCommandLine(executablePath);
  UniqueServiceHandle service(::CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    Result error = ::GetLastError();
    LogFormat(kLogError, L"Create Service failed error code: %lu", error);
    return error;
  }
  Log(kLogDebug, L"CreateService SUCCESS");
  std::wstring description = SupportServiceDescription(executablePath);
  SERVICE_DESCRIPTIONW text{description.data()};
  if (!::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &text))
    LogFormat(kLogError, L"Unable to set service description error code: %lu", ::GetLastError());
  return kOk;
}

Result DeleteSupportService(const std::wstring& name) {
  UniqueServiceHandle manager = OpenManager();
  if (!manager) return ::GetLastError();
  UniqueServiceHandle service(::OpenServiceW(manager.Get(), name.c_str(), DELETE));
  if (!service) {
    Result error = ::GetLastError();
    LogFormat(kLogError, L"OpenService failed error code: %lu", error);
    return error;
  }
  if (!::DeleteService(service.Get())) {
    Result error = ::GetLastError();
    LogFormat(kLogError, L"DeleteService failed error code: %lu", error);
    return error;
  }
  Log(kLogDebug, L"DeleteService SUCCESS");
  return kOk;
}

Result ExtendServiceAccessList(PSECURITY_DESCRIPTOR present, UniqueLocalMem& merged) {
  BOOL hasList = FALSE;
  BOOL defaulted = FALSE;
  PACL list = nullptr;
  if (!::GetSecurityDescriptorDacl(present, &hasList, &list, &defaulted)) return ::GetLastError();
  // Interactive users (S-1-5-4) may start the service and ask for its status; their other rights,
  // if any, stay as they were, and so does every other entry.
  return BuildAccessList({{WellKnownAccount::kInteractiveUsers, kGrantedServiceRights, GRANT_ACCESS}},
                         hasList ? list : nullptr, merged);
}

Result GrantSupportServiceAccess(const std::wstring& name) {
  UniqueServiceHandle manager = OpenManager();
  if (!manager) return E_UPD_SERVICE_ACCESS;
  UniqueServiceHandle service(::OpenServiceW(manager.Get(), name.c_str(), READ_CONTROL | WRITE_DAC));
  if (!service) {
    LogFormat(kLogError, L"OpenService failed error code: %lu", ::GetLastError());
    return E_UPD_SERVICE_ACCESS;
  }
  // The service's present access list, as a self-relative descriptor.
  DWORD needed = 0;
  ::QueryServiceObjectSecurity(service.Get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) {
    LogFormat(kLogError, L"Unable to read the access list of the service %ls, error %lu", name.c_str(),
              ::GetLastError());
    return E_UPD_SERVICE_ACCESS;
  }
  UniqueLocalMem present(::LocalAlloc(LMEM_FIXED, needed));
  if (!present || !::QueryServiceObjectSecurity(service.Get(), DACL_SECURITY_INFORMATION, present.Get(), needed,
                                                &needed)) {
    LogFormat(kLogError, L"Unable to read the access list of the service %ls, error %lu", name.c_str(),
              ::GetLastError());
    return E_UPD_SERVICE_ACCESS;
  }
  UniqueLocalMem merged;
  Result extended = ExtendServiceAccessList(present.Get(), merged);
  if (extended != kOk) {
    LogFormat(kLogError, L"Unable to extend the access list of the service %ls, error %lu", name.c_str(), extended);
    return E_UPD_SERVICE_ACCESS;
  }
  SecurityDescriptorFor descriptor(static_cast<PACL>(merged.Get()));
  if (!descriptor.Valid() || !::SetServiceObjectSecurity(service.Get(), DACL_SECURITY_INFORMATION, descriptor.Get())) {
    LogFormat(kLogError, L"Unable to set the access list of the service %ls, error %lu", name.c_str(),
              ::GetLastError());
    return E_UPD_SERVICE_ACCESS;
  }
  LogFormat(kLogInfo, L"Interactive users may now start the service %ls and query its status.", name.c_str());
  return kOk;
}

}  // namespace updater
