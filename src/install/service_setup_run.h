// "/installservice", "/configservice -name <name>" and "/uninstallservice": the support service's
// registration, run by a publisher's installer with administrative rights.
#pragma once

#include <string>

#include "config/app_settings.h"
#include "core/result_codes.h"

namespace updater {

// Registers the service and grants interactive users the right to start it; when the grant fails
// the service is removed again and the result is 0xE000001B.
Result RunInstallService(const AppSettings& settings);
// Grants the access to an existing service of that name.
Result RunConfigService(const std::wstring& serviceName);
Result RunUninstallService(const AppSettings& settings);

}  // namespace updater
