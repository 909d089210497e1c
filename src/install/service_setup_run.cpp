#include "install/service_setup_run.h"

#include "core/logger.h"
#include "core/module_path.h"
#include "install/support_service.h"

namespace updater {

Result RunInstallService(const AppSettings& settings) {
  std::wstring executable = ExecutablePath();
  std::wstring name = SupportServiceName(settings, executable);
  Result created = CreateSupportService(name, executable);
  if (created != kOk) return created;
  Result granted = GrantSupportServiceAccess(name);
  if (granted != kOk) {
    Log(kLogError, L"The support service is removed again: its access could not be granted.");
    DeleteSupportService(name);
  }
  return granted;
}

Result RunConfigService(const std::wstring& serviceName) { return GrantSupportServiceAccess(serviceName); }

Result RunUninstallService(const AppSettings& settings) {
  return DeleteSupportService(SupportServiceName(settings, ExecutablePath()));
}

}  // namespace updater
