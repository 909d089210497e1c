#include "app/run_modes.h"

#include "base/logger.h"
#include "base/paths.h"
#include "install/support_service.h"

namespace updater {

Result RunInstallService(RunContext& run) {
  std::wstring executable = ExecutablePath();
  std::wstring name = SupportServiceName(run.settings, executable);
  Result created = CreateSupportService(name, executable);
  if (created != kOk) return created;
  Result granted = GrantSupportServiceAccess(name);
  if (granted != kOk) {
    Log(kLogError, L"The support service is removed again: its access could not be granted.");
    DeleteSupportService(name);
  }
  return granted;
}

Result RunConfigService(RunContext& run) { return GrantSupportServiceAccess(run.options.serviceName); }

Result RunUninstallService(RunContext& run) {
  return DeleteSupportService(SupportServiceName(run.settings, ExecutablePath()));
}

}  // namespace updater
